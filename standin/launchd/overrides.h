#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaway::launchd {

/// Labels with an override, sorted by label; true means disabled.
using Overrides = std::vector<std::pair<std::string, bool>>;

/// Reads the overrides file; a missing or damaged file has none. Entries that are not
/// booleans are skipped.
Overrides readOverrides(const std::string& path);

/// The override of one label, if it has one.
std::optional<bool> overrideFor(const Overrides& overrides, const std::string& label);

/// Records `disabled` for `label`, creating the file and its folder as needed. Concurrent
/// writers are serialised, and the file is replaced atomically, so readers never see a half.
bool setOverride(const std::string& path, const std::string& label, bool disabled);

}  // namespace tessaway::launchd
