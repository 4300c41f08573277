#include "core/probe/server_probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "core/identity.h"
#include "core/probe/http_client.h"
#include "tests/doubles/temp_home.h"
#include "tests/doubles/test_http_server.h"

namespace tessaway {
namespace {

using testing::TestHttpServer;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/// A port on 127.0.0.1 where nothing listens.
int64_t deadPort() {
    auto server = std::make_unique<TestHttpServer>();
    const int64_t port = server->port();
    server.reset();
    return port;
}

class ServerProbeTest : public testing::HomeTest {
protected:
    ServerProbeTest() { testing::installServerDefinition(server.port()); }
    TestHttpServer server;
};

struct JsonCase {
    const char* name;
    int status;
    std::string body;
    bool ok;
    bool hasObject;
};

class GetJsonTest : public ServerProbeTest, public ::testing::WithParamInterface<JsonCase> {};

TEST_P(GetJsonTest, OkAndObjectAreIndependent) {
    server.setResponse("GET", "/api/setup/status", {GetParam().status, GetParam().body});
    const JsonResult r = getJSON("/api/setup/status", 3.0);
    EXPECT_EQ(r.ok, GetParam().ok);
    ASSERT_EQ(r.obj.has_value(), GetParam().hasObject);
    if (r.obj) {
        EXPECT_EQ(r.obj->dump(), nlohmann::json::parse(GetParam().body).dump());
    }
    EXPECT_EQ(server.requestCount("GET", "/api/setup/status"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GetJsonTest,
    ::testing::Values(JsonCase{"ok_object", 200, R"({"claimed":false})", true, true},
                      JsonCase{"ok_empty_body", 200, "", true, false},
                      JsonCase{"ok_not_json", 200, "pong", true, false},
                      JsonCase{"ok_array", 200, "[1,2]", true, false},
                      JsonCase{"error_status_with_object", 500, R"({"error":"x"})", false, true},
                      JsonCase{"error_status_with_text", 404, "not here", false, false},
                      JsonCase{"no_content", 204, "", false, false}),
    testing::CaseName());

TEST_F(ServerProbeTest, NoConnectionGivesNothing) {
    testing::installServerDefinition(deadPort());
    const JsonResult r = getJSON("/api/ping", 3.0);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.obj.has_value());
}

TEST_F(ServerProbeTest, AnUnansweredRequestEndsAtItsTimeOut) {
    server.setResponse("GET", "/api/ping", {200, "{}", 10.0});
    const auto start = Clock::now();
    const JsonResult r = getJSON("/api/ping", 0.5);
    EXPECT_LT(secondsSince(start), 5.0);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.obj.has_value());
}

TEST_F(ServerProbeTest, ABodyOverTheCapIsAFailedRequest) {
    server.setResponse("GET", "/big", {200, "\"" + std::string(kMaxBodyBytes, 'x') + "\""});
    const std::string fits = "{\"k\":\"" + std::string(kMaxBodyBytes - 16, 'x') + "\"}";
    server.setResponse("GET", "/fits", {200, fits});
    const JsonResult big = getJSON("/big", 3.0);
    EXPECT_FALSE(big.ok);
    EXPECT_FALSE(big.obj.has_value());
    const JsonResult small = getJSON("/fits", 3.0);
    EXPECT_TRUE(small.ok);
    EXPECT_TRUE(small.obj.has_value());
}

TEST_F(ServerProbeTest, EachCallReadsThePortAnew) {
    TestHttpServer other;
    other.setResponse("GET", "/api/ping", {200, ""});
    server.setResponse("GET", "/api/ping", {200, ""});
    EXPECT_TRUE(getJSON("/api/ping", 3.0).ok);
    testing::installServerDefinition(other.port());
    EXPECT_TRUE(getJSON("/api/ping", 3.0).ok);
    EXPECT_EQ(server.requestCount("GET", "/api/ping"), 1u);
    EXPECT_EQ(other.requestCount("GET", "/api/ping"), 1u);
}

TEST_F(ServerProbeTest, AProxyInTheEnvironmentIsNeverUsed) {
    testing::ScopedEnv a("http_proxy", "http://127.0.0.1:" + std::to_string(deadPort()));
    testing::ScopedEnv b("HTTP_PROXY", "http://127.0.0.1:" + std::to_string(deadPort()));
    testing::ScopedEnv c("ALL_PROXY", "http://127.0.0.1:" + std::to_string(deadPort()));
    server.setResponse("GET", "/api/ping", {200, ""});
    EXPECT_TRUE(getJSON("/api/ping", 3.0).ok);
}

TEST_F(ServerProbeTest, WaitReturnsAfterTheFirstHeadAnsweredWith200) {
    server.setResponse("HEAD", "/api/ping", {200, ""});
    waitForServer(20);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].method, "HEAD");
}

