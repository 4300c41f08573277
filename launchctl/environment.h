#pragma once

#include <string>
#include <utility>
#include <vector>

#include "launchctl/definition.h"

namespace tessaway::launchd {

/// Name and value pairs, sorted by name, each name once.
using Environment = std::vector<std::pair<std::string, std::string>>;

/// The "NAME=value" strings of `env`, in its order.
std::vector<std::string> assignments(const Environment& env);

/// Looks up a variable of the calling process; processVariable outside tests.
using EnvironmentLookup = const char* (*)(const char* name);

/// The calling process's own variable `name` (std::getenv), or null.
const char* processVariable(const char* name);

/// The search path every service starts with.
inline constexpr const char* kServicePath = "/usr/bin:/bin:/usr/sbin:/sbin";

/// The environment a service's program gets: a fixed base, the account's values, the desktop
/// session's variables the caller has, and last the definition's own variables.
Environment serviceEnvironment(const ServiceDefinition& def, EnvironmentLookup lookup);

/// What a unit of the user manager sets itself: the fixed base and the account's values, the
/// caller's configuration, state and data folders (so that an agent that runs launchctl finds
/// the same overrides and units), and last the definition's own variables. The session's
/// variables come from the manager's environment (see displayVariables).
Environment unitEnvironment(const ServiceDefinition& def, EnvironmentLookup lookup);

/// The caller's desktop session variables that are set and not empty, for the user manager's
/// environment: they change with each login, so no unit holds them.
Environment displayVariables(EnvironmentLookup lookup);

}  // namespace tessaway::launchd
