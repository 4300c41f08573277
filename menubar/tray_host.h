#pragma once

namespace tessaway {

/// What can show the menu-bar item now.
enum class TrayHost {
    none,            ///< nothing yet
    statusNotifier,  ///< a StatusNotifierItem host on the session bus (a watcher with a host)
    toolkit,         ///< the toolkit's own tray icon: an XEmbed system tray on X, or a
                     ///< platform that has neither kind of host (offscreen, for one)
};

/// Asked before the item is made and then until it can be: the item must not be made before a
/// host exists, and it takes the way of the host that is there when it is made.
TrayHost trayHost();

}  // namespace tessaway
