#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tessaway::testing {

/// A small HTTP/1.1 server on 127.0.0.1 that answers each method and path as scripted and
/// records every request. Unscripted requests get 404. Stopping never waits for a client.
class TestHttpServer {
public:
    struct Response {
        int status = 200;
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
    std::vector<Request> requests() const;
    size_t requestCount(const std::string& method, const std::string& path) const;

private:
    void acceptLoop();
    void serve(int fd);
    bool waitUnlessStopping(double seconds);

    int listenFd_ = -1;
    int stopFd_ = -1;
    int64_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Response> responses_;
    std::vector<Request> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

}  // namespace tessaway::testing
