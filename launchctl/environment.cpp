#include "launchctl/environment.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace tessaway::launchd {
namespace {

// What a graphical agent needs from the session it was loaded in. The configuration and state
// folders too: an agent that runs launchctl must find the same overrides and autostart entry.
constexpr const char* kSessionVariables[] = {
    "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "XAUTHORITY",
    "LANG",    "QT_QPA_PLATFORM", "XDG_CONFIG_HOME", "XDG_STATE_HOME",
};

// What the user manager is given at each login and bootstrap for the agents it starts.
constexpr const char* kDisplayVariables[] = {
    "DISPLAY",    "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_CURRENT_DESKTOP",
    "XAUTHORITY", "QT_QPA_PLATFORM",
};
// Per user rather than per session: they go into the units.
constexpr const char* kUserFolders[] = {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME"};

std::string nonEmpty(const char* value) {
    return value != nullptr ? value : "";
}

/// Copies the variables `names` that the caller has, and not empty, into `env`.
template <size_t N>
void setFrom(std::map<std::string, std::string>& env, const char* const (&names)[N],
             EnvironmentLookup lookup) {
    for (const char* name : names) {
        if (const char* value = lookup(name); value != nullptr && *value != '\0') env[name] = value;
    }
}

/// The fixed base every service starts with, the account's values and the label.
std::map<std::string, std::string> baseEnvironment(const ServiceDefinition& def,
                                                   EnvironmentLookup lookup) {
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
    return env;
}

Environment withDefinition(std::map<std::string, std::string> env, const ServiceDefinition& def) {
    for (const auto& [name, value] : def.environmentVariables)
        env[name] = value;
    return {env.begin(), env.end()};
}

}  // namespace

const char* processVariable(const char* name) {
    return std::getenv(name);
}

Environment serviceEnvironment(const ServiceDefinition& def, EnvironmentLookup lookup) {
    auto env = baseEnvironment(def, lookup);
    setFrom(env, kSessionVariables, lookup);
    return withDefinition(std::move(env), def);
}

Environment unitEnvironment(const ServiceDefinition& def, EnvironmentLookup lookup) {
    auto env = baseEnvironment(def, lookup);
    setFrom(env, kUserFolders, lookup);
    return withDefinition(std::move(env), def);
}

std::vector<std::string> assignments(const Environment& env) {
    std::vector<std::string> out;
    out.reserve(env.size());
    for (const auto& [name, value] : env) {
        std::string assignment = name;
        assignment += '=';
        assignment += value;
        out.push_back(std::move(assignment));
    }
    return out;
}

Environment displayVariables(EnvironmentLookup lookup) {
    std::map<std::string, std::string> env;
    setFrom(env, kDisplayVariables, lookup);
    return {env.begin(), env.end()};
}

}  // namespace tessaway::launchd
