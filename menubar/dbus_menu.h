#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

class QAction;
class QMenu;

namespace tessaway {

/// One entry of an exported menu with its properties and, to the depth asked for, its entries.
struct DBusMenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayout> children;
};

/// One entry's properties, as listed by GetGroupProperties and ItemsPropertiesUpdated.
struct DBusMenuItem {
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItemList = QList<DBusMenuItem>;

/// Names of properties an entry no longer has.
struct DBusMenuItemKeys {
    int id = 0;
    QStringList names;
};
using DBusMenuItemKeysList = QList<DBusMenuItemKeys>;

/// One event of an EventGroup call.
struct DBusMenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;

/// A QMenu as the desktop's panel reads it over D-Bus (com.canonical.dbusmenu): its entries
/// with their texts, check marks and enabled and visible flags, read afresh at every call.
/// Every change of an entry is announced (LayoutUpdated, ItemsPropertiesUpdated) once the
/// change is complete, so that a panel's copy of the menu is never older than the QMenu. The
/// panel's AboutToShow is the menu's aboutToShow; a click on an entry triggers its action.
class DBusMenu : public QObject {
    Q_OBJECT

public:
    explicit DBusMenu(QMenu& menu, QObject* parent = nullptr);

    /// The menu's entries and their properties, from `parentId` down `depth` levels (-1: all).
    DBusMenuLayout layout(int parentId, int depth, const QStringList& names);
    DBusMenuItemList properties(const QList<int>& ids, const QStringList& names);
    /// Emits the menu's aboutToShow for the top entry (0); answers whether that changed an
    /// entry, which the panel then reads again.
    bool aboutToShow(int id);
    /// Triggers the action of entry `id` for the event "clicked"; other events, and entries
    /// that are not there or are disabled, are ignored.
    void event(int id, const QString& eventId);
    /// Asks the panels that show the menu to open it.
    void requestActivation();
    /// The revision of the layout, which grows with every change announced.
    uint revision() const { return revision_; }

signals:
    void layoutUpdated(uint revision, int parent);
    void itemsPropertiesUpdated(const DBusMenuItemList& updated,
                                const DBusMenuItemKeysList& removed);
    void itemActivationRequested(int id, uint timestamp);

protected:
    /// Every change of the menu's entries comes here, as events of the menu.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QVariantMap propertiesOf(QAction* action) const;
    int idOf(QAction* action);
    QAction* actionOf(int id) const;
    void changed(QAction* action);
    void announce();

    QMenu& menu_;
    QHash<QAction*, int> ids_;
    int nextId_ = 1;
    uint revision_ = 1;
    QList<QPointer<QAction>> changed_;  ///< changed since the last announcement
};

/// The D-Bus face of a DBusMenu.
class DBusMenuAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    explicit DBusMenuAdaptor(DBusMenu* menu);

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   tessaway::DBusMenuLayout& layout);
    tessaway::DBusMenuItemList GetGroupProperties(const QList<int>& ids,
                                                  const QStringList& propertyNames);
    QDBusVariant GetProperty(int id, const QString& name);
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    QList<int> EventGroup(const tessaway::DBusMenuEventList& events);
    bool AboutToShow(int id);
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    void LayoutUpdated(uint revision, int parent);
    void ItemsPropertiesUpdated(const tessaway::DBusMenuItemList& updatedProps,
                                const tessaway::DBusMenuItemKeysList& removedProps);
    void ItemActivationRequested(int id, uint timestamp);

private:
    DBusMenu* menu_;
};

/// Registers the menu's D-Bus types; safe to call more than once.
void registerDBusMenuTypes();

/// `text` of a Qt menu entry in the exported form: Qt marks the mnemonic with "&" and writes a
/// plain "&" as "&&"; the exported form marks it with "_" and writes a plain "_" as "__".
QString exportedLabel(const QString& text);

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayout& layout);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayout& layout);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& keys);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& keys);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event);

}  // namespace tessaway

Q_DECLARE_METATYPE(tessaway::DBusMenuLayout)
Q_DECLARE_METATYPE(tessaway::DBusMenuItem)
Q_DECLARE_METATYPE(tessaway::DBusMenuItemKeys)
Q_DECLARE_METATYPE(tessaway::DBusMenuEvent)
