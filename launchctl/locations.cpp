#include "launchctl/locations.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/session_folder.h"
#include "platform/system.h"

namespace tessaway::launchd {

std::optional<std::string> runtimeFolder(bool create) {
    const platform::SessionFolder folder = platform::sessionFolder("tessaway-launchd", create);
    if (folder.usable()) return folder.path;
    platform::writeStandardError("launchctl: not using " + folder.path + ": " + folder.problem +
                                 "\n");
    return std::nullopt;
}

std::string agentsFolder() {
    return platform::homeDirectory() + "/Library/LaunchAgents";
}

bool inAgentsFolder(const std::string& path) {
    struct stat file {
    }, agents{};
    return stat(parentFolder(path).c_str(), &file) == 0 &&
           stat(agentsFolder().c_str(), &agents) == 0 && file.st_dev == agents.st_dev &&
           file.st_ino == agents.st_ino;
}

std::string xdgFolder(const char* variable, const char* fallback) {
    if (const char* value = std::getenv(variable); value != nullptr && *value == '/') return value;
    return platform::homeDirectory() + "/" + fallback;
}

std::string overridesPath() {
    return xdgFolder("XDG_STATE_HOME", ".local/state") + "/tessaway-launchd/disabled.plist";
}

std::string parentFolder(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool createFolders(const std::string& folder, unsigned mode) {
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::string parent = parentFolder(folder);
    if (parent != folder && parent != "." && parent != "/") createFolders(parent, mode);
    return mkdir(folder.c_str(), mode) == 0 || errno == EEXIST;
}

}  // namespace tessaway::launchd
