#include "launchctl/systemd/unit_status.h"

#include <signal.h>

#include <algorithm>
#include <limits>
#include <map>

#include "launchctl/service_report.h"
#include "launchctl/systemd/unit_file.h"

namespace tessaway::launchd {
namespace {

// The statuses systemd gives a program it could not start (no such file, a missing working
// folder, ...), and the status the supervisors give it.
constexpr int32_t kFirstSetupStatus = 200;
constexpr int32_t kLastSetupStatus = 243;
constexpr int32_t kCannotStart = 78;
constexpr double kMicroseconds = 1e6;

int64_t seconds(uint64_t microseconds) {
    if (microseconds == std::numeric_limits<uint64_t>::max()) return 0;
    return static_cast<int64_t>(static_cast<double>(microseconds) / kMicroseconds + 0.5);
}

}  // namespace

bool unitLoaded(const UnitProperties& unit, bool marked) {
    if (unit.activeState.empty()) return false;
    if (unit.activeState != "inactive") return true;
    return marked && unit.loadState == "loaded";
}

bool unitEnded(const UnitProperties& unit) {
    return unit.job == 0 && (unit.activeState == "failed" ||
                             (unit.activeState == "active" && unit.subState == "exited"));
}

std::vector<std::string> unitCommand(const UnitProperties& unit) {
    std::vector<std::string> command{unit.execPath};
    for (const auto& argument : unit.execArguments)
        command.push_back(execArgumentValue(argument));
    return command;
}

LoadedService loadedService(const UnitProperties& unit, const std::string& label,
                            unsigned long uid) {
    ServiceDefinition def;
    def.path = unit.sourcePath;
    def.label = label;
    def.program = unit.execPath;
    for (const auto& argument : unit.execArguments)
        def.arguments.push_back(execArgumentValue(argument));
    // A unit whose file is gone has no command to show; a report always has one.
    if (def.arguments.empty()) def.arguments.push_back(def.program);
    if (unit.workingDirectory != "/") def.workingDirectory = unit.workingDirectory;
    def.throttleInterval = seconds(unit.restartMicroseconds);
    def.exitTimeOut = seconds(unit.timeoutStopMicroseconds);
    def.keepAlive.always = !unit.restart.empty() && unit.restart != "no";

    std::map<std::string, std::string> variables;
    for (const auto& entry : unit.environment) {
        const auto equals = entry.find('=');
        if (equals != std::string::npos)
            variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    const Environment env(variables.begin(), variables.end());

    ServiceRuntime runtime;
    runtime.pid = static_cast<pid_t>(unit.mainPid);
    runtime.stopping = unit.activeState == "deactivating";
    runtime.runs = unit.startedAt != 0 ? static_cast<long>(unit.restarts) + 1 : 0;
    if (unit.exitedAt != 0) {
        if (unit.execMainCode == CLD_EXITED) {
            const bool setup =
                unit.execMainStatus >= kFirstSetupStatus && unit.execMainStatus <= kLastSetupStatus;
            runtime.lastEnd = Termination{false, setup ? kCannotStart : unit.execMainStatus};
        } else if (unit.execMainCode == CLD_KILLED || unit.execMainCode == CLD_DUMPED) {
            runtime.lastEnd = Termination{true, unit.execMainStatus};
        }
    }
    return {runtime.pid, runtime.stopping, listStatus(runtime),
            serviceReport(def, env, runtime, uid)};
}

}  // namespace tessaway::launchd
