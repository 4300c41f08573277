#include "core/probe/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <tuple>

#include "tests/doubles/test_http_server.h"

namespace tessaway {
namespace {

using testing::TestHttpServer;
using Then = TestHttpServer::Then;
using Clock = std::chrono::steady_clock;

/// What a local server may send, and what the client must make of it. Limits in a row are
/// chosen so that the failing one is far from the others: a row that fails at its idle limit
/// has a total limit many times longer, and the other way round.
struct ExchangeCase {
    const char* name;
    TestHttpServer::Response script;
    HttpRequest request;  ///< `url` is filled in by the test
    bool answered;
    long status = 0;
    std::string body = {};
    double atLeast = 0;   ///< the request may not end sooner (seconds)
    double atMost = 5.0;  ///< nor later
};

std::string headerBlock(size_t bytes) {
    std::string block = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n";
    while (block.size() < bytes)
        block += "X-Filler: " + std::string(90, 'x') + "\r\n";
    return block + "\r\n{}";
}

const std::string kHead = "HTTP/1.1 200 OK\r\n";
const HttpRequest kQuick{"GET", "", 20.0, 0.0};

const ExchangeCase kCases[] = {
    {"chunked_body",
     TestHttpServer::Response::verbatim(
         kHead + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
         Then::hold),
     kQuick, true, 200, "hello world"},
    {"body_ended_by_close",
     TestHttpServer::Response::verbatim(kHead + "Connection: close\r\n\r\nuntil the end"), kQuick,
     true, 200, "until the end"},
    {"keep_alive_answer_left_open",
     TestHttpServer::Response::verbatim(
         kHead + "Connection: keep-alive\r\nContent-Length: 2\r\n\r\n{}", Then::hold),
     kQuick, true, 200, "{}"},
    {"error_status_with_chunked_body",
     TestHttpServer::Response::verbatim(
         "HTTP/1.1 503 Busy\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbusy\r\n0\r\n\r\n"),
     kQuick, true, 503, "busy"},
    {"head_answer_with_length_but_no_body",
     TestHttpServer::Response::verbatim(kHead + "Content-Length: 99\r\n\r\n", Then::hold),
     {"HEAD", "", 20.0, 0.0},
     true,
     200,
     ""},
    {"header_block_under_the_limit",
     TestHttpServer::Response::verbatim(headerBlock(kMaxHeaderBytes - 2048), Then::hold), kQuick,
     true, 200, "{}"},
    {"header_block_over_the_limit",
     TestHttpServer::Response::verbatim(headerBlock(kMaxHeaderBytes + 2048), Then::hold), kQuick,
     false},
    {"ten_mib_of_headers",
     TestHttpServer::Response::verbatim(kHead, Then::flood,
                                        "X-Filler: " + std::string(90, 'x') + "\r\n"),
     kQuick, false},
    {"headers_then_silence_fails_at_the_idle_limit",
     TestHttpServer::Response::verbatim(kHead + "Content-Length: 10\r\n\r\n", Then::hold),
     {"GET", "", 20.0, 0.5},
     false,
     0,
     "",
     0.45,
     5.0},
    {"silence_before_headers_fails_at_the_idle_limit",
     TestHttpServer::Response{200, "{}", 30.0},
     {"GET", "", 20.0, 0.5},
     false,
     0,
     "",
     0.45,
     5.0},
    {"never_ending_trickle_fails_at_the_total_limit",
     TestHttpServer::Response::verbatim(kHead + "Content-Length: 1000000\r\n\r\n", Then::trickle,
                                        "x"),
     {"GET", "", 1.5, 1.0},
     false,
     0,
     "",
     1.4,
     6.0},
    {"never_ending_body_fails_at_the_size_limit",
     TestHttpServer::Response::verbatim(kHead + "\r\n", Then::flood, std::string(4096, 'x')),
     kQuick, false},
    {"interim_answers_before_the_answer",
     TestHttpServer::Response::verbatim("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n"
                                        "X-Note: busy\r\n\r\n" +
                                            kHead + "Content-Length: 2\r\n\r\n{}",
                                        Then::hold),
     kQuick, true, 200, "{}"},
    {"interim_answer_to_head",
     TestHttpServer::Response::verbatim(
         "HTTP/1.1 100 Continue\r\n\r\n" + kHead + "Content-Length: 99\r\n\r\n", Then::hold),
     {"HEAD", "", 20.0, 0.0},
     true,
     200,
     ""},
    {"switching_protocols_is_no_answer",
     TestHttpServer::Response::verbatim(
         "HTTP/1.1 101 Switching Protocols\r\n\r\n" + kHead + "Content-Length: 2\r\n\r\n{}",
         Then::hold),
     kQuick, false},
    {"garbage_status_line",
     TestHttpServer::Response::verbatim("SSH-2.0-OpenSSH_9.2\r\n\r\n", Then::hold), kQuick, false},
    {"negative_content_length",
     TestHttpServer::Response::verbatim(kHead + "Content-Length: -5\r\n\r\nabc", Then::hold),
     kQuick, false},
    {"huge_content_length",
     TestHttpServer::Response::verbatim(
         kHead + "Content-Length: 99999999999999999999999\r\n\r\nabc", Then::hold),
     kQuick, false},
    {"content_length_over_the_body_limit",
     TestHttpServer::Response::verbatim(kHead + "Content-Length: 2000000\r\n\r\nabc", Then::hold),
     kQuick, false},
    {"chunk_size_over_the_body_limit",
     TestHttpServer::Response::verbatim(kHead + "Transfer-Encoding: chunked\r\n\r\nfffffff\r\nab",
                                        Then::hold),
     kQuick, false},
    {"reset_in_the_middle_of_the_body",
     TestHttpServer::Response::verbatim(kHead + "Content-Length: 100\r\n\r\nabc", Then::reset),
     kQuick, false},
    {"close_in_the_middle_of_the_body",
     TestHttpServer::Response::verbatim(kHead + "Content-Length: 100\r\n\r\nabc"), kQuick, false},
};

enum class Caller { blocking, worker };

class HttpClientTest : public ::testing::TestWithParam<std::tuple<ExchangeCase, Caller>> {};

HttpResponse send(const HttpRequest& request, Caller caller) {
    if (caller == Caller::blocking) return httpRequest(request);
    HttpWorker worker;
    std::promise<HttpResponse> outcome;
    worker.submit(request, [&outcome](HttpResponse r) { outcome.set_value(std::move(r)); });
    auto future = outcome.get_future();
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "the worker never completed the request";
        return {};
    }
    return future.get();
}

TEST_P(HttpClientTest, EndsAsTheAnswerDeserves) {
    const auto& [row, caller] = GetParam();
    TestHttpServer server;
    server.setResponse(row.request.method, "/x", row.script);
    HttpRequest request = row.request;
    request.url = "http://127.0.0.1:" + std::to_string(server.port()) + "/x";

    const auto start = Clock::now();
    const HttpResponse response = send(request, caller);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();

    EXPECT_EQ(response.answered, row.answered);
    EXPECT_EQ(response.status, row.status);
    if (row.answered) {
        EXPECT_EQ(response.body, row.body);
    } else {
        EXPECT_FALSE(response.body.has_value());
    }
    EXPECT_GE(took, row.atLeast);
    EXPECT_LE(took, row.atMost);
}

INSTANTIATE_TEST_SUITE_P(Table, HttpClientTest,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(Caller::blocking, Caller::worker)),
                         [](const ::testing::TestParamInfo<HttpClientTest::ParamType>& row) {
                             return std::string(std::get<0>(row.param).name) +
                                    (std::get<1>(row.param) == Caller::blocking ? "_blocking"
                                                                                : "_worker");
                         });

