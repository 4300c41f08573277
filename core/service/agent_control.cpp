#include "core/service/agent_control.h"

#include <filesystem>
#include <string_view>

#include "core/identity.h"
#include "platform/clock.h"
#include "platform/control_lock.h"

namespace tessaway {
namespace {

constexpr double kStopDeadlineSeconds = 25.0;
constexpr double kStopPollSeconds = 0.25;

}  // namespace

bool loaded(const std::string& label) {
    return launchctl({"print", serviceTarget(label)}).status == 0;
}

bool serverLoaded() {
    return loaded(serverLabel);
}

bool startAtLogin() {
    const std::string output = launchctl({"print-disabled", domain}).output;
    const std::string needle = "\"" + serverLabel + "\"";
    std::string_view rest(output);
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.find(needle) == std::string_view::npos) continue;
        return line.find("=> disabled") == std::string_view::npos &&
               line.find("=> true") == std::string_view::npos;
    }
    return true;
}

void setStartAtLogin(bool on) {
    const platform::ControlLock lock;
    if (!lock.held()) return;
    const char* verb = on ? "enable" : "disable";
    launchctl({verb, serviceTarget(serverLabel)});
    launchctl({verb, serviceTarget(trayLabel)});
}

LaunchctlResult bootstrapAgent(const std::string& label, const std::string& plist, bool atLogin) {
    if (!atLogin) launchctl({"enable", serviceTarget(label)});
    LaunchctlResult result = launchctl({"bootstrap", domain, plist});
    if (!atLogin) launchctl({"disable", serviceTarget(label)});
    return result;
}

bool startServer() {
    // From the first look to the restored override, no other command may change the state.
    const platform::ControlLock lock;
    if (!lock.held()) return false;
    if (serverLoaded()) return true;
    std::error_code ec;
    if (!std::filesystem::exists(serverPlist, ec)) return false;
    const int32_t status = bootstrapAgent(serverLabel, serverPlist.string(), startAtLogin()).status;
    return status == 0 || serverLoaded();
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
