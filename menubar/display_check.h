#pragma once

#include <optional>
#include <string>

namespace tessaway {

/// Why no display can be opened for the menu-bar item, asked before the toolkit starts
/// (which would otherwise abort the process). Nothing when one can be opened, or when the
/// chosen platform is not one this check knows; the toolkit's own failure is caught later.
///
/// An X display that opens stays open until releaseDisplayCheck(): an X server whose last
/// client leaves resets itself, and a connection the toolkit made during that reset would fail.
std::optional<std::string> displayProblem();

/// Closes the display that displayProblem() kept open; called once the toolkit has its own.
void releaseDisplayCheck();

/// Whether an XEmbed system tray (a panel that embeds status icons) manages the screen of the
/// X display named by DISPLAY. False when there is no such display.
bool xSystemTrayPresent();

/// A window's place on the screen, its border included.
struct XWindowBox {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

/// The top-level window that shows at the point (x, y) of the X display named by DISPLAY (a
/// panel, where the point is a click on it). Nothing when no window shows there or there is no
/// such display.
std::optional<XWindowBox> xWindowAt(int x, int y);

}  // namespace tessaway
