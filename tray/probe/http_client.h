#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tessaway {

struct CurlLibrary;

/// One plain request to the local server: no proxy, no cookies, no cache, no body.
struct HttpRequest {
    std::string method = "GET";  ///< "GET" or "HEAD"
    std::string url;
    double timeout = 3.0;         ///< total time for the whole request, in seconds
    double connectTimeout = 0.0;  ///< time to connect, in seconds; 0: bounded by `timeout` only
};

/// What came back. A failed request (no connection, time-out, a body over the size limit)
/// has `answered` false and no body.
struct HttpResponse {
    bool answered = false;
    long status = 0;
    std::optional<std::string> body;
};

/// Bodies larger than this are not read: the request counts as failed.
inline constexpr size_t kMaxBodyBytes = 1 << 20;

/// Sends one request and waits for its outcome.
HttpResponse httpRequest(const HttpRequest& request);

/// Sends requests in the background, all at once on one thread: none waits behind another.
/// Completions run on that thread (or at once in `submit` when libcurl cannot be loaded).
/// Destroying the worker abandons what is still in flight without running its completion.
class HttpWorker {
public:
    using Completion = std::function<void(HttpResponse)>;

    HttpWorker();
    ~HttpWorker();
    HttpWorker(const HttpWorker&) = delete;
    HttpWorker& operator=(const HttpWorker&) = delete;

    void submit(HttpRequest request, Completion completion);

private:
    struct Transfer;
    void run();

    const CurlLibrary* curl_ = nullptr;
    void* multi_ = nullptr;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Transfer>> queued_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tessaway
