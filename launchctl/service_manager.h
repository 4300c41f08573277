#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "launchctl/definition.h"

// The command layer speaks to the engine that runs the services through this interface: the
// supervisors of our own, or systemd's user manager. Both answer in the same terms, so that the
// subcommands keep their statuses and output shapes whichever engine is underneath.

namespace tessaway::launchd {

enum class LoadResult { loaded, alreadyLoaded, failed };

/// The exit status a service shows when its program could not be started at all (no such
/// file, not executable, a missing working folder).
inline constexpr int kCannotStart = 78;

/// How long a load waits for a service of the same label that is on its way out: the old
/// instance ends at most a little after its exit time-out; the margin is generous because a
/// busy machine can hold up its last steps, and waiting costs nothing otherwise.
inline double unloadWaitSeconds(const ServiceDefinition& def) {
    return static_cast<double>(def.exitTimeOut) + 30.0;
}

/// A loaded service as `print` and the domain listing show it.
struct LoadedService {
    /// The service's process while it runs, else 0.
    pid_t pid = 0;
    /// On its way out after a bootout.
    bool stopping = false;
    /// "-" before the first end, then the exit status, or minus the signal number.
    std::string lastStatus = "-";
    /// The block `print` shows, "gui/<uid>/<label> = {" to "}"; empty when nothing more than
    /// that it is loaded is known.
    std::string report;
};

class ServiceManager {
public:
    virtual ~ServiceManager() = default;

    /// The service of `label`, when it is loaded.
    virtual std::optional<LoadedService> find(const std::string& label) = 0;

    /// The labels this engine may have loaded, sorted; `find` tells which are.
    virtual std::vector<std::string> labels() = 0;

    /// Loads the definition and starts it when it says so, after waiting for a service of the
    /// same label that is on its way out. A reason for a failure that the caller cannot know is
    /// said on standard error here.
    virtual LoadResult load(const ServiceDefinition& def) = 0;

    /// Asks a loaded service to stop and be forgotten. False when it is not loaded.
    virtual bool stop(const std::string& label) = 0;

    /// Waits, bounded, until the stop requests for `labels` have taken effect as far as a
    /// following `print` can tell.
    virtual void settle(const std::vector<std::string>& labels) = 0;

    /// When the service is on its way out, waits until it is gone, `seconds` at most. False
    /// when it is still loaded afterwards.
    virtual bool awaitUnloaded(const std::string& label, double seconds) = 0;

    /// Starts again a loaded agent whose program has ended, as a new login does; false when
    /// this engine keeps ended agents as they are until the session ends.
    virtual bool startAgain(const ServiceDefinition& def) = 0;

    /// Hands the caller's desktop session variables to the engine, for the agents it starts.
    virtual void importSession() = 0;
};

}  // namespace tessaway::launchd
