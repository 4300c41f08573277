#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tessaway::platform {

/// This process's entry among the running instances of a bundle identifier. Other processes
/// see the instance from registration until the object is destroyed or the process ends.
class RunningApplication {
public:
    RunningApplication() = default;
    RunningApplication(std::string entryPath, UniqueFd entry);
    ~RunningApplication();
    RunningApplication(RunningApplication&& other) noexcept = default;
    RunningApplication& operator=(RunningApplication&& other) noexcept;
    RunningApplication(const RunningApplication&) = delete;
    RunningApplication& operator=(const RunningApplication&) = delete;

    /// True when other processes can see this instance.
    bool registered() const { return static_cast<bool>(entry_); }

private:
    void release();

    std::string entryPath_;
    UniqueFd entry_;
};

/// This process's registration and the instances that were registered before it.
struct Registration {
    RunningApplication instance;
    /// Process ids of the other live instances, in ascending order.
    std::vector<pid_t> others;
    /// The registry's lock or this process's entry is not a regular file, or the registry
    /// stayed locked: said on standard error. Nobody can tell whether another instance runs.
    bool refused = false;
};

/// Registers this process as a running instance of `identifier` and lists the others, both
/// under one lock: of two starts at the same moment, the later one always lists the earlier.
/// When the registry folder cannot be used (a shared fallback folder that is not ours alone is
/// named once on standard error) the result is not registered and lists nobody.
Registration registerRunningApplication(const std::string& identifier);

/// Process ids of the live instances registered for `identifier`, in ascending order.
/// Entries whose process has ended are removed on the way and never listed.
std::vector<pid_t> runningApplications(const std::string& identifier);

/// Asks the instance `pid` of `identifier` to quit (SIGTERM). Does nothing, and answers false,
/// when that instance is no longer alive, even if its process id now names another process.
bool terminateApplication(const std::string& identifier, pid_t pid);

}  // namespace tessaway::platform
