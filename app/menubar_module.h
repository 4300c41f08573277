#pragma once

namespace tessaway {

/// Name of the entry point that the menu-bar module exports:
/// `extern "C" int tessaway_menubar_main(int argc, char** argv)`, which runs the menu-bar
/// application until it quits and returns the process's exit status.
inline constexpr const char* kMenuBarEntry = "tessaway_menubar_main";

/// Loads the menu-bar module from the bundle's PlugIns folder and runs it. When the module
/// cannot be loaded, says so in one line on standard error and returns 0: outside the control
/// commands the program ends with 0 on every path of its own.
int runMenuBarApplication(int argc, char** argv);

}  // namespace tessaway
