#include "commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "definition.h"
#include "environment.h"
#include "locations.h"
#include "overrides.h"
#include "platform/system.h"
#include "service_record.h"
#include "supervisor.h"
#include "target.h"

namespace tessaway::launchd {
namespace {

constexpr int kUsageStatus = 64;
constexpr int kNoDomainStatus = 112;
constexpr int kNoServiceStatus = 113;
constexpr int kIoErrorStatus = 5;
constexpr int kNoProcessStatus = 3;
constexpr int kInvalidArgumentStatus = 22;
constexpr int kNoSpaceStatus = 28;

constexpr std::string_view kGeneralUsage =
    "Usage: launchctl <print|print-disabled|enable|disable|bootstrap|bootout> <target> "
    "[<service-path> ...]\n";

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

int printDomain(const Target& target) {
    const std::string folder = runtimeFolder();
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
    if (!target->isService()) return printDomain(*target);
    const auto record = loadedRecord(runtimeFolder(), target->label);
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
    if (result == OverrideResult::recorded) return 0;
    const std::string verb = enable ? "enable" : "disable";
    if (result == OverrideResult::full) {
        err("Could not " + verb + " service: 28: No space left on device\n");
        return kNoSpaceStatus;
    }
    err("Could not " + verb + " service: 5: Input/output error\n");
    return kIoErrorStatus;
}

/// Loads one definition file; false when it is not loaded by this call.
bool bootstrapOne(const std::string& path, const Target& domain, const Overrides& overrides,
                  const std::optional<std::string>& folder) {
    const DefinitionResult result = readDefinition(path);
    if (!result.definition) {
        err(path + ": " + result.reason + "\n");
        return false;
    }
    const ServiceDefinition& def = *result.definition;
    if (overrideFor(overrides, def.label).value_or(false)) return false;
    if (!folder) return false;
    // Launchd's own bootout returns once the job is gone; here the old instance may still be
    // ending. Wait for it rather than refuse the new definition, so that replacing a loaded
    // service (bootout, then bootstrap) loads the new one.
    if (!awaitUnloaded(*folder, def.label, static_cast<double>(def.exitTimeOut) + 5.0)) {
        return false;
    }
    const Environment env =
        serviceEnvironment(def, [](const char* name) -> const char* { return std::getenv(name); });
    return loadService(def, env, *folder, domain.uid) == LoadResult::loaded;
}

int bootstrap(const std::vector<std::string_view>& args) {
    constexpr std::string_view kUsage =
        "Usage: launchctl bootstrap <domain-target> <service-path> [<service-path> ...]\n";
    if (args.size() < 2) return usage(kUsage);
    int status = 0;
    const auto domain = targetArgument(args[0], Kind::domain, kUsage, status);
    if (!domain) return status;
    const Overrides overrides = readOverrides(overridesPath());
    const auto folder = preparedRuntimeFolder();
    bool failed = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (!bootstrapOne(std::string(args[i]), *domain, overrides, folder)) failed = true;
    }
    if (!failed) return 0;
    err("Bootstrap failed: 5: Input/output error\n");
    return kIoErrorStatus;
}

int bootout(const std::vector<std::string_view>& args) {
    constexpr std::string_view kUsage = "Usage: launchctl bootout <domain-target|service-target>\n";
    if (args.size() != 1) return usage(kUsage);
    int status = 0;
    const auto target = targetArgument(args[0], Kind::either, kUsage, status);
    if (!target) return status;
    const std::string folder = runtimeFolder();
    if (target->isService()) {
        if (!requestStop(folder, target->label)) {
            err("Boot-out failed: 3: No such process\n");
            return kNoProcessStatus;
        }
        awaitStopping(folder, {target->label});
        return 0;
    }
    std::vector<std::string> stopping;
    for (const auto& label : recordLabels(folder)) {
        if (requestStop(folder, label)) stopping.push_back(label);
    }
    awaitStopping(folder, stopping);
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
    return usage(kGeneralUsage);
}

}  // namespace tessaway::launchd
