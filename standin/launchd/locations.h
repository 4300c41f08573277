#pragma once

#include <optional>
#include <string>

namespace tessaway::launchd {

/// The folder of the loaded services' records: $XDG_RUNTIME_DIR/tessaway-launchd, or
/// /tmp/tessaway-launchd-<uid> without a runtime folder. It lives as long as the session.
std::string runtimeFolder();

/// Creates the runtime folder when missing and checks that it is ours alone. Empty when it
/// cannot be made safe.
std::optional<std::string> preparedRuntimeFolder();

/// The per-user overrides file: $XDG_STATE_HOME/tessaway-launchd/disabled.plist, with
/// ~/.local/state in place of a missing or relative $XDG_STATE_HOME. It outlives sessions.
std::string overridesPath();

/// Creates `folder` and its missing parents with `mode`. False when it does not exist after.
bool createFolders(const std::string& folder, unsigned mode);

/// The folder part of a path ("/" for a file in the root, "." for a bare name).
std::string parentFolder(const std::string& path);

}  // namespace tessaway::launchd
