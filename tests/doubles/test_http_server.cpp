#include "tests/doubles/test_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace tessaway::testing {
namespace {

constexpr size_t kMaxHead = size_t{64} * 1024;
constexpr size_t kFloodBytes = 10 << 20;

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
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

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TestHttpServer::TestHttpServer() {
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (stopFd_ < 0 || listenFd_ < 0) throw std::runtime_error("TestHttpServer: no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 64) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listenFd_);
        close(stopFd_);
        throw std::runtime_error("TestHttpServer: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    stopping_ = true;
    const uint64_t one = 1;
    // The event descriptor stays readable from now on, which wakes every wait at once.
    (void)!write(stopFd_, &one, sizeof one);
    acceptor_.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard lock(mutex_);
        connections.swap(connections_);
    }
    for (auto& thread : connections)
        thread.join();
    close(listenFd_);
    close(stopFd_);
}

void TestHttpServer::setResponse(const std::string& method, const std::string& path,
                                 Response response) {
    std::lock_guard lock(mutex_);
    responses_[{method, path}] = std::move(response);
}

void TestHttpServer::setResponse(const std::string& method, const std::string& path, int status,
                                 std::string body, double delaySeconds) {
    setResponse(method, path, Response{status, std::move(body), delaySeconds});
}

std::vector<TestHttpServer::Request> TestHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t TestHttpServer::requestCount(const std::string& method, const std::string& path) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& request : requests_)
        n += request.method == method && request.path == path;
    return n;
}

bool TestHttpServer::waitForRequests(size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return requests_.size() >= count; });
}

bool TestHttpServer::waitFor(int fd, short events) const {
    pollfd fds[2] = {{fd, events, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
        const int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents != 0 || stopping_) return false;
        if (fds[0].revents != 0) return true;
    }
}

bool TestHttpServer::pause(double seconds) const {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const double left = seconds - secondsSince(start);
        if (left <= 0) return !stopping_;
        pollfd stop{stopFd_, POLLIN, 0};
        const int ms = static_cast<int>(std::ceil(std::min(left, 3600.0) * 1000.0));
        if (poll(&stop, 1, ms) > 0 || stopping_) return false;
    }
}

void TestHttpServer::acceptLoop() {
    while (waitFor(listenFd_, POLLIN)) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        connections_.emplace_back([this, fd] { serve(fd); });
    }
}

void TestHttpServer::serve(int fd) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHead) {
        if (!waitFor(fd, POLLIN)) break;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        head.append(buffer, static_cast<size_t>(n));
    }
    const size_t lineEnd = head.find("\r\n");
    const size_t firstSpace = head.find(' ');
    const size_t secondSpace =
        firstSpace == std::string::npos ? std::string::npos : head.find(' ', firstSpace + 1);
    if (lineEnd == std::string::npos || secondSpace == std::string::npos || secondSpace > lineEnd) {
        close(fd);
        return;
    }
    const size_t headEnd = head.find("\r\n\r\n");
    Request request{head.substr(0, firstSpace),
                    head.substr(firstSpace + 1, secondSpace - firstSpace - 1),
                    head.substr(0, headEnd == std::string::npos ? head.size() : headEnd + 4)};
    Response response{404, "", 0};
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (auto it = responses_.find({request.method, request.path}); it != responses_.end()) {
            response = it->second;
        }
    }
    arrived_.notify_all();
    if (!pause(response.delaySeconds) || response.status <= 0) {
        close(fd);
        return;
    }
    std::string answer = response.raw;
    if (answer.empty()) {
        answer = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) +
                 "\r\nContent-Type: application/json\r\nContent-Length: " +
                 std::to_string(response.body.size()) + "\r\nConnection: close\r\n\r\n";
        if (request.method != "HEAD") answer += response.body;
    }
    if (!sendAll(fd, answer)) {
        close(fd);
        return;
    }
    carryOn(fd, response);
}

bool TestHttpServer::sendAll(int fd, const std::string& bytes) const {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!waitFor(fd, POLLOUT)) return false;
        } else {
            return false;
        }
    }
    return true;
}

void TestHttpServer::carryOn(int fd, const Response& response) const {
    switch (response.then) {
        case Then::close:
            shutdown(fd, SHUT_WR);
            break;
        case Then::hold:
            pause(std::numeric_limits<double>::infinity());
            break;
        case Then::trickle:
            while (pause(0.05) && sendAll(fd, response.filler)) {
            }
            break;
        case Then::flood:
            for (size_t sent = 0; sent < kFloodBytes && !response.filler.empty();
                 sent += response.filler.size()) {
                if (!sendAll(fd, response.filler)) break;
            }
            pause(std::numeric_limits<double>::infinity());
            break;
        case Then::reset: {
            const linger abort{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            break;
        }
    }
    close(fd);
}

}  // namespace tessaway::testing