TEST_F(ServerProbeTest, WaitWithNoTimeLeftMakesNoRequest) {
    server.setResponse("HEAD", "/api/ping", {200, ""});
    waitForServer(0);
    waitForServer(-5);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(ServerProbeTest, OnlyAHeadAnsweredWith200CountsAsReady) {
    server.setResponse("HEAD", "/api/ping", {405, ""});
    server.setResponse("GET", "/api/ping", {200, ""});
    const auto start = Clock::now();
    waitForServer(1.2);
    EXPECT_GE(secondsSince(start), 1.2);
    const auto seen = server.requests();
    ASSERT_GE(seen.size(), 2u);  // about every 0.5 seconds until the deadline
    for (const auto& r : seen)
        EXPECT_EQ(r.method, "HEAD");
}

TEST_F(ServerProbeTest, APingSlowerThanOneSecondIsNeverReadyButGetJsonSeesIt) {
    server.setResponse("HEAD", "/api/ping", {200, "", 1.4});
    server.setResponse("GET", "/api/ping", {200, "", 1.4});
    const auto start = Clock::now();
    waitForServer(0.8);
    EXPECT_GE(secondsSince(start), 0.8);
    EXPECT_EQ(server.requestCount("HEAD", "/api/ping"), 1u);  // no attempt after the deadline
    EXPECT_TRUE(getJSON("/api/ping", 3.0).ok);
}

TEST_F(ServerProbeTest, ARunningWaitKeepsThePortItStartedWith) {
    TestHttpServer other;
    other.setResponse("HEAD", "/api/ping", {200, ""});
    server.setResponse("HEAD", "/api/ping", {503, ""});
    auto swap = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        testing::installServerDefinition(other.port());
    });
    waitForServer(1.5);
    swap.get();
    EXPECT_GE(server.requestCount("HEAD", "/api/ping"), 2u);
    EXPECT_EQ(other.requests().size(), 0u);
}

TEST(HttpWorkerTest, RequestsRunSideBySideAndCompleteInArrivalOrder) {
    TestHttpServer server;
    server.setResponse("GET", "/slow", {200, "slow", 2.0});
    server.setResponse("GET", "/fast", {200, "fast"});
    std::mutex mutex;
    std::vector<std::string> order;
    std::promise<void> bothDone;
    {
        HttpWorker worker;
        auto record = [&](HttpResponse r) {
            std::lock_guard lock(mutex);
            order.push_back(r.body.value_or("-"));
            if (order.size() == 2) bothDone.set_value();
        };
        const std::string base = probeBase(server.port());
        worker.submit({"GET", base + "/slow", 10.0, 10.0}, record);
        worker.submit({"GET", base + "/fast", 10.0, 10.0}, record);
        ASSERT_EQ(bothDone.get_future().wait_for(std::chrono::seconds(30)),
                  std::future_status::ready);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"fast", "slow"}));
}

TEST(HttpWorkerTest, DestroyingTheWorkerAbandonsWhatIsInFlight) {
    TestHttpServer server;
    server.setResponse("GET", "/never", {200, "", 60.0});
    bool called = false;
    const auto start = Clock::now();
    {
        HttpWorker worker;
        worker.submit({"GET", probeBase(server.port()) + "/never", 30.0, 2.0},
                      [&](HttpResponse) { called = true; });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_LT(secondsSince(start), 5.0);
    EXPECT_FALSE(called);
}

}  // namespace
}  // namespace tessaway
