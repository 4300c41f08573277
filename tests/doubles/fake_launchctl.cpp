#include "tests/doubles/fake_launchctl.h"

#include <filesystem>

namespace tessaway::testing {
namespace {

std::string labelOfTarget(const std::string& target) {
    const auto slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

}  // namespace

void FakeLaunchctl::install() {
    setLaunchctlRunnerForTesting([this](const Args& args) { return run(args); });
}

LaunchctlResult FakeLaunchctl::run(const Args& args) {
    calls.push_back(args);
    const std::string verb = args.empty() ? "" : args[0];
    if (verb == "print" && args.size() == 2) {
        const bool isLoaded = loadedLabels.count(labelOfTarget(args[1])) > 0;
        if (isLoaded) return {0, args[1] + " = {\n}\n"};
        return {113, "Bad request.\nCould not find service\n"};
    }
    if (verb == "print-disabled") return {printDisabledStatus, printDisabledOutput};
    if (verb == "enable" || verb == "disable") return {enableStatus, ""};
    if (verb == "bootstrap" && args.size() == 3) {
        if (bootstrapLoads) {
            loadedLabels.insert(std::filesystem::path(args[2]).stem().string());
        }
        return {bootstrapStatus,
                bootstrapStatus == 0 ? "" : "Bootstrap failed: 5: Input/output error\n"};
    }
    if (verb == "bootout" && args.size() == 2) {
        const std::string label = labelOfTarget(args[1]);
        if (loadedLabels.count(label) == 0) return {3, "Boot-out failed: 3: No such process\n"};
        if (bootoutUnloads) loadedLabels.erase(label);
        return {0, ""};
    }
    return {64, "usage\n"};
}

std::vector<std::string> FakeLaunchctl::verbs() const {
    std::vector<std::string> out;
    for (const auto& call : calls)
        out.push_back(call.empty() ? "" : call[0]);
    return out;
}

}  // namespace tessaway::testing
