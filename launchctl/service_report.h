#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "launchctl/definition.h"
#include "launchctl/environment.h"

namespace tessaway::launchd {

/// What a supervisor knows about its service's process at one moment.
struct ServiceRuntime {
    /// 0 while no process runs.
    pid_t pid = 0;
    /// The process got SIGTERM for a bootout and has not ended yet.
    bool stopping = false;
    long runs = 0;
    std::optional<Termination> lastEnd;
};

/// The largest report `print` shows for one service; a definition that would need more is
/// refused. A supervisor's record reader takes several times this size, so what changes while
/// the service runs still fits.
inline constexpr size_t kMaxReportBytes = 256 * 1024;

/// The block `print` shows for a loaded service, "gui/<uid>/<label> = {" to "}".
std::string serviceReport(const ServiceDefinition& def, const Environment& env,
                          const ServiceRuntime& runtime, unsigned long uid);

/// How the last end reads in a domain listing: "-" before any, the exit status, or minus the
/// signal number.
std::string listStatus(const ServiceRuntime& runtime);

}  // namespace tessaway::launchd
