#pragma once

#include <atomic>
#include <string>

#include "platform/unique_fd.h"

namespace tessaway::platform {

/// A file opened to be locked (`flock` or `fcntl` record locks).
struct LockFile {
    UniqueFd fd;
    /// Why the file at the path cannot serve as a lock ("it is a symbolic link", "it is a
    /// folder", ...). Empty when `fd` is open, and when nothing is there and nothing was to
    /// be made.
    std::string problem;
};

enum class LockOpen {
    create,    ///< read and write; made with mode 0600 when missing
    existing,  ///< read only; never made
};

/// Opens the lock file at `path` without following a symbolic link, without blocking (a FIFO
/// in its place must not hang the caller), and only when it is a regular file: a lock that a
/// link, a folder or a FIFO stands in for would exclude nobody.
LockFile openLockFile(const std::string& path, LockOpen how);

/// Says on standard error, for `program`, why the lock file at `path` cannot serve
/// (`problem` as openLockFile gives it).
void sayLockFileUnusable(const std::string& program, const std::string& path,
                         const std::string& problem);

/// Takes an exclusive `flock` on `fd`, trying again until `seconds` of real time have passed
/// or `abandon` (when given) is set. False when the lock was not taken.
bool lockWithin(int fd, double seconds, const std::atomic<bool>* abandon = nullptr);

}  // namespace tessaway::platform
