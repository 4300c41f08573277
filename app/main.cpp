#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/ctl.h"
#include "app/menubar_module.h"
#include "core/identity.h"
#include "core/probe/server_probe.h"
#include "core/service/agent_control.h"
#include "core/service/agent_install.h"
#include "core/service/port_config.h"
#include "platform/browser.h"
#include "platform/bundle.h"
#include "platform/running_apps.h"
#include "platform/system.h"

namespace {

using namespace tessaway;

/// The word after the first "--ctl" (empty when it is the last argument), if there is one.
std::optional<std::string> ctlWord(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--ctl") return i + 1 < args.size() ? args[i + 1] : std::string();
    }
    return std::nullopt;
}

bool hasArgument(const std::vector<std::string>& args, const char* option) {
    return std::find(args.begin(), args.end(), option) != args.end();
}

void openSetupPage(int64_t port) {
    platform::openAddress(browserBase(port) + "/setup");
}

void endOnTerminate(int) {
    _exit(0);
}

/// A registered instance counts as running, so it must be able to quit before it has a menu
/// bar too: SIGTERM ends it at once (the menu-bar application installs its own handler).
void quitOnTerminate() {
    struct sigaction action {};
    action.sa_handler = endOnTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    fillIdentity();

    if (const auto word = ctlWord(args)) return runCtl(*word);

    if (hasArgument(args, "--install-agents")) {
        const auto installed = installAgents();
        if (!installed) return 1;
        platform::writeStandardOutput("Tessaway Server agents installed, port " +
                                      std::to_string(installed->port) +
                                      (installed->fresh ? " (new)" : "") + "\n");
        if (!installed->fresh || hasArgument(args, "--no-open")) return 0;
        waitForServer(30);
        openSetupPage(installed->port);
        return 0;
    }

    launchedByAgent = hasArgument(args, "--agent");

    std::error_code ec;
    if (!launchedByAgent && !std::filesystem::exists(serverPlist, ec)) {
        const auto installed = installAgents();
        if (!installed) return 1;
        waitForServer(30);
        openSetupPage(installed->port);
        return 0;
    }

    bundleID = platform::mainBundle().identifier.value_or(serverLabel);
    // From here on this process is a running instance: --ctl status counts it, --ctl quit
    // ends it, also while it still waits for the server. The others are listed and this one
    // registered under one lock, so of two close starts the later one sees the earlier.
    quitOnTerminate();
    platform::Registration registration = platform::registerRunningApplication(bundleID);
    others = registration.others;

    if (!launchedByAgent) {
        if (startServer()) waitForServer(20);
        openSetupPage(serverPort());
    }

    // Another instance keeps the item; and when the registry cannot tell, showing a second
    // item is worse than showing none until the next start.
    if (!others.empty() || registration.refused) return 0;

    return runMenuBarApplication(argc, argv);
}
