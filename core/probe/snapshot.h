#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tessaway {

/// The controller's view of the server.
enum class ServerState {
    paused,         ///< the server agent is not loaded: sharing is off
    starting,       ///< loaded, but the ping has not answered with 200 (yet)
    running,        ///< the ping answered with 200
    notResponding,  ///< loaded, and the pings have failed for more than 60 seconds
};

/// The three facts of the server's setup status; absent means not learned.
struct SetupFacts {
    std::optional<bool> claimed;
    std::optional<std::string> name;
    std::optional<bool> configured;
};

/// What is known about the server at one moment.
struct Snapshot {
    ServerState state = ServerState::starting;
    std::optional<bool> claimed;
    std::optional<std::string> name;
    std::optional<bool> configured;

    /// Replaces the three setup facts, leaving the state alone.
    void setFacts(const SetupFacts& facts);
};

/// The rows of the menu whose texts never change; the menu and the status report both show them.
inline constexpr const char* kOpenSetupRow = "Open Setup / Dashboard";
inline constexpr const char* kAddFolderRow = "Add Media Folder\u2026";
inline constexpr const char* kStartAtLoginRow = "Start at Login";
inline constexpr const char* kQuitRow = "Quit Tessaway Server";

/// The texts the menu and the status report show for a snapshot.
struct MenuText {
    std::string status;
    std::string detail;  ///< empty: nothing to show
    std::string pause;
};

/// The texts for `snapshot`, with the server's name cut to `nameCharacters` (see boundedName):
/// each view says how wide a row may grow.
MenuText menuText(const Snapshot& snapshot, size_t nameCharacters);

}  // namespace tessaway
