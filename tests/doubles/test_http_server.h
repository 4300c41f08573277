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
/// as scripted and records every request. Unscripted requests get 404 with an empty body. A
/// connection is closed after one answer unless the script says otherwise. Stopping never waits
/// for a client, even one that never sends its request or never reads the answer.
class TestHttpServer {
public:
    /// What the server does with the connection once the answer is sent.
    enum class Then {
        close,    ///< closes it
        hold,     ///< keeps it open, silent, until the server stops
        trickle,  ///< sends `filler` every 50 ms until the server stops or the client goes
        flood,    ///< sends `filler` back to back until 10 MiB have gone or the client goes
        reset,    ///< aborts it (the client sees a reset)
    };
    struct Response {
        Response(int code = 200, std::string text = {}, double delay = 0)
            : status(code), body(std::move(text)), delaySeconds(delay) {}
        /// `bytes` sent as they are for the whole answer, then `then`.
        static Response verbatim(std::string bytes, Then then = Then::close,
                                 std::string filler = {}) {
            Response response;
            response.raw = std::move(bytes);
            response.then = then;
            response.filler = std::move(filler);
            return response;
        }

        int status;  ///< 0: close the connection without answering
        std::string body;
        double delaySeconds;  ///< wait this long before answering
        std::string raw;      ///< when not empty, the whole answer (`status`, `body` unused)
        Then then = Then::close;
        std::string filler;  ///< the bytes that `trickle` and `flood` repeat
    };
    struct Request {
        std::string method;
        std::string path;
        std::string head;  ///< the request line and header fields as received, blank line included
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
    /// Sends all of `bytes`; false when the client is gone or the server is stopping.
    bool sendAll(int fd, const std::string& bytes) const;
    /// Does what `then` says once the answer is out, and closes `fd`.
    void carryOn(int fd, const Response& response) const;

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
