#include "probe/http_client.h"

#include <curl/curl.h>

#include <cmath>
#include <map>

namespace tessaway {
namespace {

void initialiseCurl() {
    static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    (void)done;
}

long milliseconds(double seconds) {
    return seconds <= 0 ? 1 : static_cast<long>(std::ceil(seconds * 1000.0));
}

size_t appendCapped(char* data, size_t size, size_t count, void* userdata) {
    auto* body = static_cast<std::string*>(userdata);
    const size_t n = size * count;
    if (body->size() + n > kMaxBodyBytes) return 0;  // makes the transfer fail
    body->append(data, n);
    return n;
}

/// The one place where a request is turned into a transfer.
CURL* newTransfer(const HttpRequest& request, std::string* body) {
    CURL* easy = curl_easy_init();
    if (easy == nullptr) return nullptr;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, "");  // never a proxy, whatever the environment says
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, milliseconds(request.timeout));
    if (request.connectTimeout > 0) {
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(request.connectTimeout));
    }
    if (request.method == "HEAD") curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendCapped);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
    return easy;
}

HttpResponse responseOf(CURL* easy, CURLcode result, std::string&& body) {
    HttpResponse response;
    if (result != CURLE_OK) return response;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status == 0) return response;
    response.answered = true;
    response.status = status;
    response.body = std::move(body);
    return response;
}

}  // namespace

HttpResponse httpRequest(const HttpRequest& request) {
    initialiseCurl();
    std::string body;
    CURL* easy = newTransfer(request, &body);
    if (easy == nullptr) return {};
    const CURLcode result = curl_easy_perform(easy);
    HttpResponse response = responseOf(easy, result, std::move(body));
    curl_easy_cleanup(easy);
    return response;
}

struct HttpWorker::Transfer {
    HttpRequest request;
    Completion completion;
    std::string body;
    CURL* easy = nullptr;
};

HttpWorker::HttpWorker() {
    initialiseCurl();
    multi_ = curl_multi_init();
    thread_ = std::thread([this] { run(); });
}

HttpWorker::~HttpWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    thread_.join();
    curl_multi_cleanup(multi_);
}

void HttpWorker::submit(HttpRequest request, Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    {
        std::lock_guard lock(mutex_);
        queued_.push_back(std::move(transfer));
    }
    curl_multi_wakeup(multi_);
}

void HttpWorker::run() {
    std::map<CURL*, std::unique_ptr<Transfer>> active;
    auto finish = [&](CURL* easy, CURLcode result) {
        auto node = active.extract(easy);
        curl_multi_remove_handle(multi_, easy);
        if (!node.empty()) {
            Transfer& t = *node.mapped();
            HttpResponse response = responseOf(easy, result, std::move(t.body));
            if (t.completion) t.completion(std::move(response));
        }
        curl_easy_cleanup(easy);
    };
    for (;;) {
        std::vector<std::unique_ptr<Transfer>> incoming;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            incoming.swap(queued_);
        }
        for (auto& transfer : incoming) {
            transfer->easy = newTransfer(transfer->request, &transfer->body);
            if (transfer->easy == nullptr) {
                if (transfer->completion) transfer->completion({});
                continue;
            }
            curl_multi_add_handle(multi_, transfer->easy);
            active.emplace(transfer->easy, std::move(transfer));
        }
        int running = 0;
        curl_multi_perform(multi_, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
        }
        curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
    for (auto& [easy, transfer] : active) {
        curl_multi_remove_handle(multi_, easy);
        curl_easy_cleanup(easy);
    }
}

}  // namespace tessaway
