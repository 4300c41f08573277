#include "platform/control_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

namespace tessaway::platform {
namespace {

// A stop waits up to 25 seconds for the server to go; a holder that keeps the lock far
// longer is stuck, and waiting for it forever would hang every command after it.
constexpr int kWaitMilliseconds = 60000;
constexpr int kPollMilliseconds = 20;

/// A folder of ours alone: a real directory (no link), owned by us, closed to others.
bool privateFolder(const std::string& folder) {
    struct stat st {};
    return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
           (st.st_mode & 077) == 0;
}

std::optional<std::string> lockPath() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && *runtime == '/') {
        if (privateFolder(runtime)) return std::string(runtime) + "/tessaway-control.lock";
    }
    // Without a runtime folder: a folder of our own in /tmp, used only when nobody else made it.
    const std::string folder = "/tmp/tessaway-" + std::to_string(getuid());
    mkdir(folder.c_str(), 0700);
    if (!privateFolder(folder)) return std::nullopt;
    return folder + "/control.lock";
}

int takeLock() {
    const auto path = lockPath();
    if (!path) return -1;
    const int fd =
        open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    for (int waited = 0; waited < kWaitMilliseconds; waited += kPollMilliseconds) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        const timespec pause{0, kPollMilliseconds * 1000000L};
        nanosleep(&pause, nullptr);
    }
    close(fd);
    return -1;
}

std::recursive_mutex& holding() {
    static std::recursive_mutex mutex;
    return mutex;
}
int depth = 0;
int lockFd = -1;

}  // namespace

ControlLock::ControlLock() {
    holding().lock();
    if (depth++ == 0) lockFd = takeLock();
}

ControlLock::~ControlLock() {
    if (--depth == 0 && lockFd >= 0) {
        close(lockFd);
        lockFd = -1;
    }
    holding().unlock();
}

}  // namespace tessaway::platform
