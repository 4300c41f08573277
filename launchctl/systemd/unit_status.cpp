#include "launchctl/systemd/unit_status.h"

#include <signal.h>
#include <string.h>

#include <algorithm>
#include <limits>
#include <map>

#include "launchctl/service_report.h"
#include "launchctl/systemd/unit_file.h"

namespace tessaway::launchd {
namespace {

// The statuses systemd gives a program it could not start (no such file, a missing working
// folder, ...); print shows kCannotStart for them, as the supervisors do.
constexpr int32_t kFirstSetupStatus = 200;
constexpr int32_t kLastSetupStatus = 243;
constexpr uint64_t kMicroseconds = 1'000'000;

int64_t seconds(uint64_t microseconds) {
    if (microseconds == std::numeric_limits<uint64_t>::max()) return 0;
    return static_cast<int64_t>((microseconds + kMicroseconds / 2) / kMicroseconds);
}

}  // namespace

bool unitLoaded(const UnitProperties& unit, bool marked) {
    if (unit.activeState.empty()) return false;
    if (unit.activeState != "inactive") return true;
    return marked && unit.loadState == "loaded";
}

bool unitEnded(const UnitProperties& unit) {
    return unit.job == 0 && (unit.activeState == "failed" || unit.activeState == "inactive");
}

std::vector<std::string> unitCommand(const UnitProperties& unit) {
    std::vector<std::string> command{unit.execPath};
    for (const auto& argument : unit.execArguments)
        command.push_back(execArgumentValue(argument));
    return command;
}

std::optional<EndRecord> parseEndRecord(std::string_view text) {
    EndRecord record;
    std::string fields[3];
    size_t count = 0;
    for (size_t i = 0; i < text.size() && text[i] != '\n'; ++i) {
        if (text[i] == ' ') {
            if (++count == 3) return std::nullopt;
        } else {
            fields[count] += text[i];
        }
    }
    if (fields[0].empty() && count == 0) return record;  // loaded, never ended
    if (count != 2 || fields[0].size() > 9 || fields[2].empty() ||
        fields[0].find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    record.ends = std::stol(fields[0]);
    const std::string& status = fields[2];
    if (fields[1] == "exited") {
        if (status.size() > 3 || status.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        record.last = Termination{false, std::stoi(status)};
    } else if (fields[1] == "killed" || fields[1] == "dumped") {
        for (int signal = 1; signal < NSIG; ++signal) {
            const char* name = sigabbrev_np(signal);
            if (name != nullptr && status == name) record.last = Termination{true, signal};
        }
        if (!record.last) return std::nullopt;
    } else {
        return std::nullopt;
    }
    return record;
}

LoadedService loadedService(const UnitProperties& unit, const std::string& label, unsigned long uid,
                            const std::optional<EndRecord>& record) {
    ServiceDefinition def;
    def.path = unit.sourcePath;
    def.label = label;
    def.program = unit.execPath;
    for (const auto& argument : unit.execArguments)
        def.arguments.push_back(execArgumentValue(argument));
    // A unit whose file is gone has no command to show; a report always has one.
    if (def.arguments.empty()) def.arguments.push_back(def.program);
    if (unit.workingDirectory != "/") def.workingDirectory = unit.workingDirectory;
    def.standardOutPath = unit.standardOutPath;
    def.standardErrorPath = unit.standardErrorPath;
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
            runtime.lastEnd = Termination{false, unit.execMainStatus};
        } else if (unit.execMainCode == CLD_KILLED || unit.execMainCode == CLD_DUMPED) {
            runtime.lastEnd = Termination{true, unit.execMainStatus};
        }
    }
    // The record misses no end the manager has forgotten; the manager knows of a program that
    // could not even be set up (its record keeper cannot start then either).
    if (record) {
        runtime.runs = std::max(runtime.runs, record->ends + (unit.mainPid != 0 ? 1 : 0));
        if (record->last) runtime.lastEnd = record->last;
    }
    if (runtime.lastEnd && !runtime.lastEnd->signaled &&
        runtime.lastEnd->code >= kFirstSetupStatus && runtime.lastEnd->code <= kLastSetupStatus) {
        runtime.lastEnd->code = kCannotStart;
    }
    return {runtime.pid, runtime.stopping, listStatus(runtime),
            serviceReport(def, env, runtime, uid)};
}

}  // namespace tessaway::launchd
