#pragma once

#include <optional>
#include <string>
#include <vector>

// At login the desktop runs the programs of the XDG autostart entries; one such entry runs our
// session start, which loads the user's agents as the service manager of a Mac does at login.

namespace tessaway::launchd {

/// The Exec value that runs `argv`: each argument quoted when it must be, `%` doubled, and the
/// result escaped as a desktop entry string, so that a reader that first unescapes the string
/// and then splits it gets `argv` back exactly. Empty when an argument cannot be written in a
/// desktop entry (not UTF-8, or a control character other than tab, line feed or return).
std::optional<std::string> desktopExec(const std::vector<std::string>& argv);

/// The autostart entry that runs `program` with the word "session-start" (through /bin/sh when
/// the path holds a `%` or a backslash, which some readers cannot take in the program of Exec).
std::optional<std::string> autostartEntry(const std::string& program);

/// $XDG_CONFIG_HOME/autostart/tessaway-launchd.desktop, with ~/.config in place of a missing
/// or relative $XDG_CONFIG_HOME.
std::string autostartPath();

/// Makes sure that the desktop runs `program` session-start at the next login: writes the
/// entry, atomically, when it is missing or runs something else. An entry the user switched
/// off is left as it is. Empty when the entry is in place, else what went wrong.
std::optional<std::string> registerSessionStart(const std::string& program);

/// Like registerSessionStart, but an entry the user switched off is made ours again: the user
/// has asked for start at login since.
std::optional<std::string> switchSessionStartOn(const std::string& program);

/// The key and value by which the entry is switched off ("Hidden=true"); empty when it is not
/// switched off (also when there is none yet).
std::optional<std::string> sessionStartSwitchedOff();

}  // namespace tessaway::launchd
