#include "platform/control_lock.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/lock_file.h"
#include "platform/session_folder.h"
#include "platform/system.h"
#include "platform/unique_fd.h"

namespace tessaway::platform {
namespace {

std::atomic<bool> abandoned{false};

UniqueFd takeLock(double waitSeconds) {
    const SessionFolder folder = sessionFolder("tessaway-control", true);
    if (!folder.usable()) {
        writeStandardError("tessaway-tray: not using " + folder.path + ": " + folder.problem +
                           "\n");
        return {};
    }
    const std::string path = folder.path + "/control.lock";
    LockFile lock = openLockFile(path, LockOpen::create);
    if (!lock.fd) {
        sayLockFileUnusable("tessaway-tray", path, lock.problem);
        return {};
    }
    if (lockWithin(lock.fd.get(), waitSeconds, &abandoned)) return std::move(lock.fd);
    if (!abandoned.load()) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", waitSeconds);
        writeStandardError("tessaway-tray: gave up after " + std::string(seconds) +
                           " seconds: another command still holds " + path + "\n");
    }
    return {};
}

std::recursive_mutex& holding() {
    static std::recursive_mutex mutex;
    return mutex;
}
int depth = 0;
UniqueFd lockFd;

}  // namespace

ControlLock::ControlLock(double waitSeconds) {
    holding().lock();
    if (depth++ == 0) lockFd = takeLock(waitSeconds);
}

ControlLock::~ControlLock() {
    if (--depth == 0) lockFd.reset();
    holding().unlock();
}

bool ControlLock::held() const {
    return static_cast<bool>(lockFd);
}

void ControlLock::abandonWaits() {
    abandoned.store(true);
}

}  // namespace tessaway::platform
