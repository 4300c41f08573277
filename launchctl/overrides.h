#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaway::launchd {

/// Labels with an override, sorted by label; true means disabled.
using Overrides = std::vector<std::pair<std::string, bool>>;

/// The overrides held by the bytes of an overrides file; empty when they are not one (not a
/// property list, or its top level is not a dictionary). Entries that are not booleans are
/// skipped.
std::optional<Overrides> parseOverrides(std::string_view data);

/// What is at the overrides file's place.
struct OverridesFile {
    Overrides overrides;
    /// Something is there that cannot be read as overrides: garbage, a truncated or oversized
    /// file, something that is not a regular file.
    bool damaged = false;
};

/// Reads the overrides file without ever blocking; a missing file has none.
OverridesFile readOverridesFile(const std::string& path);

/// The overrides of the file; a missing or damaged file has none.
Overrides readOverrides(const std::string& path);

/// The override of one label, if it has one.
std::optional<bool> overrideFor(const Overrides& overrides, const std::string& label);

enum class OverrideResult { recorded, failed, full };

/// Records `disabled` for `label`, creating the file and its folder as needed. Concurrent
/// writers are serialised by a lock file beside it, and the file is replaced atomically, so
/// readers never see a half. A writer that cannot have the lock (not a regular file, or held
/// by another process for 10 seconds) fails with one line on standard error. A damaged file is
/// first set aside beside it (with one line on standard error), never overwritten. `full` when
/// the file would grow past what a reader takes.
OverrideResult setOverride(const std::string& path, const std::string& label, bool disabled);

}  // namespace tessaway::launchd
