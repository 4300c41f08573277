#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaway::launchd {

/// When a service is started again after its program ended.
struct KeepAlive {
    /// `KeepAlive` true: after every end.
    bool always = false;
    /// `SuccessfulExit`: true restarts after an exit with status 0, false after any other end.
    std::optional<bool> successfulExit;
    /// `Crashed`: true restarts after a crash signal, false after any other end.
    std::optional<bool> crashed;
    /// A dictionary was given, whatever its conditions.
    bool conditional = false;

    bool present() const { return always || conditional; }
};

/// How a service's program ended.
struct Termination {
    bool signaled = false;
    /// The exit status, or the signal number when `signaled`.
    int code = 0;
};

/// True when the signal is one that a crashing program dies of.
bool crashSignal(int signal);

/// Whether a program that ended as `end` is started again under `keepAlive`.
bool shouldRestart(const KeepAlive& keepAlive, const Termination& end);

/// A service definition as the service manager uses it.
struct ServiceDefinition {
    /// Absolute path of the file it was read from.
    std::string path;
    std::string label;
    /// `Program`, or empty when the program is the first of `arguments`.
    std::string program;
    /// `ProgramArguments`, or just `Program` when there are none.
    std::vector<std::string> arguments;
    /// `EnvironmentVariables`, string values only, in file order.
    std::vector<std::pair<std::string, std::string>> environmentVariables;
    std::string workingDirectory;
    std::string standardOutPath;
    std::string standardErrorPath;
    bool runAtLoad = false;
    KeepAlive keepAlive;
    /// Seconds between two starts at the least.
    int64_t throttleInterval = 10;
    /// Seconds between SIGTERM and SIGKILL when stopping; 0 never sends SIGKILL. Launchd's
    /// default, which the controller's own wait for a stop allows for.
    int64_t exitTimeOut = 20;
    /// `ProcessType`: "Background" asks for a lower share of the processor and the disks.
    std::string processType;

    /// The file that is executed: `program`, or the first argument (searched on PATH).
    const std::string& executable() const { return program.empty() ? arguments.front() : program; }
    bool startsAtLoad() const { return runAtLoad || keepAlive.present(); }
};

/// A definition, or the reason it cannot be loaded.
struct DefinitionResult {
    std::optional<ServiceDefinition> definition;
    std::string reason;
};

/// Builds a definition from the bytes of an XML or binary property list; `path` is recorded.
DefinitionResult parseDefinition(std::string_view data, const std::string& path);

/// Reads and parses the definition file at `path` (made absolute against the current folder).
/// A file that is not owned by this user, or that its group or others may write, is refused.
DefinitionResult readDefinition(const std::string& path);

/// True when `label` can name a service: 1 to 200 bytes, no slash (it becomes part of a file
/// name), no control character and no double quote (it is quoted in reports).
bool usableLabel(std::string_view label);

/// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool validUtf8(std::string_view text);

/// How many bytes of a C0 or C1 control character (or DEL) start at `i`; 0 for none.
size_t controlLength(std::string_view text, size_t i);

}  // namespace tessaway::launchd
