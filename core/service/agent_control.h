#pragma once

#include <string>

namespace tessaway {

/// Is the agent with this label loaded in the service manager?
bool loaded(const std::string& label);

/// Is the server agent loaded?
bool serverLoaded();

/// Is start at login on: no disabled override for the server label?
bool startAtLogin();

/// Switches start at login for both agents, server first.
void setStartAtLogin(bool on);

/// Loads the server agent; true when it is loaded afterwards.
bool startServer();

/// Unloads the server agent and waits, up to 25 seconds, for it to be gone.
void stopServer();

}  // namespace tessaway
