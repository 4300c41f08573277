#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tessaway {

/// One plain request to the local server: HTTP/1.1, no proxy, no cookies, no cache, no body.
struct HttpRequest {
    std::string method = "GET";  ///< "GET" or "HEAD"
    std::string url;             ///< "http://" numeric address, ":" port, path
    double timeout = 3.0;        ///< time for the whole request, in seconds
    double idleTimeout = 0.0;    ///< longest wait for the next byte, in seconds; 0: `timeout` only
};

/// What came back. A failed request (no connection, a time-out, a malformed answer, a body or
/// header block over its size limit) has `answered` false and no body.
struct HttpResponse {
    bool answered = false;
    long status = 0;
    std::optional<std::string> body;
};

/// Bodies larger than this are not read: the request counts as failed.
inline constexpr size_t kMaxBodyBytes = 1 << 20;
/// Header blocks larger than this are not read: the request counts as failed.
inline constexpr size_t kMaxHeaderBytes = 64 << 10;

/// Sends one request and waits for its outcome, on the calling thread.
HttpResponse httpRequest(const HttpRequest& request);

/// Sends requests in the background, all side by side on one I/O thread: none waits behind
/// another. Completions run on that thread. Destroying the worker cancels what is still in
/// flight at once, without running its completion.
class HttpWorker {
public:
    using Completion = std::function<void(HttpResponse)>;

    HttpWorker();
    ~HttpWorker();
    HttpWorker(const HttpWorker&) = delete;
    HttpWorker& operator=(const HttpWorker&) = delete;

    void submit(HttpRequest request, Completion completion);

private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
};

}  // namespace tessaway
