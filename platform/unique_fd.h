#pragma once

#include <unistd.h>

#include <utility>

namespace tessaway::platform {

/// Owns one file descriptor and closes it when the owner goes away, whichever way the scope
/// is left. Empty (-1) when default-made, moved from or released.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    /// Gives up ownership without closing.
    int release() { return std::exchange(fd_, -1); }

    /// Closes the descriptor held (if any) and holds `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

    /// Closes now and answers whether the close succeeded, for a written file whose last
    /// error may only show there. True when nothing was held.
    bool close() {
        const int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_ = -1;
};

}  // namespace tessaway::platform
