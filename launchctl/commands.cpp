#include "launchctl/commands.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "launchctl/autostart.h"
#include "launchctl/definition.h"
#include "launchctl/environment.h"
#include "launchctl/locations.h"
#include "launchctl/overrides.h"
#include "launchctl/service_record.h"
#include "launchctl/service_report.h"
#include "launchctl/supervisor.h"
#include "launchctl/target.h"
#include "platform/system.h"

namespace tessaway::launchd {
namespace {

constexpr int kUsageStatus = 64;
constexpr int kNoDomainStatus = 112;
constexpr int kNoServiceStatus = 113;
constexpr int kIoErrorStatus = 5;
constexpr int kNoProcessStatus = 3;
// The runtime folder is not ours alone (see runtimeFolder), so nothing is read or written.
constexpr int kRefusedStatus = 1;
constexpr int kInvalidArgumentStatus = 22;
constexpr int kNoSpaceStatus = 28;

constexpr std::string_view kGeneralUsage =
    "Usage: launchctl <print|print-disabled|enable|disable|bootstrap|bootout|session-start> "
    "[<target>] [<service-path> ...]\n";

void out(std::string_view text) {
    platform::writeStandardOutput(text);
}
void err(std::string_view text) {
    platform::writeStandardError(text);
}

int usage(std::string_view line) {
    err(line);
    return kUsageStatus;
}

enum class Kind { domain, service, either };

/// Parses the target argument of a subcommand. On failure reports it and sets `status`.
std::optional<Target> targetArgument(std::string_view text, Kind kind, std::string_view usageLine,
                                     int& status) {
    auto target = parseTarget(text);
    if (!target || (kind == Kind::domain && target->isService()) ||
        (kind == Kind::service && !target->isService())) {
        status = usage(usageLine);
        return std::nullopt;
    }
    if (target->uid != getuid()) {
        err("Could not find domain for user gui: " + std::to_string(target->uid) + "\n");
        status = kNoDomainStatus;
        return std::nullopt;
    }
    // Such a label could never be loaded, and echoing it could forge lines of our output.
    if (target->isService() && !usableLabel(target->label)) {
        err("Bad request.\nInvalid label: 1 to 200 characters without control characters, "
            "double quotes or slashes\n");
        status = kInvalidArgumentStatus;
        return std::nullopt;
    }
    return target;
}

std::string domainName(unsigned long uid) {
    return "gui/" + std::to_string(uid);
}

int notFound(const Target& target) {
    err("Bad request.\nCould not find service \"" + target.label +
        "\" in domain for user gui: " + std::to_string(target.uid) + "\n");
    return kNoServiceStatus;
}

std::string padLeft(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

int printDomain(const Target& target, const std::string& folder) {
    std::string lines;
    int active = 0;
    for (const auto& label : recordLabels(folder)) {
        if (!usableLabel(label)) continue;
        const auto record = loadedRecord(folder, label);
        if (!record) continue;
        if (record->pid != 0) ++active;
        lines += "\t\t" + padLeft(std::to_string(record->pid), 8) + " " +
                 padLeft(record->lastStatus, 6) + "\t" + label + "\n";
    }
    const std::string domain = domainName(target.uid);
    out(domain + " = {\n\ttype = gui\n\thandle = " + std::to_string(target.uid) +
        "\n\tactive count = " + std::to_string(active) + "\n\n\tservices = {\n" + lines +
        "\t}\n}\n");
    return 0;
}

int print(const std::vector<std::string_view>& args) {
    constexpr std::string_view kUsage = "Usage: launchctl print <service-target|domain-target>\n";
    if (args.size() != 1) return usage(kUsage);
    int status = 0;
    const auto target = targetArgument(args[0], Kind::either, kUsage, status);
    if (!target) return status;
    const auto folder = runtimeFolder(false);
    if (!folder) return kRefusedStatus;
    if (!target->isService()) return printDomain(*target, *folder);
    const auto record = loadedRecord(*folder, target->label);
    if (!record) return notFound(*target);
    if (record->report.empty()) {
        out(domainName(target->uid) + "/" + target->label +
            " = {\n\tactive count = 0\n\ttype = LaunchAgent\n\tstate = not running\n}\n");
    } else {
        out(record->report);
    }
    return 0;
}

int printDisabled(const std::vector<std::string_view>& args) {
    constexpr std::string_view kUsage = "Usage: launchctl print-disabled <domain-target>\n";
    if (args.size() != 1) return usage(kUsage);
    int status = 0;
    if (!targetArgument(args[0], Kind::domain, kUsage, status)) return status;
    std::string text = "disabled services = {\n";
    for (const auto& [label, disabled] : readOverrides(overridesPath())) {
        // A file edited by hand may hold labels that would forge lines.
        if (!usableLabel(label)) continue;
        text += "\t\"" + label + "\" => " + (disabled ? "disabled" : "enabled") + "\n";
    }
    text += "}\n";
    // The overrides are not all: with the desktop's entry switched off, nothing loads at login.
    if (const auto switchedOff = sessionStartSwitchedOff()) {
        text += "login = off: the autostart entry is switched off (" + *switchedOff + ")\n";
    }
    out(text);
    return 0;
}

int setEnabled(const std::vector<std::string_view>& args, bool enable) {
    const std::string_view kUsage = enable ? "Usage: launchctl enable <service-target>\n"
                                           : "Usage: launchctl disable <service-target>\n";
    if (args.size() != 1) return usage(kUsage);
    int status = 0;
    const auto target = targetArgument(args[0], Kind::service, kUsage, status);
    if (!target) return status;
    const OverrideResult result = setOverride(overridesPath(), target->label, !enable);
    const std::string verb = enable ? "enable" : "disable";
    if (result == OverrideResult::recorded) {
        // Enabled is meant for the next login: an autostart entry that the user switched off
        // would keep it from happening. (A missing entry is made when an agent is loaded.)
        if (!enable || !sessionStartSwitchedOff()) return 0;
        if (const auto problem = switchSessionStartOn(platform::executablePath())) {
            err("launchctl: start at login could not be switched on: " + *problem + "\n");
            return kIoErrorStatus;
        }
        return 0;
    }
    if (result == OverrideResult::full) {
        err("Could not " + verb + " service: 28: No space left on device\n");
        return kNoSpaceStatus;
    }
    err("Could not " + verb + " service: 5: Input/output error\n");
    return kIoErrorStatus;
}

/// What became of one definition file.
enum class Outcome { loaded, alreadyLoaded, disabled, broken, failed };

/// Loads one definition file into the user's domain. A definition that cannot be read is
/// reported here.
Outcome loadDefinition(const std::string& path, unsigned long uid, const Overrides& overrides,
                       const std::string& folder, bool& fromAgentsFolder) {
    const DefinitionResult result = readDefinition(path);
    if (!result.definition) {
        err(path + ": " + result.reason + "\n");
        return Outcome::broken;
    }
    const ServiceDefinition& def = *result.definition;
    if (overrideFor(overrides, def.label).value_or(false)) return Outcome::disabled;
    // Launchd's own bootout returns once the job is gone; here the old instance may still be
    // ending. Wait for it rather than refuse the new definition, so that replacing a loaded
    // service (bootout, then bootstrap) loads the new one.
    // The old supervisor ends at most a little after the exit time-out; the margin is generous
    // because a busy machine can hold up its last steps, and waiting costs nothing otherwise.
    if (!awaitUnloaded(folder, def.label, static_cast<double>(def.exitTimeOut) + 30.0)) {
        const auto record = loadedRecord(folder, def.label);
        return record && !record->stopping ? Outcome::alreadyLoaded : Outcome::failed;
    }
    const Environment env =
        serviceEnvironment(def, [](const char* name) -> const char* { return std::getenv(name); });
    // The supervisor records the whole definition and environment for `print`; a record that
    // large could not be read back, and the service would show as not running.
    if (serviceReport(def, env, ServiceRuntime{}, uid).size() > kMaxReportBytes) {
        err(path + ": Definition too large: its arguments, paths and environment exceed " +
            std::to_string(kMaxReportBytes / 1024) + " KiB\n");
        return Outcome::broken;
    }
    switch (loadService(def, env, folder, uid)) {
        case LoadResult::loaded:
            break;
        case LoadResult::alreadyLoaded:
            return Outcome::alreadyLoaded;
        case LoadResult::failed:
            return Outcome::failed;
    }
    struct stat file {
    }, agents{};
    if (stat(parentFolder(def.path).c_str(), &file) == 0 &&
        stat(agentsFolder().c_str(), &agents) == 0 && file.st_dev == agents.st_dev &&
        file.st_ino == agents.st_ino) {
        fromAgentsFolder = true;
    }
    return Outcome::loaded;
}

/// After loading an agent of the user's agents folder: the desktop must load them all again
/// at the next login, as the service manager of a Mac does. A failure does not undo the load.
void registerLogin() {
    if (const auto problem = registerSessionStart(platform::executablePath())) {
        err("launchctl: start at login could not be registered: " + *problem + "\n");
    }
}

int bootstrap(const std::vector<std::string_view>& args) {
    constexpr std::string_view kUsage =
        "Usage: launchctl bootstrap <domain-target> <service-path> [<service-path> ...]\n";
    if (args.size() < 2) return usage(kUsage);
    int status = 0;
    const auto domain = targetArgument(args[0], Kind::domain, kUsage, status);
    if (!domain) return status;
    const auto folder = runtimeFolder(true);
    if (!folder) return kRefusedStatus;
    const Overrides overrides = readOverrides(overridesPath());
    bool failed = false;
    bool fromAgentsFolder = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const Outcome outcome =
            loadDefinition(std::string(args[i]), domain->uid, overrides, *folder, fromAgentsFolder);
        if (outcome != Outcome::loaded) failed = true;
    }
    if (fromAgentsFolder) registerLogin();
    if (!failed) return 0;
    err("Bootstrap failed: 5: Input/output error\n");
    return kIoErrorStatus;
}

/// The definition files of the agents folder, sorted; empty when there is no such folder.
std::optional<std::vector<std::string>> agentDefinitions() {
    const std::string folder = agentsFolder();
    std::vector<std::string> paths;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        if (errno == ENOENT) return paths;
        err(folder + ": " + std::strerror(errno) + "\n");
        return std::nullopt;
    }
    constexpr std::string_view kSuffix = ".plist";
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.size() > kSuffix.size() && name.front() != '.' &&
            name.substr(name.size() - kSuffix.size()) == kSuffix) {
            paths.push_back(folder + "/" + std::string(name));
        }
    }
    closedir(dir);
    std::sort(paths.begin(), paths.end());
    return paths;
}

