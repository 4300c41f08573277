#pragma once

#include <set>
#include <string>
#include <vector>

#include "core/service/launchctl_runner.h"

namespace tessaway::testing {

/// An in-process service manager that records every argument list and follows a small script.
/// Install it with `install()`; the HomeTest fixture removes it again.
class FakeLaunchctl {
public:
    using Args = std::vector<std::string>;

    void install();
    LaunchctlResult run(const Args& args);

    /// The first word of every call, in order ("print", "bootout", ...).
    std::vector<std::string> verbs() const;

    std::vector<Args> calls;  ///< every argument list, in order
    std::set<std::string> loadedLabels;
    std::string printDisabledOutput;  ///< what "print-disabled" prints
    int printDisabledStatus = 0;
    int bootstrapStatus = 0;     ///< status of every "bootstrap"
    bool bootstrapLoads = true;  ///< a "bootstrap" loads the label named by its file
    bool bootoutUnloads = true;  ///< false: the service never goes away
    int enableStatus = 0;        ///< status of every "enable" and "disable"
};

}  // namespace tessaway::testing
