#include "platform/running_apps.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>

// Each running instance holds an exclusive lock on a file named by its process id. The lock
// dies with the process, so a file whose lock can be taken belongs to an instance that is gone.

namespace tessaway::platform {
namespace {

bool validIdentifier(const std::string& identifier) {
    return !identifier.empty() && identifier != "." && identifier != ".." &&
           identifier.find('/') == std::string::npos;
}

std::string registryRoot() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        return std::string(runtime) + "/tessaway-apps";
    }
    return "/tmp/tessaway-apps-" + std::to_string(getuid());
}

std::optional<pid_t> pidFromName(std::string_view name) {
    if (name.empty() || name.size() > 9) return std::nullopt;
    pid_t pid = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return std::nullopt;
        pid = pid * 10 + (c - '0');
    }
    return pid > 0 ? std::optional<pid_t>(pid) : std::nullopt;
}

/// True when the entry's lock is held by its instance; a stale entry is removed.
bool entryAlive(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    bool alive = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!alive) unlink(path.c_str());
    close(fd);
    return alive;
}

}  // namespace

std::string registryFolder(const std::string& identifier) {
    return registryRoot() + "/" + identifier;
}

std::vector<pid_t> runningApplications(const std::string& identifier) {
    std::vector<pid_t> pids;
    if (!validIdentifier(identifier)) return pids;
    const std::string folder = registryFolder(identifier);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return pids;
    while (const dirent* entry = readdir(dir)) {
        const auto pid = pidFromName(entry->d_name);
        if (pid && entryAlive(folder + "/" + entry->d_name)) pids.push_back(*pid);
    }
    closedir(dir);
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool registerRunningApplication(const std::string& identifier) {
    if (!validIdentifier(identifier)) return false;
    const std::string root = registryRoot();
    mkdir(root.c_str(), 0700);
    const std::string folder = registryFolder(identifier);
    mkdir(folder.c_str(), 0700);
    const std::string path = folder + "/" + std::to_string(getpid());
    // A lister may remove a stale entry of a former process with our id between our open and
    // our lock; then the locked file is no longer the one on the path, and we try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return false;
        struct stat held {
        }, named{};
        if (flock(fd, LOCK_EX) == 0 && fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            // The descriptor stays open, and the lock held, until the process ends.
            return true;
        }
        close(fd);
    }
    return false;
}

bool terminateApplication(const std::string& identifier, pid_t pid) {
    if (!validIdentifier(identifier) || pid <= 0) return false;
    // Pin the process first, then confirm that it is still the registered instance: a pidfd
    // cannot be redirected to a newer process that happens to get the same id.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const bool alive = entryAlive(registryFolder(identifier) + "/" + std::to_string(pid));
    bool sent = false;
    if (alive) {
        if (pidfd >= 0) {
            sent = syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0) == 0;
        } else {
            sent = kill(pid, SIGTERM) == 0;
        }
    }
    if (pidfd >= 0) close(pidfd);
    return sent;
}

}  // namespace tessaway::platform
