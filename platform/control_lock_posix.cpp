#include "platform/control_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

#include "platform/session_folder.h"
#include "platform/unique_fd.h"

namespace tessaway::platform {
namespace {

// A stop waits up to 25 seconds for the server to go; a holder that keeps the lock far
// longer is stuck, and waiting for it forever would hang every command after it.
constexpr int kWaitMilliseconds = 60000;
constexpr int kPollMilliseconds = 20;

std::optional<std::string> lockPath() {
    const SessionFolder folder = sessionFolder("tessaway-control", true);
    if (!folder.usable()) return std::nullopt;
    return folder.path + "/control.lock";
}

UniqueFd takeLock() {
    const auto path = lockPath();
    if (!path) return {};
    UniqueFd fd(open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!fd) return {};
    for (int waited = 0; waited < kWaitMilliseconds; waited += kPollMilliseconds) {
        if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return fd;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        const timespec pause{0, kPollMilliseconds * 1000000L};
        nanosleep(&pause, nullptr);
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

ControlLock::ControlLock() {
    holding().lock();
    if (depth++ == 0) lockFd = takeLock();
}

ControlLock::~ControlLock() {
    if (--depth == 0) lockFd.reset();
    holding().unlock();
}

}  // namespace tessaway::platform
