#include "locations.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/system.h"

namespace tessaway::launchd {

std::string runtimeFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        return std::string(runtime) + "/tessaway-launchd";
    }
    return "/tmp/tessaway-launchd-" + std::to_string(getuid());
}

std::optional<std::string> preparedRuntimeFolder() {
    std::string folder = runtimeFolder();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    // In a shared folder such as /tmp someone else could have made it first, or a link.
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 022) != 0) {
        return std::nullopt;
    }
    return folder;
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
