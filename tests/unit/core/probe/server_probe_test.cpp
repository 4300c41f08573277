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

struct AnswerCase {
    const char* name;
    int status;
    std::string body;
    bool answered;      ///< the ping counts as answered
    bool claimedKnown;  ///< the setup status gave {"claimed": ...}
};

class AnswerTest : public ServerProbeTest, public ::testing::WithParamInterface<AnswerCase> {};

// The ping counts only a 200; the setup status is read from its body whatever the status. The
// blocking questions and the background ones agree.
TEST_P(AnswerTest, BothFormsTakeTheSameFromAnAnswer) {
    server.setResponse("GET", "/api/ping", {GetParam().status, GetParam().body});
    server.setResponse("GET", "/api/setup/status", {GetParam().status, GetParam().body});
    EXPECT_EQ(pingServer(), GetParam().answered);
    EXPECT_EQ(askSetupStatus().claimed.has_value(), GetParam().claimedKnown);

    std::promise<bool> pinged;
    std::promise<SetupFacts> asked;
    {
        ServerProbe probe;
        probe.ping(server.port(), [&](bool ok) { pinged.set_value(ok); });
        probe.askSetupStatus(server.port(), [&](SetupFacts facts) { asked.set_value(facts); });
        auto ping = pinged.get_future();
        auto status = asked.get_future();
        ASSERT_EQ(ping.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        ASSERT_EQ(status.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_EQ(ping.get(), GetParam().answered);
        EXPECT_EQ(status.get().claimed.has_value(), GetParam().claimedKnown);
    }
    EXPECT_EQ(server.requestCount("GET", "/api/ping"), 2u);
    EXPECT_EQ(server.requestCount("GET", "/api/setup/status"), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AnswerTest,
    ::testing::Values(AnswerCase{"ok_object", 200, R"({"claimed":false})", true, true},
                      AnswerCase{"ok_empty_body", 200, "", true, false},
                      AnswerCase{"ok_array", 200, "[1,2]", true, false},
                      AnswerCase{"error_status_with_object", 500, R"({"claimed":true})", false,
                                 true},
                      AnswerCase{"error_status_with_text", 404, "not here", false, false},
                      AnswerCase{"no_content", 204, "", false, false}),
    testing::CaseName());

TEST_F(ServerProbeTest, NoConnectionGivesNothing) {
    testing::installServerDefinition(deadPort());
    EXPECT_FALSE(pingServer());
    EXPECT_FALSE(askSetupStatus().claimed.has_value());
}

TEST_F(ServerProbeTest, AnUnansweredRequestEndsWithAFailure) {
    server.setResponse("GET", "/api/ping", {200, "{}", 20.0});
    EXPECT_FALSE(pingServer());  // waiting for the late 200 would have said true
}

TEST_F(ServerProbeTest, ABodyOverTheCapIsAFailedRequest) {
    server.setResponse(
        "GET", "/api/setup/status",
        {200, "{\"claimed\":true,\"k\":\"" + std::string(kMaxBodyBytes, 'x') + "\"}"});
    EXPECT_FALSE(askSetupStatus().claimed.has_value());
    server.setResponse(
        "GET", "/api/setup/status",
        {200, "{\"claimed\":true,\"k\":\"" + std::string(kMaxBodyBytes - 32, 'x') + "\"}"});
    EXPECT_EQ(askSetupStatus().claimed, std::optional<bool>(true));
}

TEST_F(ServerProbeTest, EachCallReadsThePortAnew) {
    TestHttpServer other;
    other.setResponse("GET", "/api/ping", {200, ""});
    server.setResponse("GET", "/api/ping", {200, ""});
    EXPECT_TRUE(pingServer());
    testing::installServerDefinition(other.port());
    EXPECT_TRUE(pingServer());
    EXPECT_EQ(server.requestCount("GET", "/api/ping"), 1u);
    EXPECT_EQ(other.requestCount("GET", "/api/ping"), 1u);
}

TEST_F(ServerProbeTest, AProxyInTheEnvironmentIsNeverUsed) {
    testing::ScopedEnv a("http_proxy", "http://127.0.0.1:" + std::to_string(deadPort()));
    testing::ScopedEnv b("HTTP_PROXY", "http://127.0.0.1:" + std::to_string(deadPort()));
    testing::ScopedEnv c("ALL_PROXY", "http://127.0.0.1:" + std::to_string(deadPort()));
    server.setResponse("GET", "/api/ping", {200, ""});
    EXPECT_TRUE(pingServer());
}

struct FactsCase {
    const char* name;
    std::string body;
    std::optional<bool> claimed;
    std::optional<std::string> serverName;
    std::optional<bool> configured;
};

class SetupFactsTest : public ::testing::TestWithParam<FactsCase> {};

TEST_P(SetupFactsTest, TakesEachFactOnlyWithItsJsonType) {
    const SetupFacts facts = setupFacts(GetParam().body);
    EXPECT_EQ(facts.claimed, GetParam().claimed);
    EXPECT_EQ(facts.name, GetParam().serverName);
    EXPECT_EQ(facts.configured, GetParam().configured);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetupFactsTest,
    ::testing::Values(
        FactsCase{"all_three", R"({"claimed":true,"server_name":"Den","configured":false})", true,
                  "Den", false},
        FactsCase{"mixed_object", R"({"claimed":true,"server_name":"","configured":"yes"})", true,
                  "", std::nullopt},
        FactsCase{"claimed_as_string", R"({"claimed":"true","server_name":"Den"})", std::nullopt,
                  "Den", std::nullopt},
        FactsCase{"numbers_are_not_booleans", R"({"claimed":1,"configured":0})", std::nullopt,
                  std::nullopt, std::nullopt},
        FactsCase{"name_not_a_string", R"({"server_name":42,"claimed":false})", false, std::nullopt,
                  std::nullopt},
        FactsCase{"null_values", R"({"claimed":null,"server_name":null})", std::nullopt,
                  std::nullopt, std::nullopt},
        FactsCase{"other_keys_ignored", R"({"x":1,"configured":true})", std::nullopt, std::nullopt,
                  true},
        FactsCase{"array", R"([{"claimed":true}])", std::nullopt, std::nullopt, std::nullopt},
        FactsCase{"not_json", "<html>", std::nullopt, std::nullopt, std::nullopt},
        FactsCase{"empty_body", "", std::nullopt, std::nullopt, std::nullopt},
        FactsCase{"bare_string", R"("claimed")", std::nullopt, std::nullopt, std::nullopt},
        FactsCase{"trailing_garbage", R"({"claimed":true} x)", std::nullopt, std::nullopt,
                  std::nullopt},
        FactsCase{"invalid_utf8_in_name", "{\"claimed\":true,\"server_name\":\"a\xFF\"}",
                  std::nullopt, std::nullopt, std::nullopt},
        FactsCase{"unicode_escape_name", R"({"server_name":"W\u00f6hnzimmer"})", std::nullopt,
                  "W\xC3\xB6hnzimmer", std::nullopt},
        // The name comes from outside: escapes, overrides and separators go where it enters.
        FactsCase{"control_characters_in_name",
                  R"({"server_name":"a\u001b[2Jb\u202ec\u2028\ud83d\udc68\u200d\ud83d\udc67"})",
                  std::nullopt, "a\uFFFD[2Jb\uFFFDc\uFFFD\U0001F468\u200D\U0001F467",
                  std::nullopt}),
    testing::CaseName());

TEST(SetupFactsDepthTest, DeeplyNestedBodyIsHandledWithoutCrashing) {
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_FALSE(setupFacts(deep).claimed.has_value());
    const std::string deepObject = "{\"a\":" + deep + ",\"claimed\":true}";
    EXPECT_EQ(setupFacts(deepObject).claimed, std::optional<bool>(true));
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

TEST_F(ServerProbeTest, APingSlowerThanOneSecondIsNeverReadyButAnsweredAsked) {
    server.setResponse("HEAD", "/api/ping", {200, "", 1.4});
    server.setResponse("GET", "/api/ping", {200, "", 1.4});
    const auto start = Clock::now();
    waitForServer(0.8);
    EXPECT_GE(secondsSince(start), 0.8);
    EXPECT_EQ(server.requestCount("HEAD", "/api/ping"), 1u);  // no attempt after the deadline
    EXPECT_TRUE(pingServer());
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
        worker.submit({"GET", probeBase(server.port()) + "/never", 30.0, 0.0},
                      [&](HttpResponse) { called = true; });
        ASSERT_TRUE(server.waitForRequests(1, 30.0));
    }
    EXPECT_LT(secondsSince(start), 15.0);  // not the request's own thirty seconds
    EXPECT_FALSE(called);
}

}  // namespace
}  // namespace tessaway
