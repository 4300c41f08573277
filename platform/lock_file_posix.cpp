#include "platform/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/system.h"

namespace tessaway::platform {
namespace {

std::string problemOf(int error) {
    if (error == ELOOP) return "it is a symbolic link";
    if (error == EISDIR) return "it is a folder";
    // A socket cannot be opened at all; a device without a driver answers ENXIO as well.
    if (error == ENXIO) return "it is not a regular file";
    return std::strerror(error);
}

}  // namespace

LockFile openLockFile(const std::string& path, LockOpen how) {
    constexpr int kCommon = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    const int flags = how == LockOpen::create ? O_RDWR | O_CREAT | kCommon : O_RDONLY | kCommon;
    LockFile lock{UniqueFd(open(path.c_str(), flags, 0600)), {}};
    if (!lock.fd) {
        if (errno != ENOENT || how == LockOpen::create) lock.problem = problemOf(errno);
        return lock;
    }
    struct stat st {};
    if (fstat(lock.fd.get(), &st) != 0) {
        lock.problem = problemOf(errno);
        lock.fd.reset();
    } else if (S_ISDIR(st.st_mode)) {
        lock.problem = problemOf(EISDIR);  // a folder opens read-only
        lock.fd.reset();
    } else if (!S_ISREG(st.st_mode)) {
        lock.problem = problemOf(ENXIO);
        lock.fd.reset();
    }
    return lock;
}

void sayLockFileUnusable(const std::string& program, const std::string& path,
                         const std::string& problem) {
    writeStandardError(program + ": cannot use the lock file " + path + ": " + problem + "\n");
}

bool lockWithin(int fd, double seconds, const std::atomic<bool>* abandon) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    // Quick at first, for the common short hold; then gently, for a long one.
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (abandon != nullptr && abandon->load()) return false;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace tessaway::platform
