#pragma once

#include <sys/socket.h>

#include <cstdint>

namespace tessaway::testing {

/// A socket listening on `port` of 127.0.0.1 (AF_INET) or of [::1] alone (AF_INET6), closed
/// with the object. Connections that other suites left behind on the port do not keep it out;
/// another listener does: while one holds the port, it tries again until `waitSeconds` have
/// passed, so that a suite that has just ended has time to let the port go.
class Listener {
public:
    explicit Listener(int64_t port, int family = AF_INET, double waitSeconds = 0.0);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

/// How long a test waits for a port of the default range that another suite still holds.
inline constexpr double kPortWaitSeconds = 60.0;

}  // namespace tessaway::testing
