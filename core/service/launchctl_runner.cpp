#include "core/service/launchctl_runner.h"

#include "core/text.h"
#include "platform/process.h"
#include "platform/service_manager.h"

namespace tessaway {
namespace {

LaunchctlRunner& runnerHook() {
    static LaunchctlRunner hook;
    return hook;
}

}  // namespace

LaunchctlResult launchctl(const std::vector<std::string>& args) {
    if (runnerHook()) return runnerHook()(args);
    auto run = platform::runCaptured(platform::serviceManagerTool(), args);
    if (!run.started) return {-1, run.error};
    return {run.status, repairUtf8(run.output)};
}

void setLaunchctlRunnerForTesting(LaunchctlRunner runner) {
    runnerHook() = std::move(runner);
}

}  // namespace tessaway
