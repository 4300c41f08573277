#pragma once

#include <string>

#include "core/service/launchctl_runner.h"

namespace tessaway {

/// Is the agent with this label loaded in the service manager?
bool loaded(const std::string& label);

/// Is the server agent loaded?
bool serverLoaded();

/// Is start at login on: no disabled override for the server label?
bool startAtLogin();

/// Switches start at login for both agents, server first. Changes nothing without the control
/// lock (the reason is on standard error then).
void setStartAtLogin(bool on);

/// Bootstraps the agent `label` from the definition at `plist`. With start at login off
/// (`atLogin` false) the disabled override, which would refuse the load, is lifted for this one
/// bootstrap and put back right after it. The caller holds the control lock.
LaunchctlResult bootstrapAgent(const std::string& label, const std::string& plist, bool atLogin);

/// Loads the server agent; true when it is loaded afterwards. False without the control lock.
bool startServer();

/// Unloads the server agent and waits, up to 25 seconds, for it to be gone. Does nothing
/// without the control lock.
void stopServer();

}  // namespace tessaway
