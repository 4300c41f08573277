#include "tests/doubles/fake_launchctl.h"

#include <unistd.h>

#include <filesystem>

namespace tessaway::testing {

void FakeLaunchctl::install() {
    setLaunchctlRunnerForTesting([this](const Args& args) { return run(args); });
}

LaunchctlResult FakeLaunchctl::run(const Args& args) {
    const std::lock_guard<std::mutex> lock(running_);
    calls.push_back(args);
    const auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };
    const std::string verb = arg(0);
    // The label of a service target ("gui/501/com.x"), or of a definition's path.
    const std::string label = arg(1).substr(arg(1).rfind('/') + 1);
    if (verb == "print") {
        if (loadedLabels.count(label)) return {0, arg(1) + " = {\n\tstate = running\n}\n"};
        return {113, "Bad request.\nCould not find service \"" + label +
                         "\" in domain for user gui: " + std::to_string(getuid()) + "\n"};
    }
    if (verb == "print-disabled") {
        if (printDisabledOutput) return {printDisabledStatus, *printDisabledOutput};
        std::string output = "disabled services = {\n";
        for (const auto& [name, enabled] : overrides)
            output += "\t\"" + name + "\" => " + (enabled ? "enabled\n" : "disabled\n");
        return {printDisabledStatus, output + "}\n"};
    }
    if (verb == "enable" || verb == "disable") {
        if (enableStatus) return {*enableStatus, ""};
        if (verb == "disable" && disableStatus != 0) {
            return {disableStatus, "Could not disable service: 28: No space left on device\n"};
        }
        overrides[label] = verb == "enable";
        return {0, ""};
    }
    if (verb == "bootstrap") {
        const std::filesystem::path plist(arg(2));
        if (bootstrapStatus == 0 || bootstrapLoads) {
            loadedLabels.insert(plist.extension() == ".plist" ? plist.stem() : plist.filename());
        }
        if (bootstrapStatus == 0) return {0, ""};
        return {bootstrapStatus, "Bootstrap failed: 5: Input/output error\n"};
    }
    if (verb == "bootout") {
        if (!loadedLabels.count(label)) return {3, "Boot-out failed: 3: No such process\n"};
        if (bootoutUnloads) loadedLabels.erase(label);
        return {0, ""};
    }
    return {64, "usage: launchctl ...\n"};
}

std::vector<std::string> FakeLaunchctl::verbs() const {
    std::vector<std::string> out;
    for (const auto& call : calls)
        out.push_back(call.empty() ? "" : call[0]);
    return out;
}

}  // namespace tessaway::testing