/// What the service manager does for the user's domain at login: loads every agent of the
/// agents folder that is not disabled and not loaded yet. A definition that cannot be read is
/// reported and the others still load.
int sessionStart(const std::vector<std::string_view>& args) {
    if (!args.empty()) return usage("Usage: launchctl session-start\n");
    const auto folder = runtimeFolder(true);
    if (!folder) return kRefusedStatus;
    const auto paths = agentDefinitions();
    if (!paths) return kIoErrorStatus;
    const Overrides overrides = readOverrides(overridesPath());
    bool failed = false;
    bool fromAgentsFolder = false;
    for (const auto& path : *paths) {
        const Outcome outcome =
            loadDefinition(path, getuid(), overrides, *folder, fromAgentsFolder);
        if (outcome == Outcome::failed) {
            err(path + ": could not be loaded\n");
            failed = true;
        }
    }
    if (fromAgentsFolder) registerLogin();
    return failed ? kIoErrorStatus : 0;
}

int bootout(const std::vector<std::string_view>& args) {
    constexpr std::string_view kUsage = "Usage: launchctl bootout <domain-target|service-target>\n";
    if (args.size() != 1) return usage(kUsage);
    int status = 0;
    const auto target = targetArgument(args[0], Kind::either, kUsage, status);
    if (!target) return status;
    const auto folder = runtimeFolder(false);
    if (!folder) return kRefusedStatus;
    if (target->isService()) {
        if (!requestStop(*folder, target->label)) {
            err("Boot-out failed: 3: No such process\n");
            return kNoProcessStatus;
        }
        awaitStopping(*folder, {target->label});
        return 0;
    }
    std::vector<std::string> stopping;
    for (const auto& label : recordLabels(*folder)) {
        if (requestStop(*folder, label)) stopping.push_back(label);
    }
    awaitStopping(*folder, stopping);
    return 0;
}

}  // namespace

int launchctlMain(int argc, char** argv) {
    if (argc < 2) return usage(kGeneralUsage);
    const std::string_view command = argv[1];
    const std::vector<std::string_view> args(argv + 2, argv + argc);
    if (command == "print") return print(args);
    if (command == "print-disabled") return printDisabled(args);
    if (command == "enable") return setEnabled(args, true);
    if (command == "disable") return setEnabled(args, false);
    if (command == "bootstrap") return bootstrap(args);
    if (command == "bootout") return bootout(args);
    if (command == "session-start") return sessionStart(args);
    return usage(kGeneralUsage);
}

}  // namespace tessaway::launchd
