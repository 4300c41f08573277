#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/service/launchctl_runner.h"

namespace tessaway::testing {

/// The scripted service manager's tool, answered in memory: the same commands, outputs and
/// statuses as tests/doubles/fake_launchctl, the script the process tests run (a change to one
/// belongs in the other). Install it with `install()`; the HomeTest fixture removes it again.
/// Calls from several threads run one at a time; the test reads the fields once the calls it
/// waits for have been answered.
class FakeLaunchctl {
public:
    using Args = std::vector<std::string>;

    void install();
    LaunchctlResult run(const Args& args);

    /// The first word of every call, in order ("print", "bootout", ...).
    std::vector<std::string> verbs() const;

    std::vector<Args> calls;  ///< every argument list, in order
    std::set<std::string> loadedLabels;
    /// The start-at-login overrides (label: enabled), as "enable" and "disable" leave them.
    std::map<std::string, bool> overrides;
    /// What "print-disabled" prints; unset: the overrides.
    std::optional<std::string> printDisabledOutput;
    int printDisabledStatus = 0;
    int bootstrapStatus = 0;     ///< status of every "bootstrap"
    bool bootstrapLoads = true;  ///< a failed "bootstrap" still loads its label
    bool bootoutUnloads = true;  ///< false: the service never goes away
    /// When set, the status of every "enable" and "disable", which then change nothing.
    std::optional<int> enableStatus;
    /// When not 0, the status of every "disable", which then changes nothing.
    int disableStatus = 0;

private:
    std::mutex running_;
};

}  // namespace tessaway::testing
