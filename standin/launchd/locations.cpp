#include "standin/launchd/locations.h"

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

std::string overridesPath() {
    std::string base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        base = state;
    } else {
        base = platform::homeDirectory() + "/.local/state";
    }
    return base + "/tessaway-launchd/disabled.plist";
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
