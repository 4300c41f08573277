#include "support/test_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace tessaway::testing {
namespace {

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

void sendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

}  // namespace

TestHttpServer::TestHttpServer() {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || stopFd_ < 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 64) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("TestHttpServer cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    stopping_ = true;
    const uint64_t one = 1;
    (void)!write(stopFd_, &one, sizeof one);
    acceptor_.join();
    for (auto& t : connections_)
        t.join();
    close(listenFd_);
    close(stopFd_);
}

void TestHttpServer::setResponse(const std::string& method, const std::string& path,
                                 Response response) {
    std::lock_guard lock(mutex_);
    responses_[{method, path}] = std::move(response);
}

std::vector<TestHttpServer::Request> TestHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t TestHttpServer::requestCount(const std::string& method, const std::string& path) const {
    size_t count = 0;
    for (const auto& r : requests())
        count += r.method == method && r.path == path;
    return count;
}

bool TestHttpServer::waitUnlessStopping(double seconds) {
    pollfd p{stopFd_, POLLIN, 0};
    const int ms = static_cast<int>(seconds * 1000);
    return poll(&p, 1, ms) == 0;  // 0: the time passed without a stop
}

void TestHttpServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        connections_.emplace_back([this, fd] { serve(fd); });
    }
}

void TestHttpServer::serve(int fd) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        head.append(buffer, static_cast<size_t>(n));
    }
    const auto space1 = head.find(' ');
    const auto space2 = head.find(' ', space1 + 1);
    if (space1 == std::string::npos || space2 == std::string::npos) {
        close(fd);
        return;
    }
    Request request{head.substr(0, space1), head.substr(space1 + 1, space2 - space1 - 1)};
    Response response{404, "not found", 0};
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (auto it = responses_.find({request.method, request.path}); it != responses_.end()) {
            response = it->second;
        }
    }
    if (response.delaySeconds <= 0 || waitUnlessStopping(response.delaySeconds)) {
        std::string reply = "HTTP/1.1 " + std::to_string(response.status) + " " +
                            reason(response.status) +
                            "\r\nContent-Type: application/json\r\nContent-Length: " +
                            std::to_string(response.body.size()) + "\r\nConnection: close\r\n\r\n";
        if (request.method != "HEAD") reply += response.body;
        sendAll(fd, reply);
    }
    close(fd);
}

}  // namespace tessaway::testing
