#include "launchctl/environment.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace tessaway::launchd {
namespace {

// What a graphical agent needs from the session it was loaded in. The configuration and state
// folders too: an agent that runs launchctl must find the same overrides and autostart entry.
constexpr const char* kSessionVariables[] = {
    "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "XAUTHORITY",
    "LANG",    "QT_QPA_PLATFORM", "XDG_CONFIG_HOME", "XDG_STATE_HOME",
};

std::string nonEmpty(const char* value) {
    return value != nullptr ? value : "";
}

}  // namespace

Environment serviceEnvironment(const ServiceDefinition& def, EnvironmentLookup lookup) {
    std::map<std::string, std::string> env;
    const passwd* account = getpwuid(getuid());
    const std::string accountName = account != nullptr ? nonEmpty(account->pw_name) : "";

    env["PATH"] = kServicePath;
    std::string home = nonEmpty(lookup("HOME"));
    if (home.empty() && account != nullptr) home = nonEmpty(account->pw_dir);
    if (!home.empty()) env["HOME"] = home;
    std::string user = accountName;
    if (user.empty()) user = nonEmpty(lookup("USER"));
    if (user.empty()) user = nonEmpty(lookup("LOGNAME"));
    if (!user.empty()) {
        env["USER"] = user;
        env["LOGNAME"] = user;
    }
    std::string shell = account != nullptr ? nonEmpty(account->pw_shell) : "";
    if (shell.empty()) shell = nonEmpty(lookup("SHELL"));
    env["SHELL"] = shell.empty() ? "/bin/sh" : shell;
    const std::string tmp = nonEmpty(lookup("TMPDIR"));
    env["TMPDIR"] = tmp.empty() ? "/tmp" : tmp;
    env["XPC_SERVICE_NAME"] = def.label;
    for (const char* name : kSessionVariables) {
        if (const char* value = lookup(name); value != nullptr && *value != '\0') env[name] = value;
    }
    for (const auto& [name, value] : def.environmentVariables)
        env[name] = value;
    return {env.begin(), env.end()};
}

}  // namespace tessaway::launchd
