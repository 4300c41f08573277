#pragma once

#include <string>
#include <string_view>

#include "core/service/launchctl_runner.h"

namespace tessaway {

/// Is the agent with this label loaded in the service manager?
bool loaded(const std::string& label);

/// Is the server agent loaded?
bool serverLoaded();

/// What the service manager says about start at login.
struct LoginSetting {
    /// No disabled override for the server label: a bootstrap is not refused.
    bool enabled = true;
    /// Why the agents will not load at the next login although they are enabled (the
    /// desktop's entry that loads them is switched off); empty when nothing stops them.
    std::string blocked;

    /// Start at login is on: enabled, and nothing keeps the next login from loading the agent.
    bool on() const { return enabled && blocked.empty(); }
};

/// Reads the output of "print-disabled" for the server label.
LoginSetting parseLoginSetting(std::string_view printDisabled);

/// Asks the service manager ("print-disabled").
LoginSetting loginSetting();

/// Is start at login on? (loginSetting().on())
bool startAtLogin();

/// Switches start at login for both agents, server first. Returns the output of the commands
/// that failed (empty when none did). Changes nothing without the control lock (the reason is
/// on standard error then).
std::string setStartAtLogin(bool on);

/// What a bootstrap came to.
struct BootstrapResult {
    LaunchctlResult bootstrap;
    /// Set when a disabled override, lifted for the bootstrap, could not be put back: start at
    /// login is on now. What went wrong; the message is on standard error already.
    std::string notRestored;
};

/// Bootstraps the agent `label` from the definition at `plist`. With the override disabled
/// (`enabled` false) it would refuse the load, so it is lifted for this one bootstrap and put
/// back right after it. The caller holds the control lock.
BootstrapResult bootstrapAgent(const std::string& label, const std::string& plist, bool enabled);

/// What startServer() came to.
struct StartResult {
    /// The server agent is loaded afterwards.
    bool loaded = false;
    /// Start at login was off and could not be switched off again after the load (see
    /// BootstrapResult); empty otherwise.
    std::string notRestored;

    explicit operator bool() const { return loaded; }
};

/// Loads the server agent. Not loaded without the control lock.
StartResult startServer();

/// Unloads the server agent and waits, up to 25 seconds, for it to be gone. Does nothing
/// without the control lock.
void stopServer();

}  // namespace tessaway
