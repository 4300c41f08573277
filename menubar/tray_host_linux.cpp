#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>

#include "menubar/display_check.h"
#include "menubar/tray_host.h"

namespace tessaway {
namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
/// A watcher is a local service of the desktop shell; one that takes longer than this is
/// asked again at the next check.
constexpr int kWatcherTimeoutMs = 2000;

/// Is a watcher running, and does it have a host that shows the items?
bool statusNotifierHostRegistered() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(kWatcher).value()) {
        return false;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(
        kWatcher, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kWatcherTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    return qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

}  // namespace

TrayHost trayHost() {
    const QString platform = QGuiApplication::platformName();
    const bool x = platform == QLatin1String("xcb");
    if (!x && !platform.startsWith(QLatin1String("wayland"))) return TrayHost::toolkit;
    if (statusNotifierHostRegistered()) return TrayHost::statusNotifier;
    return x && xSystemTrayPresent() ? TrayHost::toolkit : TrayHost::none;
}

}  // namespace tessaway
