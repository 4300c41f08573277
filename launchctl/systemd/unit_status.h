#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "launchctl/service_manager.h"

namespace tessaway::launchd {

/// What the user manager says about one unit (the properties of its Unit and Service
/// interfaces that `print` needs).
struct UnitProperties {
    std::string loadState;
    std::string activeState;
    std::string subState;
    uint32_t mainPid = 0;
    /// How the last main process ended: CLD_EXITED, CLD_KILLED or CLD_DUMPED, with the exit
    /// status or signal; `exitedAt` is 0 while it has not ended.
    int32_t execMainCode = 0;
    int32_t execMainStatus = 0;
    uint64_t startedAt = 0;
    uint64_t exitedAt = 0;
    uint32_t restarts = 0;
    std::string sourcePath;
    std::string workingDirectory;
    std::string restart;
    uint64_t timeoutStopMicroseconds = 0;
    uint64_t restartMicroseconds = 0;
    /// The first command of ExecStart: the program and its arguments as stored (`$$` kept).
    std::string execPath;
    std::vector<std::string> execArguments;
    /// Environment=, "NAME=value" each.
    std::vector<std::string> environment;
    /// An id of the start or stop job that is pending, 0 without one.
    uint32_t job = 0;
    /// The files of StandardOutput=append: and StandardError=append:, which the manager does
    /// not tell; taken from the unit file.
    std::string standardOutPath;
    std::string standardErrorPath;
};

/// Whether the unit holds a loaded service: it is `marked` as loaded by a bootstrap (so that a
/// job that has ended stays loaded until bootout, as under launchd), or it is active, starting,
/// stopping or failed (started by the manager itself, at its start).
bool unitLoaded(const UnitProperties& unit, bool marked);

/// Whether its program has ended and no start or restart is due.
bool unitEnded(const UnitProperties& unit);

/// What the unit's end record says: each end of the program counted, and the last one. The
/// manager forgets an inactive unit that nothing refers to; the record outlives that.
struct EndRecord {
    long ends = 0;
    std::optional<Termination> last;
};

/// Reads "<ends> <exited|killed|dumped> <status or signal name>", or nothing (never ended).
std::optional<EndRecord> parseEndRecord(std::string_view text);

/// The service as `print` shows it; the end record, when there is one, counts its runs and
/// says how it last ended.
LoadedService loadedService(const UnitProperties& unit, const std::string& label, unsigned long uid,
                            const std::optional<EndRecord>& record);

/// The program and arguments the unit runs, `$$` undone, for comparison with a definition.
std::vector<std::string> unitCommand(const UnitProperties& unit);

}  // namespace tessaway::launchd
