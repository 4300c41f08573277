#include "tests/doubles/fake_launchctl.h"

#include <filesystem>

#include "platform/process.h"

namespace tessaway::testing {

namespace fs = std::filesystem;

void FakeLaunchctl::install() {
    setLaunchctlRunnerForTesting([this](const Args& args) { return run(args); });
}

LaunchctlResult FakeLaunchctl::run(const Args& args) {
    const std::lock_guard<std::mutex> lock(running_);
    const fs::path& state = state_.path();
    const auto knob = [&](const char* name, bool present, const std::string& content) {
        if (present) {
            writeFile(state / name, content);
        } else {
            fs::remove(state / name);
        }
    };
    knob("print-disabled", printDisabledOutput.has_value(), printDisabledOutput.value_or(""));
    knob("print-disabled-status", printDisabledStatus != 0, std::to_string(printDisabledStatus));
    knob("bootstrap-status", bootstrapStatus != 0, std::to_string(bootstrapStatus));
    knob("failed-bootstrap-loads", bootstrapLoads, "");
    knob("never-unload", !bootoutUnloads, "");
    knob("enable-status", enableStatus.has_value(), std::to_string(enableStatus.value_or(0)));
    knob("disable-status", disableStatus != 0, std::to_string(disableStatus));
    const fs::path loaded = state / "loaded";
    fs::remove_all(loaded);
    fs::create_directories(loaded);
    for (const auto& label : loadedLabels)
        writeFile(loaded / label, "");

    Args command{"FAKE_LAUNCHCTL_STATE=" + state.string(), TESSAWAY_FAKE_LAUNCHCTL};
    command.insert(command.end(), args.begin(), args.end());
    const platform::CapturedRun ran = platform::runCaptured("/usr/bin/env", command, 60.0);

    calls.push_back(args);
    loadedLabels.clear();
    for (const auto& entry : fs::directory_iterator(loaded))
        loadedLabels.insert(entry.path().filename().string());
    if (!ran.started) return {-1, ran.error};
    return {ran.status, ran.output};
}

std::vector<std::string> FakeLaunchctl::verbs() const {
    std::vector<std::string> out;
    for (const auto& call : calls)
        out.push_back(call.empty() ? "" : call[0]);
    return out;
}

}  // namespace tessaway::testing
