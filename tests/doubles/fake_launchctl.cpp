#include "tests/doubles/fake_launchctl.h"

#include <unistd.h>

#include <filesystem>

namespace tessaway::testing {
namespace {

/// The label of a service target ("gui/501/com.x"), or of a bare label.
std::string labelOf(const std::string& target) {
    return target.substr(target.rfind('/') + 1);
}

/// The label of a definition's path: its file name without ".plist".
std::string labelOfDefinition(const std::string& path) {
    std::string name = std::filesystem::path(path).filename().string();
    const std::string suffix = ".plist";
    if (name.size() > suffix.size() && name.ends_with(suffix))
        name.resize(name.size() - suffix.size());
    return name;
}

}  // namespace

void FakeLaunchctl::install() {
    setLaunchctlRunnerForTesting([this](const Args& args) { return run(args); });
}

LaunchctlResult FakeLaunchctl::run(const Args& args) {
    const std::lock_guard<std::mutex> lock(running_);
    calls.push_back(args);
    return answer(args);
}

LaunchctlResult FakeLaunchctl::answer(const Args& args) {
    const auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };
    const std::string verb = arg(0);
    if (verb == "print") {
        const std::string label = labelOf(arg(1));
        if (loadedLabels.count(label)) return {0, arg(1) + " = {\n\tstate = running\n}\n"};
        return {113, "Bad request.\nCould not find service \"" + label +
                         "\" in domain for user gui: " + std::to_string(getuid()) + "\n"};
    }
    if (verb == "print-disabled") {
        if (printDisabledOutput) return {printDisabledStatus, *printDisabledOutput};
        std::string output = "disabled services = {\n";
        for (const auto& [label, enabled] : overrides_)
            output += "\t\"" + label + "\" => " + (enabled ? "enabled\n" : "disabled\n");
        return {printDisabledStatus, output + "}\n"};
    }
    if (verb == "enable" || verb == "disable") {
        if (enableStatus) return {*enableStatus, ""};
        if (verb == "disable" && disableStatus != 0) {
            return {disableStatus, "Could not disable service: 28: No space left on device\n"};
        }
        overrides_[labelOf(arg(1))] = verb == "enable";
        return {0, ""};
    }
    if (verb == "bootstrap") {
        const std::string label = labelOfDefinition(arg(2));
        if (bootstrapStatus != 0) {
            if (bootstrapLoads) loadedLabels.insert(label);
            return {bootstrapStatus, "Bootstrap failed: 5: Input/output error\n"};
        }
        loadedLabels.insert(label);
        return {0, ""};
    }
    if (verb == "bootout") {
        const std::string label = labelOf(arg(1));
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
