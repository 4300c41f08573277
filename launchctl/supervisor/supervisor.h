#pragma once

#include <string>
#include <vector>

#include "launchctl/definition.h"
#include "launchctl/environment.h"
#include "launchctl/service_manager.h"

// Each loaded service has its own supervisor: a detached process that holds the service's
// record locked, starts and restarts the program as the definition says, and stops it when
// asked. There is no central daemon; the supervisors are found through their records.

namespace tessaway::launchd {

/// Starts the supervisor of a service and waits for it to take the service's record and, when
/// the definition asks for it, to start the program. Nothing of the caller's stays open in the
/// supervisor or the service: a caller that reads our output to its end is never held up.
LoadResult loadService(const ServiceDefinition& def, const Environment& env,
                       const std::string& folder, unsigned long uid);

/// Asks the supervisor of a loaded service to stop it: SIGTERM to the program's process group,
/// SIGKILL after the exit time-out, then the service is forgotten. False when not loaded.
bool requestStop(const std::string& folder, const std::string& label);

/// Waits, a short while at most, until each of the labels is either gone or stopping, so that
/// a `print` right after a bootout sees the bootout.
void awaitStopping(const std::string& folder, const std::vector<std::string>& labels);

/// When the service is on its way out after a bootout, waits until it is gone, `seconds` at
/// most. False when it is still loaded afterwards (running normally, or still stopping).
bool awaitUnloaded(const std::string& folder, const std::string& label, double seconds);

}  // namespace tessaway::launchd
