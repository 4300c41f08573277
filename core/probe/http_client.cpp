// The only file that includes Boost.Asio and Boost.Beast: they are heavy to compile, and the
// rest of the tree sees the client through http_client.h alone. This file is compiled with
// hidden visibility, so that the executable exports only what that header declares to the
// menu-bar module, not the hundreds of Asio and Beast instantiations behind it.
#pragma GCC visibility push(default)
#include "core/probe/http_client.h"
#pragma GCC visibility pop

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

namespace tessaway {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
// The I/O context's own executor type rather than the type-erased default: the erasure alone
// would add a large share of this file's machine code, for no use.
using Executor = asio::io_context::executor_type;
using Stream = beast::basic_stream<tcp, Executor, beast::unlimited_rate_policy>;

/// Room for a whole header block and one read beyond it. Body bytes leave the buffer as they
/// are parsed, so this bounds what an answer can make the client hold besides its body.
constexpr size_t kMaxBufferedBytes = kMaxHeaderBytes + (64 << 10);

/// Where a request goes: a numeric address, never a name, so no resolver (and no resolver
/// thread) is ever involved.
struct Destination {
    tcp::endpoint endpoint;
    std::string host;  ///< the Host header: address and port as the address text gave them
    std::string target;
};

/// Whether `text` can go into the request head as it is: no space, no control character.
bool plainText(std::string_view text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; });
}

/// "http://ADDRESS:PORT/PATH" (an IPv6 address in brackets); nothing else is accepted.
std::optional<Destination> destinationOf(const std::string& url) {
    constexpr std::string_view scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) return std::nullopt;
    const size_t slash = url.find('/', scheme.size());
    const std::string authority = url.substr(scheme.size(), slash - scheme.size());
    const size_t colon = authority.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string address = authority.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    const std::string_view portText = std::string_view(authority).substr(colon + 1);
    unsigned port = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (error != std::errc() || end != portText.data() + portText.size() || port == 0 ||
        port > 65535) {
        return std::nullopt;
    }
    boost::system::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    // An IPv6 address only in brackets: without them the Host header would be ambiguous.
    if (ec || (ip.is_v6() && authority.front() != '[')) return std::nullopt;
    Destination destination{tcp::endpoint(ip, static_cast<unsigned short>(port)), authority,
                            slash == std::string::npos ? "/" : url.substr(slash)};
    if (!plainText(destination.host) || !plainText(destination.target)) return std::nullopt;
    return destination;
}

Clock::duration durationOf(double seconds) {
    // Far enough to mean "never" and small enough not to overflow the clock.
    const double bounded = std::clamp(seconds, 0.0, 365.0 * 24 * 3600);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
}

/// One request and its answer on one connection: connect, send, read until the answer is
/// complete. Every step is bounded by the request's deadline and, when it has one, by its idle
/// limit counted from the last step that made progress. Kept alive by its pending handlers;
/// when the I/O context goes away first, it goes with it and its completion never runs.
class Exchange : public std::enable_shared_from_this<Exchange> {
public:
    using Done = std::function<void(HttpResponse)>;

    Exchange(asio::io_context& io, const HttpRequest& request, Done done)
        : stream_(io.get_executor()),
          buffer_(kMaxBufferedBytes),
          deadline_(Clock::now() + durationOf(request.timeout)),
          idle_(request.idleTimeout > 0 ? std::optional(durationOf(request.idleTimeout))
                                        : std::nullopt),
          head_(request.method == "HEAD"),
          done_(std::move(done)) {
        newParser();
        destination_ = destinationOf(request.url);
        if (!head_ && request.method != "GET") destination_.reset();
        if (destination_) {
            // A request without a body is its head alone, and every part of it has been
            // checked: a method of two, a target without spaces or controls, a numeric host.
            // Written as text, it spares the process Beast's general message serializer.
            request_ = std::string(head_ ? "HEAD " : "GET ") + destination_->target +
                       " HTTP/1.1\r\nHost: " + destination_->host + "\r\nConnection: close\r\n\r\n";
        }
    }

    void start() {
        if (!destination_) {
            // Not an address this client can reach: the request fails, as one that finds no
            // server does, and its completion still runs from the I/O context.
            asio::post(stream_.get_executor(), [self = shared_from_this()] { self->finish({}); });
            return;
        }
        armTimer();
        stream_.async_connect(destination_->endpoint,
                              [self = shared_from_this()](beast::error_code ec) {
                                  if (ec) return self->finish({});
                                  self->send();
                              });
    }

private:
    void newParser() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
        parser_->body_limit(kMaxBodyBytes);
        // An answer to HEAD has no body, whatever its Content-Length says.
        parser_->skip(head_);
    }

    void armTimer() {
        Clock::time_point until = deadline_;
        if (idle_) until = std::min(until, Clock::now() + *idle_);
        stream_.expires_at(until);
    }

    void send() {
        armTimer();
        asio::async_write(stream_, asio::buffer(request_),
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                              if (ec) return self->finish({});
                              self->receive();
                          });
    }

    void receive() {
        armTimer();
        http::async_read_some(stream_, buffer_, *parser_,
                              [self = shared_from_this()](beast::error_code ec, size_t) {
                                  if (ec) return self->finish({});
                                  if (!self->parser_->is_done()) return self->receive();
                                  auto& message = self->parser_->get();
                                  if (message.result_int() / 100 == 1) return self->interim();
                                  HttpResponse response;
                                  response.answered = true;
                                  response.status = static_cast<long>(message.result_int());
                                  response.body = std::move(message.body());
                                  self->finish(std::move(response));
                              });
    }

    /// After an interim answer (100 Continue and the like) the real one follows on the same
    /// connection, under the same deadline. After 101 no HTTP answer follows at all.
    void interim() {
        if (parser_->get().result_int() == 101) return finish({});
        newParser();
        receive();
    }

    void finish(HttpResponse response) {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        if (Done done = std::exchange(done_, nullptr)) done(std::move(response));
    }

    Stream stream_;
    beast::flat_buffer buffer_;
    std::string request_;
    std::optional<http::response_parser<http::string_body>> parser_;
    std::optional<Destination> destination_;
    Clock::time_point deadline_;
    std::optional<Clock::duration> idle_;
    bool head_;
    Done done_;
};

}  // namespace

HttpResponse httpRequest(const HttpRequest& request) {
    HttpResponse response;
    try {
        // Everything runs on the calling thread: no other thread is started for one request.
        asio::io_context io(1);
        std::make_shared<Exchange>(io, request, [&response](HttpResponse r) {
            response = std::move(r);
        })->start();
        io.run();
    } catch (...) {
        // Only resource exhaustion (no descriptor for the I/O context, no memory) gets here;
        // it is a failed request like any other.
        return {};
    }
    return response;
}

struct HttpWorker::Loop {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::thread thread;
};

HttpWorker::HttpWorker() : loop_(std::make_unique<Loop>()) {
    loop_->thread = std::thread([&io = loop_->io] {
        for (;;) {
            try {
                io.run();  // returns only when the worker stops it
                return;
            } catch (...) {
                // A completion that threw: the other requests go on.
            }
        }
    });
}

HttpWorker::~HttpWorker() {
    loop_->io.stop();
    loop_->thread.join();
    // Destroying the I/O context closes the connections still open and drops their
    // completions unrun.
    loop_.reset();
}

void HttpWorker::submit(HttpRequest request, Completion completion) {
    asio::post(loop_->io, [&io = loop_->io, request = std::move(request),
                           completion = std::move(completion)]() mutable {
        std::make_shared<Exchange>(io, request, std::move(completion))->start();
    });
}

}  // namespace tessaway
