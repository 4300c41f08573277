#include "tests/doubles/loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace tessaway::testing {
namespace {

int listenOnce(int64_t port, int family) {
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto& a = reinterpret_cast<sockaddr_in&>(storage);
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof a;
    } else {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        auto& a = reinterpret_cast<sockaddr_in6&>(storage);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        a.sin6_addr = in6addr_loopback;
        length = sizeof a;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0 && listen(fd, 1) == 0) {
        return fd;
    }
    close(fd);
    return -1;
}

}  // namespace

Listener::Listener(int64_t port, int family, double waitSeconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(waitSeconds);
    while ((fd_ = listenOnce(port, family)) < 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

Listener::~Listener() {
    if (fd_ >= 0) close(fd_);
}

}  // namespace tessaway::testing
