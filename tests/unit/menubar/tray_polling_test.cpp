#include <QAction>
#include <QCoreApplication>
#include <QMenu>

#include <chrono>
#include <thread>

#include "core/identity.h"
#include "tests/unit/menubar/tray_test_fixture.h"

namespace tessaway {
namespace {

using testing::TrayTest;

const std::string kPing = "/api/ping";
const std::string kSetup = "/api/setup/status";

TEST_F(TrayTest, LaunchWithTheAgentNotLoadedIsPausedBeforeTheHandlerReturns) {
    launch();  // no event is processed between the handler and these checks
    EXPECT_EQ(statusRow()->text(), "Tessaway Server: Paused");
    EXPECT_TRUE(tray->dimmed());
    EXPECT_EQ(launchctl.calls, pollCalls());
    spin(0.2);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TrayTest, LaunchWithTheAgentLoadedIsStartingUntilTheFirstAnswer) {
    loadServer();
    server.setResponse("GET", kPing, 200, "", 0.4);
    server.setResponse("GET", kSetup, 200, R"({"claimed":true,"server_name":"Den"})");
    launch();
    EXPECT_TRUE(rowsShowTheSnapshot());
    EXPECT_FALSE(tray->dimmed());
    spin(0.2);
    EXPECT_EQ(snap().state, ServerState::starting);  // the answer is still on its way

    ASSERT_TRUE(waitUntil([&] { return snap().name.has_value(); }));
    EXPECT_EQ(snap().state, ServerState::running);
    EXPECT_EQ(snap().claimed, true);
    EXPECT_TRUE(rowsShowTheSnapshot());
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method + " " + requests[0].path, "GET " + kPing);
    EXPECT_EQ(requests[1].method + " " + requests[1].path, "GET " + kSetup);
    // Two questions to the service manager per poll, the check mark and the agent; the port
    // comes from the definition.
    EXPECT_EQ(launchctl.calls, pollCalls());
}

struct PingCase {
    std::string name;
    int status;  ///< 0: the connection is closed without an answer
    ServerState expected;
};

class PingAnswerTest : public TrayTest, public ::testing::WithParamInterface<PingCase> {};

TEST_P(PingAnswerTest, OnlyStatus200CountsAsAnAnswer) {
    loadServer();
    server.setResponse("GET", kPing, GetParam().status);
    tray->poll();
    ASSERT_TRUE(waitUntil([&] { return deliveries > 0; }));
    EXPECT_EQ(snap().state, GetParam().expected);
    if (GetParam().expected == ServerState::running) {
        EXPECT_FALSE(unansweredSince());
    } else {
        EXPECT_EQ(unansweredSince(), clock);
        EXPECT_EQ(server.requestCount("GET", kSetup), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Statuses, PingAnswerTest,
                         ::testing::Values(PingCase{"ok", 200, ServerState::running},
                                           PingCase{"no_content", 204, ServerState::starting},
                                           PingCase{"unavailable", 503, ServerState::starting},
                                           PingCase{"dropped", 0, ServerState::starting}),
                         testing::CaseName());

// The body alone counts, whatever the status; how a body is read is the setup status' own test.
TEST_F(TrayTest, TheSetupStatusBodyReplacesTheFactsAndNoAnswerClearsThem) {
    loadServer();
    server.setResponse("GET", kPing, 200);
    server.setResponse("GET", kSetup, 500, R"({"claimed":true,"configured":false})");
    tray->poll();
    ASSERT_TRUE(waitUntil([&] { return deliveries >= 2; }));  // the ping, then the setup status
    EXPECT_EQ(snap().claimed, true);
    EXPECT_EQ(snap().configured, false);
    server.setResponse("GET", kSetup, 0);  // the connection closes without an answer
    tray->poll();
    ASSERT_TRUE(waitUntil([&] { return deliveries >= 4; }));
    EXPECT_EQ(snap().state, ServerState::running);
    EXPECT_FALSE(snap().claimed);
    EXPECT_FALSE(snap().configured);
}

TEST_F(TrayTest, SetupStatusUsesThePortOfThePing) {
    loadServer();
    server.setResponse("GET", kPing, 200, "", 0.4);
    server.setResponse("GET", kSetup, 200, R"({"server_name":"Den"})");
    tray->poll();
    ASSERT_TRUE(server.waitForRequests(1, 15.0));
    testing::installServerDefinition(1);  // the configured port moves on while the ping is out
    ASSERT_TRUE(waitUntil([&] { return snap().name.has_value(); }));
    EXPECT_EQ(snap().name, "Den");
    EXPECT_EQ(server.requestCount("GET", kSetup), 1u);
}

// Which answer is out of date is the monitor's rule; here, that each ping carries its ticket.
TEST_F(TrayTest, APingAnsweredAfterAPauseIsDropped) {
    loadServer();
    server.setResponse("GET", kPing, 200, "", 0.4);
    launch();
    ASSERT_TRUE(server.waitForRequests(1, 15.0));
    tray->togglePause();  // no answer can be applied before this: no event has run yet
    ASSERT_TRUE(waitUntil([&] { return deliveries >= 1; }));
    EXPECT_EQ(snap().state, ServerState::paused);
    EXPECT_TRUE(rowsShowTheSnapshot());
    EXPECT_EQ(server.requestCount("GET", kSetup), 0u);
}

TEST_F(TrayTest, OpeningTheMenuRefreshesTheCheckMarkAndShowsAnUnloadedAgentAtOnce) {
    loadServer();
    server.setResponse("GET", kPing, 200);
    server.setResponse("GET", kSetup, 200, R"({"claimed":true,"server_name":"Den"})");
    launch();
    ASSERT_TRUE(waitUntil([&] { return snap().name.has_value(); }));
    launchctl.overrides[serverLabel] = false;
    loginRow()->setChecked(true);
    const size_t before = launchctl.calls.size();
    const size_t requestsBefore = server.requests().size();

    unloadServer();  // from outside
    menu()->popup(QPoint(10, 10));
    EXPECT_FALSE(loginRow()->isChecked());
    EXPECT_EQ(callsSince(before), pollCalls());
    EXPECT_EQ(snap().state, ServerState::paused);
    EXPECT_FALSE(snap().name);
    EXPECT_TRUE(rowsShowTheSnapshot());
    menu()->hide();
    spin(0.2);
    EXPECT_EQ(server.requests().size(), requestsBefore);  // decided without asking the server
}

TEST_F(TrayTest, AnAnswerForATrayThatIsGoneIsDropped) {
    loadServer();
    server.setResponse("GET", kPing, 200);
    tray->poll();
    ASSERT_TRUE(server.waitForRequests(1, 30.0));
    // Give the answer time to come back and its continuation time to be queued, without
    // running the event loop; then the Tray goes away before the continuation runs. Nothing
    // can be polled for here without running the loop, so the wait is a generous fixed one.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    tray.reset();
    spin(0.2);
    EXPECT_EQ(deliveries, 1);  // it ran, found no Tray, and sent no setup-status request
    EXPECT_EQ(server.requestCount("GET", kSetup), 0u);
}

TEST_F(TrayTest, ATrayGoneWithRequestsInFlightLeavesQuietly) {
    loadServer();
    server.setResponse("GET", kPing, 200, "", 30.0);
    tray->poll();
    tray->poll();
    ASSERT_TRUE(server.waitForRequests(2, 30.0));
    const auto start = std::chrono::steady_clock::now();
    tray.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    spin(0.1);
}

}  // namespace
}  // namespace tessaway
