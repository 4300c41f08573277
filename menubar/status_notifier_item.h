#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>

#include <optional>

#include "menubar/tray_icon.h"

class QDBusServiceWatcher;
class QMenu;

namespace tessaway {

class DBusMenu;

/// One picture of an item: width, height and ARGB32 pixels in network byte order.
struct DBusImage {
    int width = 0;
    int height = 0;
    QByteArray pixels;
};
using DBusImageList = QList<DBusImage>;

/// An item's tooltip: an icon name, pictures, a title and a text.
struct DBusToolTip {
    QString iconName;
    DBusImageList images;
    QString title;
    QString text;
};

/// The two looks of the item: pictures for every host, and the names in the bundle's icon
/// theme for hosts that draw themed icons in their own colours.
struct ItemLooks {
    QIcon normal;
    QIcon dimmed;
    std::optional<ThemeIcon> theme;
};

/// What the item does when its panel asks it to act on a click at `at`.
enum class ClickAnswer {
    popUpMenu,  ///< open the item's own menu beside the panel at that point
    askHost,    ///< ask the panel to show the exported menu
};

/// The answer to a click at `at` (the point clicked on the panel, in the coordinates of the
/// screens `screens`) for an item on the toolkit's platform `platform`. Only on X ("xcb") does
/// a window of the item's own open where it is put; elsewhere (Wayland, say) a menu without a
/// parent window has no place, and the panel is asked. A point on no screen places nothing.
ClickAnswer clickAnswer(const QString& platform, QPoint at, const QList<QRect>& screens);

/// The menu-bar item as the desktop's panel sees it over D-Bus (a StatusNotifierItem): a
/// title, a tooltip, a picture and a menu that the panel itself shows when the item is clicked
/// (ItemIsMenu). It registers with the desktop's StatusNotifierWatcher, and again whenever a
/// watcher starts. A panel that still asks the item to act on a click gets the answer of
/// clickAnswer(): the item's own menu beside the panel, or a request to open the exported one.
class StatusNotifierItem : public QObject {
    Q_OBJECT

public:
    /// Exports `menu` and the item on the session bus and registers them with the watcher.
    StatusNotifierItem(QMenu& menu, const QString& title, ItemLooks looks,
                       QObject* parent = nullptr);
    ~StatusNotifierItem() override;
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    /// Switches between the normal and the dimmed look.
    void setDimmed(bool dimmed);

    QString title() const { return title_; }
    QString iconName() const;
    QString iconThemePath() const;
    DBusImageList iconPixmap() const;
    DBusToolTip toolTip() const;
    /// A click at `at` on the item where the panel did not show the menu by itself.
    void activate(QPoint at);

signals:
    void newIcon();

private:
    void registerWithWatcher();

    QString title_;
    ItemLooks looks_;
    bool dimmed_ = false;
    QString service_;
    QMenu& shown_;  ///< the menu the item opens itself
    DBusMenu* menu_ = nullptr;
    QDBusServiceWatcher* watcher_ = nullptr;
};

/// The D-Bus face of a StatusNotifierItem.
class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(tessaway::DBusImageList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(tessaway::DBusImageList OverlayIconPixmap READ noImages)
    Q_PROPERTY(QString AttentionIconName READ none)
    Q_PROPERTY(tessaway::DBusImageList AttentionIconPixmap READ noImages)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(tessaway::DBusToolTip ToolTip READ toolTip)

public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem* item);

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("tessaway-server"); }
    QString title() const { return item_->title(); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    bool itemIsMenu() const { return true; }
    QDBusObjectPath menu() const;
    QString iconName() const { return item_->iconName(); }
    QString iconThemePath() const { return item_->iconThemePath(); }
    DBusImageList iconPixmap() const { return item_->iconPixmap(); }
    QString none() const { return {}; }
    DBusImageList noImages() const { return {}; }
    DBusToolTip toolTip() const { return item_->toolTip(); }

public slots:
    void ContextMenu(int x, int y);
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void Scroll(int delta, const QString& orientation);

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    StatusNotifierItem* item_;
};

QDBusArgument& operator<<(QDBusArgument& argument, const DBusImage& image);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusImage& image);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusToolTip& toolTip);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusToolTip& toolTip);

}  // namespace tessaway

Q_DECLARE_METATYPE(tessaway::DBusImage)
Q_DECLARE_METATYPE(tessaway::DBusToolTip)