TEST(HttpClientRequestTest, SendsOnePlainHttp11RequestThatClosesTheConnection) {
    TestHttpServer server;
    server.setResponse("HEAD", "/api/ping", {200});
    const std::string authority = "127.0.0.1:" + std::to_string(server.port());
    EXPECT_TRUE(httpRequest({"HEAD", "http://" + authority + "/api/ping", 3.0, 0.0}).answered);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].head,
              "HEAD /api/ping HTTP/1.1\r\nHost: " + authority + "\r\nConnection: close\r\n\r\n");
}

TEST(HttpClientRequestTest, AnAddressItCannotReachFailsWithoutARequest) {
    TestHttpServer server;
    const std::string port = std::to_string(server.port());
    for (const std::string& url : std::vector<std::string>{
             "https://127.0.0.1:" + port + "/", "http://localhost:" + port + "/",
             "http://127.0.0.1/", "http://127.0.0.1:99999/", "http://127.0.0.1:" + port + "/a b",
             "http://127.0.0.1:" + port + "/a\r\nX: y", "ftp://127.0.0.1:" + port + "/",
             "http://::1:" + port + "/"}) {
        EXPECT_FALSE(httpRequest({"GET", url, 3.0, 0.0}).answered) << url;
    }
    EXPECT_FALSE(httpRequest({"POST", "http://127.0.0.1:" + port + "/", 3.0, 0.0}).answered);
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace tessaway
