#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tessaway {

/// What one run of the service manager's tool gave back.
struct LaunchctlResult {
    int32_t status = -1;  ///< the tool's exit status; -1 when it could not be started
    std::string output;   ///< standard output and standard error together, as UTF-8
};

/// How long one run of the tool may take. The longest legitimate command is a bootstrap that
/// waits for the old instance of an agent to end: its exit time-out (20 s at most for our
/// agents) plus 30 s. Two minutes leave ample room on a busy machine.
inline constexpr double kLaunchctlTimeoutSeconds = 120.0;

/// Runs the service manager's tool with `args` (without the program name) and waits for it,
/// at most kLaunchctlTimeoutSeconds: a tool still running then is killed, which says so in one
/// line on standard error and gives a non-zero status. Every failure is folded into the result.
LaunchctlResult launchctl(const std::vector<std::string>& args);

using LaunchctlRunner = std::function<LaunchctlResult(const std::vector<std::string>&)>;

/// Routes every launchctl() call to `runner` (tests only); an empty runner restores the tool.
void setLaunchctlRunnerForTesting(LaunchctlRunner runner);

}  // namespace tessaway
