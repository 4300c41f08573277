#include "menubar/status_notifier_item.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QtEndian>

#include <algorithm>

#include "menubar/dbus_menu.h"
#include "menubar/display_check.h"
#include "menubar/menu_position.h"

namespace tessaway {
namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kItemPath = QStringLiteral("/StatusNotifierItem");
const QString kMenuPath = QStringLiteral("/MenuBar");

DBusImageList imagesOf(const QIcon& icon) {
    DBusImageList images;
    for (const QSize& size : icon.availableSizes()) {
        const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        DBusImage out{image.width(), image.height(), {}};
        out.pixels.resize(qsizetype(image.width()) * image.height() * 4);
        auto* pixels = reinterpret_cast<quint32*>(out.pixels.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                pixels[y * image.width() + x] = qToBigEndian<quint32>(line[x]);
            }
        }
        images.append(out);
    }
    return images;
}

}  // namespace

StatusNotifierItem::StatusNotifierItem(QMenu& menu, const QString& title, ItemLooks looks,
                                       QObject* parent)
    : QObject(parent), title_(title), looks_(std::move(looks)), shown_(menu) {
    static const bool registered = [] {
        qDBusRegisterMetaType<DBusImage>();
        qDBusRegisterMetaType<DBusImageList>();
        qDBusRegisterMetaType<DBusToolTip>();
        qRegisterMetaType<DBusImageList>("tessaway::DBusImageList");
        return true;
    }();
    (void)registered;
    menu_ = new DBusMenu(menu, this);
    new DBusMenuAdaptor(menu_);
    auto* adaptor = new StatusNotifierItemAdaptor(this);
    connect(this, &StatusNotifierItem::newIcon, adaptor, &StatusNotifierItemAdaptor::NewIcon);

    QDBusConnection bus = QDBusConnection::sessionBus();
    service_ =
        QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid());
    bus.registerObject(kMenuPath, menu_, QDBusConnection::ExportAdaptors);
    bus.registerObject(kItemPath, this, QDBusConnection::ExportAdaptors);
    bus.registerService(service_);

    // A watcher that starts later (a panel restarted, or one that came up after the item)
    // learns of the item the same way.
    watcher_ =
        new QDBusServiceWatcher(kWatcher, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this,
            &StatusNotifierItem::registerWithWatcher);
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(service_);
    bus.unregisterObject(kItemPath);
    bus.unregisterObject(kMenuPath);
}

void StatusNotifierItem::registerWithWatcher() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kWatcher, kWatcherPath, kWatcher, QStringLiteral("RegisterStatusNotifierItem"));
    call << service_;
    QDBusConnection::sessionBus().asyncCall(call);
}

void StatusNotifierItem::setDimmed(bool dimmed) {
    if (dimmed == dimmed_) return;
    dimmed_ = dimmed;
    emit newIcon();
}

QString StatusNotifierItem::iconName() const {
    if (!looks_.theme) return {};
    return dimmed_ ? looks_.theme->dimmed : looks_.theme->normal;
}

QString StatusNotifierItem::iconThemePath() const {
    return looks_.theme ? looks_.theme->themePath : QString();
}

DBusImageList StatusNotifierItem::iconPixmap() const {
    return imagesOf(dimmed_ ? looks_.dimmed : looks_.normal);
}

DBusToolTip StatusNotifierItem::toolTip() const {
    return {{}, {}, title_, {}};
}

ClickAnswer clickAnswer(const QString& platform, QPoint at, const QList<QRect>& screens) {
    if (platform != QLatin1String("xcb")) return ClickAnswer::askHost;
    const bool onScreen = std::any_of(screens.begin(), screens.end(),
                                      [&](const QRect& screen) { return screen.contains(at); });
    return onScreen ? ClickAnswer::popUpMenu : ClickAnswer::askHost;
}

void StatusNotifierItem::activate(QPoint at) {
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens())
        screens.append(screen->geometry());
    // One menu only: a panel that honours the request would open a second one.
    if (clickAnswer(QGuiApplication::platformName(), at, screens) == ClickAnswer::askHost) {
        menu_->requestActivation();
        return;
    }
    std::optional<QRect> window;
    if (const std::optional<XWindowBox> box = xWindowAt(at.x(), at.y())) {
        window = QRect(box->x, box->y, box->width, box->height);
    }
    const QRect screen = *std::find_if(screens.begin(), screens.end(),
                                       [&](const QRect& area) { return area.contains(at); });
    popupBeside(shown_, clickedItem(at, window, screen));
}

StatusNotifierItemAdaptor::StatusNotifierItemAdaptor(StatusNotifierItem* item)
    : QDBusAbstractAdaptor(item), item_(item) {}

QDBusObjectPath StatusNotifierItemAdaptor::menu() const {
    return QDBusObjectPath(kMenuPath);
}

void StatusNotifierItemAdaptor::ContextMenu(int x, int y) {
    item_->activate({x, y});
}

void StatusNotifierItemAdaptor::Activate(int x, int y) {
    item_->activate({x, y});
}

void StatusNotifierItemAdaptor::SecondaryActivate(int, int) {}

void StatusNotifierItemAdaptor::Scroll(int, const QString&) {}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusImage& image) {
    argument.beginStructure();
    argument << image.width << image.height << image.pixels;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusImage& image) {
    argument.beginStructure();
    argument >> image.width >> image.height >> image.pixels;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusToolTip& toolTip) {
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.images << toolTip.title << toolTip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusToolTip& toolTip) {
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.images >> toolTip.title >> toolTip.text;
    argument.endStructure();
    return argument;
}

}  // namespace tessaway
