#pragma once

#include <string>
#include <string_view>
#include <vector>

// The units we write live in the user's own unit folder, $XDG_DATA_HOME/systemd/user; their
// start at login is a link in $XDG_CONFIG_HOME/systemd/user/<target>.wants, as `systemctl
// enable` makes it. Both are plain files: they can be changed while no manager runs.

namespace tessaway::launchd {

/// $XDG_DATA_HOME/systemd/user, with ~/.local/share in place of a missing or relative value.
std::string unitFolder();

enum class UnitWrite { unchanged, written, failed };

/// Puts `text` in place as the unit `name`, atomically, unless the file already holds exactly
/// that. On failure `error` says why.
UnitWrite writeUnit(const std::string& name, const std::string& text, std::string& error);

/// Removes the unit `name` and its links, when the file is one of ours.
void removeUnit(const std::string& name);

/// The value of the first `key` line of the unit `name`, with `%%` undone, when the unit is
/// ours and has one.
std::string unitSetting(const std::string& name, std::string_view key);

/// Labels of the units of ours in the unit folder, sorted.
std::vector<std::string> unitLabels();

/// Mirrors an override onto the unit of `label`, when there is one of ours: enabled, and made
/// from a definition in the agents folder, it is wanted by its login target; else by none. Empty
/// when done, else what went wrong.
std::string mirrorLoginStart(const std::string& label, bool enabled);

}  // namespace tessaway::launchd
