#include "platform/running_apps.h"

#include <dirent.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/lock_file.h"
#include "platform/process_signal.h"
#include "platform/session_folder.h"
#include "platform/system.h"

// Each running instance holds an exclusive lock on a file named by its process id. The lock
// dies with the process, so a file whose lock can be taken belongs to an instance that is gone.
// A start lists the others and registers itself while it holds the lock of one more file,
// which is never removed: everyone who registers must lock the very same file.

namespace tessaway::platform {
namespace {

constexpr const char* kRegistryLockName = "registry.lock";
// The registry lock is held for a listing and one file; anything longer is a stuck holder.
constexpr double kRegistryWaitSeconds = 10.0;
// A lister holds an entry's lock only for a moment, to see whether it is stale.
constexpr double kEntryWaitSeconds = 5.0;

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

/// True when the entry's lock is held by its instance; a stale entry is removed. Anything but a
/// regular file is nobody's entry.
bool entryAlive(const std::string& path) {
    const LockFile entry = openLockFile(path, LockOpen::existing);
    if (!entry.fd) return false;
    const bool alive = flock(entry.fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!alive) unlink(path.c_str());
    return alive;
}

/// The live instances registered in `folder`, in ascending order.
std::vector<pid_t> liveEntries(const std::string& folder) {
    std::vector<pid_t> pids;
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

/// Creates and locks this process's entry at `path`; empty, after a line on standard error,
/// when that cannot be done.
UniqueFd lockOwnEntry(const std::string& path) {
    // A lister may remove a stale entry of a former process with our id between our open and
    // our lock; then the locked file is no longer the one on the path, and we try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        LockFile entry = openLockFile(path, LockOpen::create);
        if (!entry.fd) {
            sayLockFileUnusable("tessaway-tray", path, entry.problem);
            return {};
        }
        struct stat held {
        }, named{};
        if (lockWithin(entry.fd.get(), kEntryWaitSeconds) && fstat(entry.fd.get(), &held) == 0 &&
            lstat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            return std::move(entry.fd);
        }
    }
    sayLockFileUnusable("tessaway-tray", path, "it keeps changing");
    return {};
}

}  // namespace

RunningApplication::RunningApplication(std::string entryPath, UniqueFd entry)
    : entryPath_(std::move(entryPath)), entry_(std::move(entry)) {}

RunningApplication::~RunningApplication() {
    release();
}

RunningApplication& RunningApplication::operator=(RunningApplication&& other) noexcept {
    if (this != &other) {
        release();
        entryPath_ = std::move(other.entryPath_);
        entry_ = std::move(other.entry_);
    }
    return *this;
}

void RunningApplication::release() {
    // Removed while still locked, so that no lister takes it for a stale entry of another
    // process that got our id.
    if (entry_) unlink(entryPath_.c_str());
    entry_.reset();
}

Registration registerRunningApplication(const std::string& identifier) {
    Registration result;
    if (!validIdentifier(identifier)) return result;
    const auto root = registryRoot(true);
    if (!root) return result;
    const std::string folder = *root + "/" + identifier;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return result;
    const std::string lockPath = folder + "/" + kRegistryLockName;
    const LockFile lock = openLockFile(lockPath, LockOpen::create);
    if (!lock.fd) {
        sayLockFileUnusable("tessaway-tray", lockPath, lock.problem);
        result.refused = true;
        return result;
    }
    if (!lockWithin(lock.fd.get(), kRegistryWaitSeconds)) {
        writeStandardError("tessaway-tray: gave up waiting for " + lockPath + "\n");
        result.refused = true;
        return result;
    }
    const pid_t self = getpid();
    result.others = liveEntries(folder);
    std::erase(result.others, self);
    const std::string path = folder + "/" + std::to_string(self);
    UniqueFd entry = lockOwnEntry(path);
    if (!entry) {
        result.refused = true;
        return result;
    }
    result.instance = RunningApplication(path, std::move(entry));
    return result;
}

std::vector<pid_t> runningApplications(const std::string& identifier) {
    if (!validIdentifier(identifier)) return {};
    const auto root = registryRoot(false);
    if (!root) return {};
    return liveEntries(*root + "/" + identifier);
}

bool terminateApplication(const std::string& identifier, pid_t pid) {
    if (!validIdentifier(identifier) || pid <= 0) return false;
    const auto root = registryRoot(false);
    if (!root) return false;
    const std::string entry = *root + "/" + identifier + "/" + std::to_string(pid);
    return signalProcessIf(pid, SIGTERM, [&] { return entryAlive(entry); }) == SignalOutcome::sent;
}

}  // namespace tessaway::platform
