#include "core/service/launchctl_runner.h"

#include "core/text.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/system.h"

namespace tessaway {
namespace {

LaunchctlRunner& runnerHook() {
    static LaunchctlRunner hook;
    return hook;
}

}  // namespace

LaunchctlResult launchctl(const std::vector<std::string>& args) {
    if (runnerHook()) return runnerHook()(args);
    const std::string tool = platform::serviceManagerTool();
    auto run = platform::runCaptured(tool, args, kLaunchctlTimeoutSeconds);
    if (!run.started) return {-1, run.error};
    if (run.timedOut) {
        std::string command = tool;
        for (const auto& arg : args)
            command += " " + arg;
        platform::writeStandardError(
            "tessaway-tray: stopped " + repairUtf8(command) + ": it did not finish within " +
            std::to_string(static_cast<int>(kLaunchctlTimeoutSeconds)) + " seconds\n");
    }
    return {run.status, repairUtf8(run.output)};
}

void setLaunchctlRunnerForTesting(LaunchctlRunner runner) {
    runnerHook() = std::move(runner);
}

}  // namespace tessaway
