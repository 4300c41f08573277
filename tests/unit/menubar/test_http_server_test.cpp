#include "tests/doubles/test_http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "core/probe/http_client.h"

namespace tessaway::testing {
namespace {

std::string url(const TestHttpServer& server, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(server.port()) + path;
}

HttpResponse get(const TestHttpServer& server, const std::string& path, double timeout = 3.0,
                 const std::string& method = "GET") {
    HttpRequest request;
    request.method = method;
    request.url = url(server, path);
    request.timeout = timeout;
    return httpRequest(request);
}

/// A client connection that sends nothing, or only part of a request.
int connectTo(const TestHttpServer& server) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

TEST(TestHttpServer, AnswersAsScriptedAndRecordsEveryRequest) {
    TestHttpServer server;
    server.setResponse("GET", "/a", 200, "{\"x\":1}");
    server.setResponse("HEAD", "/a", 405);
    server.setResponse("GET", "/b", TestHttpServer::Response{503, "busy", 0});

    HttpResponse a = get(server, "/a");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "{\"x\":1}");
    EXPECT_EQ(get(server, "/a", 3.0, "HEAD").status, 405);
    HttpResponse b = get(server, "/b");
    EXPECT_EQ(b.status, 503);
    EXPECT_EQ(b.body, "busy");
    EXPECT_EQ(get(server, "/elsewhere").status, 404);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].method, "HEAD");
    EXPECT_EQ(requests[1].path, "/a");
    EXPECT_EQ(requests[3].path, "/elsewhere");
    EXPECT_EQ(server.requestCount("GET", "/a"), 1u);
}

TEST(TestHttpServer, DelaysAndDropsAsScripted) {
    TestHttpServer server;
    server.setResponse("GET", "/slow", 200, "", 0.3);
    server.setResponse("GET", "/drop", 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get(server, "/slow").status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_FALSE(get(server, "/drop").answered);
    EXPECT_EQ(server.requestCount("GET", "/drop"), 1u);
}

TEST(TestHttpServer, StopsAtOnceWhateverTheClientsDo) {
    const auto start = std::chrono::steady_clock::now();
    int silent = -1, partial = -1;
    {
        TestHttpServer server;
        server.setResponse("GET", "/never", 200, "", 3600);
        silent = connectTo(server);
        partial = connectTo(server);
        const std::string half = "GET /never HTTP/1.1\r\nHost: x\r\n";
        ASSERT_EQ(write(partial, half.data(), half.size()), static_cast<ssize_t>(half.size()));
        HttpWorker worker;  // and one request that waits for its hour-long answer
        worker.submit({"GET", url(server, "/never"), 30.0, 0.0}, [](HttpResponse) {});
        ASSERT_TRUE(server.waitForRequests(1, 30.0));
    }
    // Far less than any of the waits it cut short, even on a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    close(silent);
    close(partial);
}

}  // namespace
}  // namespace tessaway::testing
