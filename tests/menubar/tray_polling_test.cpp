#include <QAction>
#include <QCoreApplication>
#include <QMenu>

#include <chrono>
#include <thread>

#include "identity.h"
#include "tray_test_fixture.h"

namespace tessaway {
namespace {

using Args = std::vector<std::string>;
using testing::TrayTest;

const std::string kPing = "/api/ping";
const std::string kSetup = "/api/setup/status";

TEST_F(TrayTest, LaunchWithTheAgentNotLoadedIsPausedBeforeTheHandlerReturns) {
    launch();  // no event is processed between the handler and these checks
    EXPECT_EQ(statusRow()->text(), "Tessaway Server: Paused");
    EXPECT_FALSE(openRow()->isEnabled());
    EXPECT_TRUE(tray->dimmed());
    EXPECT_EQ(launchctl.calls, (std::vector<Args>{{"print", serverTarget()}}));
    spin(0.2);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TrayTest, LaunchWithTheAgentLoadedIsStartingUntilTheFirstAnswer) {
    loadServer();
    server.setResponse("GET", kPing, 200, "", 0.4);
    server.setResponse("GET", kSetup, 200, R"({"claimed":true,"server_name":"Den"})");
    launch();
    EXPECT_EQ(statusRow()->text(), "Tessaway Server: Starting\u2026");
    EXPECT_TRUE(openRow()->isEnabled());
    EXPECT_FALSE(tray->dimmed());
    spin(0.2);
    EXPECT_EQ(snap().state, ServerState::starting);  // the answer is still on its way

    ASSERT_TRUE(waitUntil([&] { return snap().name.has_value(); }));
    EXPECT_EQ(snap().state, ServerState::running);
    EXPECT_EQ(detailRow()->text(), "Den \u00B7 linked to Tessaway Connect");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method + " " + requests[0].path, "GET " + kPing);
    EXPECT_EQ(requests[1].method + " " + requests[1].path, "GET " + kSetup);
    // One question to the service manager per poll; the port comes from the definition.
    EXPECT_EQ(launchctl.calls, (std::vector<Args>{{"print", serverTarget()}}));
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
                                           PingCase{"not_found", 404, ServerState::starting},
                                           PingCase{"unavailable", 503, ServerState::starting},
                                           PingCase{"dropped", 0, ServerState::starting}),
                         testing::CaseName());

TEST_F(TrayTest, AgentUnloadedFromOutsideShowsPausedAtOnceWhenTheMenuOpens) {
    loadServer();
    server.setResponse("GET", kPing, 200);
    server.setResponse("GET", kSetup, 200, R"({"claimed":true,"server_name":"Den"})");
    launch();
    ASSERT_TRUE(waitUntil([&] { return snap().name.has_value(); }));
    const size_t requestsBefore = server.requests().size();

    unloadServer();
    menu()->popup(QPoint(10, 10));
    EXPECT_EQ(snap().state, ServerState::paused);
    EXPECT_EQ(statusRow()->text(), "Tessaway Server: Paused");
    EXPECT_EQ(detailRow()->text(), "Sharing is off until you resume it");
    EXPECT_TRUE(loginRow()->isChecked());  // no override: start at login is on
    menu()->hide();
    spin(0.2);
    EXPECT_EQ(server.requests().size(), requestsBefore);
}

struct SetupCase {
    std::string name;
    int status;  ///< 0: the connection is closed without an answer
    std::string body;
    std::optional<bool> claimed;
    std::optional<std::string> serverName;
    std::optional<bool> configured;
};

class SetupStatusTest : public TrayTest, public ::testing::WithParamInterface<SetupCase> {};

TEST_P(SetupStatusTest, ReplacesTheThreeFactsAndKeepsTheState) {
    const SetupCase& c = GetParam();
    loadServer();
    server.setResponse("GET", kPing, 200);
    server.setResponse("GET", kSetup, c.status, c.body);
    tray->poll();
    ASSERT_TRUE(waitUntil([&] { return deliveries >= 2; }));  // the ping, then the setup status
    EXPECT_EQ(snap().state, ServerState::running);
    EXPECT_EQ(snap().claimed, c.claimed);
    EXPECT_EQ(snap().name, c.serverName);
    EXPECT_EQ(snap().configured, c.configured);
}

// The body alone counts, whatever the status; how a body is read is the setup status' own test.
INSTANTIATE_TEST_SUITE_P(Bodies, SetupStatusTest,
                         ::testing::Values(SetupCase{"error_status_with_object", 500,
                                                     R"({"claimed":true,"configured":false})", true,
                                                     std::nullopt, false},
                                           SetupCase{"no_answer", 0, "", std::nullopt, std::nullopt,
                                                     std::nullopt}),
                         testing::CaseName());

TEST_F(TrayTest, SetupStatusUsesThePortOfThePing) {
    loadServer();
    server.setResponse("GET", kPing, 200, "", 0.4);
    server.setResponse("GET", kSetup, 200, R"({"server_name":"Den"})");
    tray->poll();
    ASSERT_TRUE(server.waitForRequests(1, 15.0));
    installServerDefinition(1);  // the configured port moves on while the ping is out
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
    EXPECT_EQ(statusRow()->text(), "Tessaway Server: Paused");
    EXPECT_EQ(server.requestCount("GET", kSetup), 0u);
}

TEST_F(TrayTest, OpeningTheMenuRefreshesTheCheckMarkBeforeAnyAnswer) {
    launch();
    loadServer();
    launchctl.printDisabledOutput =
        "disabled services = {\n\t\"com.quorvel.tessaway-server\" => disabled\n}\n";
    server.setResponse("GET", kPing, 200, "", 0.5);
    loginRow()->setChecked(true);
    const size_t before = launchctl.calls.size();

    menu()->popup(QPoint(10, 10));
    EXPECT_FALSE(loginRow()->isChecked());
    EXPECT_EQ(callsSince(before),
              (std::vector<Args>{{"print-disabled", domain}, {"print", serverTarget()}}));
    EXPECT_EQ(snap().state, ServerState::paused);  // this poll's answer has not come yet
    ASSERT_TRUE(waitUntil([&] { return snap().state == ServerState::running; }));
    menu()->hide();
}

TEST_F(TrayTest, AnAnswerForATrayThatIsGoneIsDropped) {
    loadServer();
    server.setResponse("GET", kPing, 200);
    tray->poll();
    ASSERT_TRUE(server.waitForRequests(1, 15.0));
    // Give the answer time to come back and its continuation time to be queued, without
    // running the event loop; then the Tray goes away before the continuation runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
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
    ASSERT_TRUE(server.waitForRequests(2, 15.0));
    const auto start = std::chrono::steady_clock::now();
    tray.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    spin(0.1);
}

}  // namespace
}  // namespace tessaway
