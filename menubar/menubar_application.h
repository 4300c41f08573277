#pragma once

namespace tessaway {

class Tray;

/// The one Tray of the menu-bar application, for the life of its event loop.
extern Tray* tray;

/// Runs the menu-bar application: the application object, the Tray, and
/// the event loop until the quit action or SIGTERM ends it. Returns the exit status: 0, or 1
/// (after one line on standard error) when no display can be opened.
int runMenuBar(int argc, char** argv);

}  // namespace tessaway
