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
    RunningApplication(std::string folder, std::string entryPath, UniqueFd entry);
    ~RunningApplication();
    RunningApplication(RunningApplication&& other) noexcept = default;
    RunningApplication& operator=(RunningApplication&& other) noexcept;
    RunningApplication(const RunningApplication&) = delete;
    RunningApplication& operator=(const RunningApplication&) = delete;

    /// True when other processes can see this instance.
    bool registered() const { return static_cast<bool>(entry_); }

    /// Takes the menu-bar item of the identifier for the rest of this registration, unless
    /// another instance holds it. Of several instances that ask at the same moment exactly one
    /// gets it. Without a usable registry nobody can be asked, and the answer is true.
    bool takeMenuBarItem();

private:
    void release();

    std::string folder_;
    std::string entryPath_;
    UniqueFd entry_;
    UniqueFd item_;
};

/// Registers this process as a running instance of `identifier`. When the registry cannot be
/// used the result is not registered (a shared fallback folder that is not ours alone is named
/// once on standard error).
RunningApplication registerRunningApplication(const std::string& identifier);

/// Process ids of the live instances registered for `identifier`, in ascending order.
/// Entries whose process has ended are removed on the way and never listed.
std::vector<pid_t> runningApplications(const std::string& identifier);

/// Asks the instance `pid` of `identifier` to quit (SIGTERM). Does nothing, and answers false,
/// when that instance is no longer alive, even if its process id now names another process.
bool terminateApplication(const std::string& identifier, pid_t pid);

}  // namespace tessaway::platform
