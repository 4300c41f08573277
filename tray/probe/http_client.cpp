#include "probe/http_client.h"

#include <cmath>
#include <map>

#include "probe/curl_library.h"

namespace tessaway {
namespace {

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
CURL* newTransfer(const CurlLibrary& curl, const HttpRequest& request, std::string* body) {
    CURL* easy = curl.easyInit();
    if (easy == nullptr) return nullptr;
    curl.easySetopt(easy, CURLOPT_URL, request.url.c_str());
    curl.easySetopt(easy, CURLOPT_PROTOCOLS_STR, "http");
    curl.easySetopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl.easySetopt(easy, CURLOPT_PROXY, "");  // never a proxy, whatever the environment says
    curl.easySetopt(easy, CURLOPT_TIMEOUT_MS, milliseconds(request.timeout));
    if (request.connectTimeout > 0) {
        curl.easySetopt(easy, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(request.connectTimeout));
    }
    if (request.method == "HEAD") curl.easySetopt(easy, CURLOPT_NOBODY, 1L);
    curl.easySetopt(easy, CURLOPT_WRITEFUNCTION, appendCapped);
    curl.easySetopt(easy, CURLOPT_WRITEDATA, body);
    return easy;
}

HttpResponse responseOf(const CurlLibrary& curl, CURL* easy, CURLcode result, std::string&& body) {
    HttpResponse response;
    if (result != CURLE_OK) return response;
    long status = 0;
    curl.easyGetinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status == 0) return response;
    response.answered = true;
    response.status = status;
    response.body = std::move(body);
    return response;
}

}  // namespace

HttpResponse httpRequest(const HttpRequest& request) {
    const CurlLibrary* curl = curlLibrary();
    if (curl == nullptr) return {};
    std::string body;
    CURL* easy = newTransfer(*curl, request, &body);
    if (easy == nullptr) return {};
    const CURLcode result = curl->easyPerform(easy);
    HttpResponse response = responseOf(*curl, easy, result, std::move(body));
    curl->easyCleanup(easy);
    return response;
}

struct HttpWorker::Transfer {
    HttpRequest request;
    Completion completion;
    std::string body;
    CURL* easy = nullptr;
};

HttpWorker::HttpWorker() : curl_(curlLibrary()) {
    if (curl_ == nullptr) return;
    multi_ = curl_->multiInit();
    thread_ = std::thread([this] { run(); });
}

HttpWorker::~HttpWorker() {
    if (curl_ == nullptr) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    curl_->multiWakeup(multi_);
    thread_.join();
    curl_->multiCleanup(multi_);
}

void HttpWorker::submit(HttpRequest request, Completion completion) {
    if (curl_ == nullptr) {
        if (completion) completion({});  // without libcurl every request fails at once
        return;
    }
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    {
        std::lock_guard lock(mutex_);
        queued_.push_back(std::move(transfer));
    }
    curl_->multiWakeup(multi_);
}

void HttpWorker::run() {
    const CurlLibrary& curl = *curl_;
    std::map<CURL*, std::unique_ptr<Transfer>> active;
    auto finish = [&](CURL* easy, CURLcode result) {
        auto node = active.extract(easy);
        curl.multiRemoveHandle(multi_, easy);
        if (!node.empty()) {
            Transfer& t = *node.mapped();
            HttpResponse response = responseOf(curl, easy, result, std::move(t.body));
            if (t.completion) t.completion(std::move(response));
        }
        curl.easyCleanup(easy);
    };
    for (;;) {
        std::vector<std::unique_ptr<Transfer>> incoming;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            incoming.swap(queued_);
        }
        for (auto& transfer : incoming) {
            transfer->easy = newTransfer(curl, transfer->request, &transfer->body);
            if (transfer->easy == nullptr) {
                if (transfer->completion) transfer->completion({});
                continue;
            }
            curl.multiAddHandle(multi_, transfer->easy);
            active.emplace(transfer->easy, std::move(transfer));
        }
        int running = 0;
        curl.multiPerform(multi_, &running);
        int left = 0;
        while (CURLMsg* message = curl.multiInfoRead(multi_, &left)) {
            if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
        }
        curl.multiPoll(multi_, nullptr, 0, 1000, nullptr);
    }
    for (auto& [easy, transfer] : active) {
        curl.multiRemoveHandle(multi_, easy);
        curl.easyCleanup(easy);
    }
}

}  // namespace tessaway
