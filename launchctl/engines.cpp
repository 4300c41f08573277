#include "launchctl/engines.h"

#include <cstdlib>
#include <string_view>

#include "launchctl/supervisor/supervisor_manager.h"
#include "launchctl/systemd/systemd_manager.h"
#include "platform/system.h"

namespace tessaway::launchd {

namespace {

std::string_view forcedChoice() {
    const char* forced = std::getenv("TESSAWAY_SERVICE_MANAGER");
    return forced != nullptr ? forced : "";
}

}  // namespace

bool userManagerChosen() {
    const std::string_view choice = forcedChoice();
    if (choice == "standin") return false;
    return UserManager::connect().has_value();
}

std::optional<Engines> chooseEngines(const std::string& folder, unsigned long uid) {
    const std::string_view choice = forcedChoice();
    if (!choice.empty() && choice != "systemd" && choice != "standin") {
        platform::writeStandardError(
            "launchctl: TESSAWAY_SERVICE_MANAGER is neither systemd nor standin; ignoring it\n");
    }
    auto manager = UserManager::connect();
    Engines engines;
    if (choice == "systemd" && !manager) {
        platform::writeStandardError(
            "launchctl: TESSAWAY_SERVICE_MANAGER is systemd, but no systemd user manager "
            "answers\n");
        return std::nullopt;
    }
    auto supervisors = supervisorManager(folder, uid);
    if (!manager) {
        engines.primary = std::move(supervisors);
        return engines;
    }
    auto systemd = systemdManager(std::move(*manager), folder, uid);
    if (choice == "standin") {
        engines.primary = std::move(supervisors);
        engines.other = std::move(systemd);
    } else {
        engines.primary = std::move(systemd);
        engines.other = std::move(supervisors);
        engines.userManager = true;
    }
    return engines;
}

}  // namespace tessaway::launchd
