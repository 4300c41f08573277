#include "platform/running_apps.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/process_signal.h"
#include "platform/session_folder.h"
#include "platform/system.h"

// Each running instance holds an exclusive lock on a file named by its process id. The lock
// dies with the process, so a file whose lock can be taken belongs to an instance that is gone.
// The instance that shows the menu-bar item also holds the lock of one more file, which is
// never removed: everyone who asks for the item must ask the very same file.

namespace tessaway::platform {
namespace {

constexpr const char* kItemLockName = "menu-bar-item";

bool validIdentifier(const std::string& identifier) {
    return !identifier.empty() && identifier != "." && identifier != ".." &&
           identifier.find('/') == std::string::npos;
}

/// The registry's root folder when it may be used; a refusal is reported once per process.
std::optional<std::string> registryRoot(bool create) {
    const SessionFolder root = sessionFolder("tessaway-apps", create);
    if (root.usable()) return root.path;
    static bool reported = false;
    if (!reported) {
        reported = true;
        writeStandardError("tessaway-tray: not using " + root.path + ": " + root.problem + "\n");
    }
    return std::nullopt;
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
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return false;
    const bool alive = flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!alive) unlink(path.c_str());
    return alive;
}

}  // namespace

RunningApplication::RunningApplication(std::string folder, std::string entryPath, UniqueFd entry)
    : folder_(std::move(folder)), entryPath_(std::move(entryPath)), entry_(std::move(entry)) {}

RunningApplication::~RunningApplication() {
    release();
}

RunningApplication& RunningApplication::operator=(RunningApplication&& other) noexcept {
    if (this != &other) {
        release();
        folder_ = std::move(other.folder_);
        entryPath_ = std::move(other.entryPath_);
        entry_ = std::move(other.entry_);
        item_ = std::move(other.item_);
    }
    return *this;
}

void RunningApplication::release() {
    item_.reset();
    // Removed while still locked, so that no lister takes it for a stale entry of another
    // process that got our id.
    if (entry_) unlink(entryPath_.c_str());
    entry_.reset();
}

bool RunningApplication::takeMenuBarItem() {
    if (!registered()) return true;
    if (item_) return true;
    const std::string path = folder_ + "/" + kItemLockName;
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!fd) return true;
    // Only another holder keeps this instance from the item.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno != EWOULDBLOCK;
    // The descriptor stays open, and the lock held, until the registration ends.
    item_ = std::move(fd);
    return true;
}

RunningApplication registerRunningApplication(const std::string& identifier) {
    if (!validIdentifier(identifier)) return {};
    const auto root = registryRoot(true);
    if (!root) return {};
    const std::string folder = *root + "/" + identifier;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    const std::string path = folder + "/" + std::to_string(getpid());
    // A lister may remove a stale entry of a former process with our id between our open and
    // our lock; then the locked file is no longer the one on the path, and we try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd) return {};
        struct stat held {
        }, named{};
        if (flock(fd.get(), LOCK_EX) == 0 && fstat(fd.get(), &held) == 0 &&
            stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            return RunningApplication(folder, path, std::move(fd));
        }
    }
    return {};
}

std::vector<pid_t> runningApplications(const std::string& identifier) {
    std::vector<pid_t> pids;
    if (!validIdentifier(identifier)) return pids;
    const auto root = registryRoot(false);
    if (!root) return pids;
    const std::string folder = *root + "/" + identifier;
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

bool terminateApplication(const std::string& identifier, pid_t pid) {
    if (!validIdentifier(identifier) || pid <= 0) return false;
    const auto root = registryRoot(false);
    if (!root) return false;
    const std::string entry = *root + "/" + identifier + "/" + std::to_string(pid);
    return signalProcessIf(pid, SIGTERM, [&] { return entryAlive(entry); }) == SignalOutcome::sent;
}

}  // namespace tessaway::platform
