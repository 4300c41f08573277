#pragma once

#include <optional>
#include <string>

namespace tessaway::launchd {

/// The folder of the loaded services' records: $XDG_RUNTIME_DIR/tessaway-launchd, or
/// /tmp/tessaway-launchd-<uid> without a runtime folder (whatever $TMPDIR says). It lives as
/// long as the session. With `create` a missing one is made. Empty, after one line on standard
/// error that names it and the reason, when it is not ours alone.
std::optional<std::string> runtimeFolder(bool create);

/// The user's agents folder, ~/Library/LaunchAgents, whose definitions load at login.
std::string agentsFolder();

/// True when the file at `path` lies in the agents folder (the very folder, whatever the
/// spelling of either path).
bool inAgentsFolder(const std::string& path);

/// The folder named by the XDG base-directory `variable`, or `fallback` in the home folder when
/// it is unset or relative (the base-directory rules ignore relative values).
std::string xdgFolder(const char* variable, const char* fallback);

/// The per-user overrides file: $XDG_STATE_HOME/tessaway-launchd/disabled.plist, with
/// ~/.local/state in place of a missing or relative $XDG_STATE_HOME. It outlives sessions.
std::string overridesPath();

/// Creates `folder` and its missing parents with `mode`. False when it does not exist after.
bool createFolders(const std::string& folder, unsigned mode);

/// The folder part of a path ("/" for a file in the root, "." for a bare name).
std::string parentFolder(const std::string& path);

}  // namespace tessaway::launchd
