#include "app/ctl.h"

#include <unistd.h>

#include <algorithm>
#include <optional>

#include "core/probe/server_probe.h"
#include "core/probe/snapshot.h"
#include "core/service/agent_control.h"
#include "core/service/port_config.h"
#include "platform/bundle.h"
#include "platform/control_lock.h"
#include "platform/running_apps.h"
#include "platform/system.h"

namespace tessaway {
namespace {

// The report's rows are a few dozen characters wide; a longer server name is cut.
constexpr size_t kReportNameCharacters = 200;

std::string rule(const char* corner) {
    std::string line(corner);
    for (int i = 0; i < 46; ++i)
        line += "\u2500";
    return line + "\n";
}

std::string row(const std::string& text) {
    return "\u2502 " + text + "\n";
}

std::string ownBundleIdentifier() {
    return platform::mainBundle().identifier.value_or("");
}

/// Process ids of the other running menu-bar instances of this bundle.
std::vector<pid_t> otherInstances() {
    auto pids = platform::runningApplications(ownBundleIdentifier());
    const pid_t self = getpid();
    pids.erase(std::remove(pids.begin(), pids.end(), self), pids.end());
    return pids;
}

Snapshot probeSnapshot(bool loaded) {
    Snapshot snap;
    if (!loaded) {
        snap.state = ServerState::paused;
        return snap;
    }
    if (!pingServer()) {
        snap.state = ServerState::starting;
        return snap;
    }
    snap.state = ServerState::running;
    snap.setFacts(askSetupStatus());
    return snap;
}

void printStatusReport() {
    const bool loaded = serverLoaded();
    const MenuText text = menuText(probeSnapshot(loaded), kReportNameCharacters);
    const bool shown = !otherInstances().empty();
    const int64_t port = serverPort();
    const std::string disabled = loaded ? "" : "   (disabled)";

    std::string head = "menu-bar item: " + std::string(shown ? "shown" : "not running") +
                       "   port: " + std::to_string(port) + "\n";
    head += rule("\u250C");
    head += row(text.status);
    if (!text.detail.empty()) head += row(text.detail);
    head += rule("\u251C");
    head += row(kOpenSetupRow + disabled);
    head += row(kAddFolderRow + disabled);
    head += rule("\u251C");
    head += row(text.pause);
    platform::writeStandardOutput(head);

    std::string tail = row(std::string(startAtLogin() ? "\u2713 " : "  ") + kStartAtLoginRow);
    tail += rule("\u251C");
    tail += row(std::string(kQuitRow) + "        \u2318Q");
    tail += rule("\u2514");
    platform::writeStandardOutput(tail);
}

}  // namespace

int32_t runCtl(const std::string& word) {
    if (word == "status") {
        printStatusReport();
        return 0;
    }
    // A command and the read-back of its outcome form one step: no other command can change
    // the state in between and make the answer untrue.
    std::optional<platform::ControlLock> lock;
    if (word == "pause" || word == "resume" || word == "login-on" || word == "login-off" ||
        word == "quit") {
        lock.emplace();
        // Given up (and said why): whatever is read back now might be another command's doing.
        if (!lock->held()) return 1;
    }
    if (word == "pause") {
        stopServer();
        return serverLoaded() ? 1 : 0;
    }
    if (word == "resume") {
        // A start that left start at login on, which was off, has said so: it did not take
        // effect as asked.
        const StartResult started = startServer();
        return started.loaded && started.notRestored.empty() ? 0 : 1;
    }
    if (word == "login-on" || word == "login-off") {
        const bool on = word == "login-on";
        const std::string problems = setStartAtLogin(on);
        const LoginSetting after = loginSetting();
        if (after.on() == on) return 0;
        const std::string why = !problems.empty() ? problems
                                : !after.blocked.empty()
                                    ? after.blocked + "\n"
                                    : std::string("the setting did not change\n");
        platform::writeStandardError(std::string("start at login could not be switched ") +
                                     (on ? "on: " : "off: ") + why);
        return 1;
    }
    if (word == "quit") {
        stopServer();
        const std::string identifier = ownBundleIdentifier();
        for (pid_t pid : otherInstances())
            platform::terminateApplication(identifier, pid);
        return 0;
    }
    platform::writeStandardError("usage: --ctl status|pause|resume|login-on|login-off|quit\n");
    return 2;
}

}  // namespace tessaway
