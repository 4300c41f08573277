#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tessaway::testing {

/// A small HTTP/1.1 server on 127.0.0.1 (an ephemeral port) that answers each method and path
/// as scripted and records every request. Unscripted requests get 404 with an empty body. Every
/// connection is closed after one answer. Stopping never waits for a client, even one that
/// never sends its request or never reads the answer.
class TestHttpServer {
public:
    struct Response {
        int status = 200;  ///< 0: close the connection without answering
        std::string body;
        double delaySeconds = 0;  ///< wait this long before answering
    };
    struct Request {
        std::string method;
        std::string path;
    };

    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int64_t port() const { return port_; }

    void setResponse(const std::string& method, const std::string& path, Response response);
    void setResponse(const std::string& method, const std::string& path, int status,
                     std::string body = {}, double delaySeconds = 0);

    /// Every request received so far, in order of arrival.
    std::vector<Request> requests() const;
    size_t requestCount(const std::string& method, const std::string& path) const;

    /// Waits until at least `count` requests have arrived; false when `seconds` pass first.
    bool waitForRequests(size_t count, double seconds) const;

private:
    void acceptLoop();
    void serve(int fd);
    /// Sleeps up to `seconds`; false when the server is stopping.
    bool pause(double seconds) const;
    /// Waits for `events` on `fd`; false when the server is stopping first.
    bool waitFor(int fd, short events) const;

    int listenFd_ = -1;
    int stopFd_ = -1;
    int64_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::map<std::pair<std::string, std::string>, Response> responses_;
    std::vector<Request> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

}  // namespace tessaway::testing
