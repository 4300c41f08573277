#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tessaway {

// Process-wide identity values: filled by main before anything else, read-only afterwards.

/// Service-manager label of the server agent.
inline const std::string serverLabel = "com.quorvel.tessaway-server";
/// Service-manager label of the tray agent.
inline const std::string trayLabel = "com.quorvel.tessaway-tray";
/// The server's port when nothing else is configured, and the first one a search tries.
inline constexpr int64_t defaultPort = 8011;

extern uint32_t uid;                       ///< the real user id
extern std::string domain;                 ///< "gui/" and the user id
extern std::filesystem::path agentsDir;    ///< ~/Library/LaunchAgents
extern std::filesystem::path serverPlist;  ///< the server agent's definition file

/// Fills uid, domain, agentsDir and serverPlist (the first group of identity values).
void fillIdentity();

// Second group: only on the path that may become the menu-bar application.
extern bool launchedByAgent;
extern std::string bundleID;
/// The other live instances of bundleID, listed when this one registered.
extern std::vector<pid_t> others;

/// The service target of a label: domain, "/", label.
std::string serviceTarget(const std::string& label);

/// The agent definition file of a label in agentsDir.
std::filesystem::path agentPlist(const std::string& label);

/// The folder the server's log lives in: the home directory's path and "/Library/Logs/Tessaway".
std::string logFolder();

/// "http://127.0.0.1:" and the port: every request the controller sends to the server.
std::string probeBase(int64_t port);

/// "http://localhost:" and the port: every page opened in the user's browser.
std::string browserBase(int64_t port);

}  // namespace tessaway
