#include "core/service/agent_control.h"

#include <filesystem>
#include <string_view>

#include "core/identity.h"
#include "platform/clock.h"
#include "platform/control_lock.h"
#include "platform/process_signal.h"
#include "platform/system.h"

namespace tessaway {
namespace {

constexpr double kStopDeadlineSeconds = 25.0;
constexpr double kStopPollSeconds = 0.25;
// A line of "print-disabled" of the bundle's service manager: even enabled agents will not load
// at the next login, for the reason that follows.
constexpr std::string_view kLoginBlocked = "login = off: ";

/// Whether `label` has no disabled override in the output of "print-disabled": the first line
/// that names it in double quotes decides.
bool overrideEnabled(std::string_view output, const std::string& label) {
    const std::string needle = "\"" + label + "\"";
    while (!output.empty()) {
        const auto end = output.find('\n');
        const std::string_view line = output.substr(0, end);
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
        if (line.starts_with(kLoginBlocked) || line.find(needle) == std::string_view::npos) {
            continue;
        }
        return line.find("=> disabled") == std::string_view::npos &&
               line.find("=> true") == std::string_view::npos;
    }
    return true;
}

/// The reason on the line that says nothing loads at the next login; empty without one.
std::string loginBlocked(std::string_view output) {
    for (size_t at = output.find(kLoginBlocked); at != std::string_view::npos;
         at = output.find(kLoginBlocked, at + 1)) {
        if (at != 0 && output[at - 1] != '\n') continue;
        const std::string_view rest = output.substr(at + kLoginBlocked.size());
        const std::string reason(rest.substr(0, rest.find('\n')));
        return reason.empty() ? "off" : reason;
    }
    return {};
}

}  // namespace

bool loaded(const std::string& label) {
    return launchctl({"print", serviceTarget(label)}).status == 0;
}

bool serverLoaded() {
    return loaded(serverLabel);
}

LoginSetting parseLoginSetting(std::string_view output) {
    return {overrideEnabled(output, serverLabel), loginBlocked(output)};
}

LoginSetting loginSetting() {
    return parseLoginSetting(launchctl({"print-disabled", domain}).output);
}

bool startAtLogin() {
    return loginSetting().on();
}

std::string setStartAtLogin(bool on) {
    const platform::ControlLock lock;
    // Without the lock nothing changes; the lock has said why on standard error.
    if (!lock.held()) return {};
    const char* verb = on ? "enable" : "disable";
    std::string problems;
    for (const std::string& label : {serverLabel, trayLabel}) {
        const LaunchctlResult result = launchctl({verb, serviceTarget(label)});
        if (result.status != 0) problems += result.output;
    }
    return problems;
}

BootstrapResult bootstrapAgent(const std::string& label, const std::string& plist, bool enabled) {
    BootstrapResult result;
    if (enabled) {
        result.bootstrap = launchctl({"bootstrap", domain, plist});
        return result;
    }
    // Between the lift and the restore, a stop request waits: cut off there, the override
    // would stay lifted and the agent start at every login.
    const platform::DeferredTermination deferred;
    launchctl({"enable", serviceTarget(label)});
    result.bootstrap = launchctl({"bootstrap", domain, plist});
    const LaunchctlResult restore = launchctl({"disable", serviceTarget(label)});
    // A failed restore is looked into: the override may still be in force all the same.
    if (restore.status != 0 &&
        overrideEnabled(launchctl({"print-disabled", domain}).output, label)) {
        result.notRestored =
            restore.output.empty() ? "status " + std::to_string(restore.status) : restore.output;
        platform::writeStandardError("start at login could not be switched off again for " + label +
                                     ": " + result.notRestored +
                                     (result.notRestored.back() == '\n' ? "" : "\n"));
    }
    return result;
}

StartResult startServer() {
    // From the first look to the restored override, no other command may change the state.
    const platform::ControlLock lock;
    StartResult result;
    if (!lock.held()) return result;
    if (serverLoaded()) {
        result.loaded = true;
        return result;
    }
    std::error_code ec;
    if (!std::filesystem::exists(serverPlist, ec)) return result;
    const BootstrapResult bootstrap =
        bootstrapAgent(serverLabel, serverPlist.string(), loginSetting().enabled);
    result.notRestored = bootstrap.notRestored;
    result.loaded = bootstrap.bootstrap.status == 0 || serverLoaded();
    return result;
}

void stopServer() {
    const platform::ControlLock lock;
    if (!lock.held() || !serverLoaded()) return;
    launchctl({"bootout", serviceTarget(serverLabel)});
    const double deadline = platform::now() + kStopDeadlineSeconds;
    for (;;) {
        if (!serverLoaded()) return;
        if (platform::now() >= deadline) return;
        platform::sleepFor(kStopPollSeconds);
    }
}

}  // namespace tessaway
