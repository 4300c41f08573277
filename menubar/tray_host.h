#pragma once

namespace tessaway {

/// Whether something on this desktop can show the menu-bar item now: a StatusNotifierItem
/// host on the session bus (a watcher with a registered host), or, on X, an XEmbed system
/// tray. Platforms that have neither kind of host (offscreen, for one) count as ready: the
/// item is made there at once, as before.
///
/// Asked before the item is made and then until it can be: the toolkit settles on one of the
/// two ways the first time it looks, so the item must not be made before a host exists.
bool trayHostAvailable();

}  // namespace tessaway
