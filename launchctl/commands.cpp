#include "launchctl/commands.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "launchctl/autostart.h"
#include "launchctl/definition.h"
#include "launchctl/engines.h"
#include "launchctl/locations.h"
#include "launchctl/overrides.h"
#include "launchctl/service_report.h"
#include "launchctl/systemd/unit_folder.h"
#include "launchctl/target.h"
#include "platform/clock.h"
#include "platform/lock_file.h"
#include "platform/system.h"
#include "platform/unique_fd.h"

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
// Longer than any load waits for a service of its label to end.
constexpr double kLoadLockSeconds = 90.0;

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

int notFound(const Target& target) {
    err("Bad request.\nCould not find service \"" + target.label +
        "\" in domain for user gui: " + std::to_string(target.uid) + "\n");
    return kNoServiceStatus;
}

std::string padLeft(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

/// The service of `label` under whichever engine has it loaded.
std::optional<LoadedService> findLoaded(const Engines& engines, const std::string& label) {
    if (auto service = engines.primary->find(label)) return service;
    if (engines.other) return engines.other->find(label);
    return std::nullopt;
}

/// The runtime folder and the engines, or the status to end with.
struct Context {
    std::string folder;
    Engines engines;
};

std::optional<Context> context(bool create, int& status) {
    auto folder = runtimeFolder(create);
    if (!folder) {
        status = kRefusedStatus;
        return std::nullopt;
    }
    auto engines = chooseEngines(*folder, getuid());
    if (!engines) {
        status = kRefusedStatus;
        return std::nullopt;
    }
    return Context{std::move(*folder), std::move(*engines)};
}

int printDomain(const Target& target, const Engines& engines) {
    std::vector<std::string> labels = engines.primary->labels();
    if (engines.other) {
        const auto more = engines.other->labels();
        labels.insert(labels.end(), more.begin(), more.end());
        std::sort(labels.begin(), labels.end());
        labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    }
    std::string lines;
    int active = 0;
    for (const auto& label : labels) {
        if (!usableLabel(label)) continue;
        const auto service = findLoaded(engines, label);
        if (!service) continue;
        if (service->pid != 0) ++active;
        lines += "\t\t" + padLeft(std::to_string(service->pid), 8) + " " +
                 padLeft(service->lastStatus, 6) + "\t" + label + "\n";
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
    const auto ctx = context(false, status);
    if (!ctx) return status;
    if (!target->isService()) return printDomain(*target, ctx->engines);
    const auto service = findLoaded(ctx->engines, target->label);
    if (!service) return notFound(*target);
    if (service->report.empty()) {
        out(domainName(target->uid) + "/" + target->label +
            " = {\n\tactive count = 0\n\ttype = LaunchAgent\n\tstate = not running\n}\n");
    } else {
        out(service->report);
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
    // The overrides are not all: under the supervisors, the desktop's autostart entry is what
    // loads the agents at login, so with it switched off nothing does. The user manager starts
    // its enabled units by itself.
    if (const auto switchedOff = sessionStartSwitchedOff(); switchedOff && !userManagerChosen()) {
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
    if (result == OverrideResult::full) {
        err("Could not " + verb + " service: 28: No space left on device\n");
        return kNoSpaceStatus;
    }
    if (result != OverrideResult::recorded) {
        err("Could not " + verb + " service: 5: Input/output error\n");
        return kIoErrorStatus;
    }
    // The user manager starts the units it is told to at its own start, without asking us.
    if (const auto problem = mirrorLoginStart(target->label, enable); !problem.empty()) {
        err("launchctl: start at login could not be changed: " + problem + "\n");
    }
    // Enabled is meant for the next login: an autostart entry that the user switched off
    // would keep it from happening. (A missing entry is made when an agent is loaded.)
    if (!enable || !sessionStartSwitchedOff() || userManagerChosen()) return 0;
    if (const auto problem = switchSessionStartOn(platform::executablePath())) {
        err("launchctl: start at login could not be switched on: " + *problem + "\n");
        return kIoErrorStatus;
    }
    return 0;
}

/// What became of one definition file.
enum class Outcome { loaded, alreadyLoaded, disabled, broken, failed };

/// Loads one definition file into the user's domain. A definition that cannot be read is
/// reported here. With `revive`, an agent that is loaded but has ended is started again, as
/// at a login.
Outcome loadDefinition(const std::string& path, const Overrides& overrides, const Engines& engines,
                       bool revive, bool& fromAgentsFolder) {
    const DefinitionResult result = readDefinition(path);
    if (!result.definition) {
        err(path + ": " + result.reason + "\n");
        return Outcome::broken;
    }
    const ServiceDefinition& def = *result.definition;
    if (overrideFor(overrides, def.label).value_or(false)) return Outcome::disabled;
    // Loaded under the other engine is loaded: the label must not run twice.
    if (engines.other) {
        if (const auto elsewhere = engines.other->find(def.label)) {
            if (!elsewhere->stopping) return Outcome::alreadyLoaded;
            if (!engines.other->awaitUnloaded(def.label, unloadWaitSeconds(def)))
                return Outcome::failed;
        }
    }
    // `print` shows the whole definition and environment; a report that large could not be
    // recorded and read back, and the service would show as not running.
    const Environment env = serviceEnvironment(def, processVariable);
    if (serviceReport(def, env, ServiceRuntime{}, getuid()).size() > kMaxReportBytes) {
        err(path + ": Definition too large: its arguments, paths and environment exceed " +
            std::to_string(kMaxReportBytes / 1024) + " KiB\n");
        return Outcome::broken;
    }
    switch (engines.primary->load(def)) {
        case LoadResult::loaded:
            break;
        case LoadResult::alreadyLoaded:
            if (revive) engines.primary->startAgain(def);
            return Outcome::alreadyLoaded;
        case LoadResult::failed:
            return Outcome::failed;
    }
    // Whichever engine runs the label starts it at login: a unit left from an earlier load must
    // not have the user manager start a second copy beside the supervisors' at its next start.
    if (!engines.userManager) mirrorLoginStart(def.label, false);
    if (inAgentsFolder(def.path)) fromAgentsFolder = true;
    return Outcome::loaded;
}

/// After loading an agent of the user's agents folder: the desktop must load them all again
/// at the next login, as the service manager of a Mac does. A failure does not undo the load.
void registerLogin() {
    if (const auto problem = registerSessionStart(platform::executablePath())) {
        err("launchctl: start at login could not be registered: " + *problem + "\n");
    }
}

/// Held while definitions load, so that two loads of one label, under either engine, never
/// both start it. Bounded: a holder that seems stuck is not waited for, and then nothing loads.
class LoadLock {
public:
    explicit LoadLock(const std::string& folder) {
        const std::string path = folder + "/.load";
        platform::LockFile file = platform::openLockFile(path, platform::LockOpen::create);
        if (!file.fd) {
            platform::sayLockFileUnusable("launchctl", path, file.problem);
            return;
        }
        if (!platform::lockWithin(file.fd.get(), kLoadLockSeconds)) {
            err("launchctl: gave up waiting for another launchctl loading services\n");
            return;
        }
        fd_ = std::move(file.fd);
    }
    bool held() const { return static_cast<bool>(fd_); }

private:
    platform::UniqueFd fd_;
};

int bootstrap(const std::vector<std::string_view>& args) {
    constexpr std::string_view kUsage =
        "Usage: launchctl bootstrap <domain-target> <service-path> [<service-path> ...]\n";
    if (args.size() < 2) return usage(kUsage);
    int status = 0;
    const auto domain = targetArgument(args[0], Kind::domain, kUsage, status);
    if (!domain) return status;
    const auto ctx = context(true, status);
    if (!ctx) return status;
    const Overrides overrides = readOverrides(overridesPath());
    const LoadLock lock(ctx->folder);
    if (!lock.held()) {
        err("Bootstrap failed: 5: Input/output error\n");
        return kIoErrorStatus;
    }
    ctx->engines.primary->importSession();
    bool failed = false;
    bool fromAgentsFolder = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const Outcome outcome =
            loadDefinition(std::string(args[i]), overrides, ctx->engines, false, fromAgentsFolder);
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
/// agents folder that is not disabled and not loaded yet, and starts again those that are
/// loaded but have ended. A definition that cannot be read is reported and the others still
/// load.
int sessionStart(const std::vector<std::string_view>& args) {
    if (!args.empty()) return usage("Usage: launchctl session-start\n");
    int status = 0;
    const auto ctx = context(true, status);
    if (!ctx) return status;
    const auto paths = agentDefinitions();
    if (!paths) return kIoErrorStatus;
    const Overrides overrides = readOverrides(overridesPath());
    const LoadLock lock(ctx->folder);
    if (!lock.held()) return kIoErrorStatus;
    ctx->engines.primary->importSession();
    bool failed = false;
    bool fromAgentsFolder = false;
    for (const auto& path : *paths) {
        if (loadDefinition(path, overrides, ctx->engines, true, fromAgentsFolder) ==
            Outcome::failed) {
            err(path + ": could not be loaded\n");
            failed = true;
        }
    }
    if (fromAgentsFolder) registerLogin();
    return failed ? kIoErrorStatus : 0;
}

/// Stops `labels` under `engine` (all it has loaded when empty); whether it had any of them.
bool stopUnder(ServiceManager& engine, std::vector<std::string> labels) {
    if (labels.empty()) labels = engine.labels();
    std::vector<std::string> stopping;
    for (const auto& label : labels) {
        if (engine.stop(label)) stopping.push_back(label);
    }
    engine.settle(stopping);
    return !stopping.empty();
}

int bootout(const std::vector<std::string_view>& args) {
    constexpr std::string_view kUsage = "Usage: launchctl bootout <domain-target|service-target>\n";
    if (args.size() != 1) return usage(kUsage);
    int status = 0;
    const auto target = targetArgument(args[0], Kind::either, kUsage, status);
    if (!target) return status;
    const auto ctx = context(false, status);
    if (!ctx) return status;
    std::vector<std::string> labels;
    if (target->isService()) labels.push_back(target->label);
    // Out of both engines: whichever has it loaded.
    bool stopped = stopUnder(*ctx->engines.primary, labels);
    if (ctx->engines.other) stopped = stopUnder(*ctx->engines.other, labels) || stopped;
    if (target->isService() && !stopped) {
        err("Boot-out failed: 3: No such process\n");
        return kNoProcessStatus;
    }
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
