#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tessaway::platform {

/// Process ids of the live menu-bar instances registered for `identifier`, in ascending order.
/// Entries whose process has ended are removed on the way and never listed.
std::vector<pid_t> runningApplications(const std::string& identifier);

/// Registers this process as a running instance of `identifier` for the rest of its life.
bool registerRunningApplication(const std::string& identifier);

/// Asks the instance `pid` of `identifier` to quit (SIGTERM). Does nothing, and answers false,
/// when that instance is no longer alive, even if its process id now names another process.
bool terminateApplication(const std::string& identifier, pid_t pid);

/// The folder that holds the registry entries of `identifier` (tests use it).
std::string registryFolder(const std::string& identifier);

}  // namespace tessaway::platform
