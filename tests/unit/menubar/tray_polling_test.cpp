#include <QAction>
#include <QCoreApplication>
#include <QMenu>

#include <chrono>
#include <thread>

#include "core/identity.h"
#include "tests/unit/menubar/tray_test_fixture.h"

namespace tessaway {
namespace {

using Args = std::vector<std::string>;
using testing::TrayTest;

const std::string kPing = "/api/ping";
const std::string kSetup = "/api/setup/status";

TEST_F(TrayTest, LaunchWithTheAgentNotLoadedIsPausedBeforeTheHandlerReturns) {
    launch();  // no event is processed between the handler and these checks
    EXPECT_EQ(tray->snap.state, ServerState::paused);
    EXPECT_EQ(tray->statusRow->text(), "Tessaway Server: Paused");
    EXPECT_EQ(tray->pauseRow->text(), "Resume Sharing");
    EXPECT_FALSE(tray->openRow->isEnabled());
    EXPECT_FALSE(tray->addRow->isEnabled());
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
    EXPECT_EQ(tray->statusRow->text(), "Tessaway Server: Starting\u2026");
    EXPECT_EQ(tray->detailRow->text(), "Waiting for the server to answer");
    EXPECT_TRUE(tray->detailRow->isVisible());
    EXPECT_EQ(tray->pauseRow->text(), "Pause Sharing");
    EXPECT_TRUE(tray->openRow->isEnabled());
    EXPECT_TRUE(tray->addRow->isEnabled());
    EXPECT_FALSE(tray->dimmed());
    spin(0.2);
    EXPECT_EQ(tray->snap.state, ServerState::starting);  // the answer is still on its way

    ASSERT_TRUE(waitUntil([&] { return tray->snap.name.has_value(); }));
    EXPECT_EQ(tray->snap.state, ServerState::running);
    EXPECT_EQ(tray->detailRow->text(), "Den \u00B7 linked to Tessaway Connect");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, kPing);
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].path, kSetup);
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
    tray->snap.state = ServerState::running;  // a failure must move it back to starting
    tray->poll();
    ASSERT_TRUE(waitUntil([&] {
        return tray->snap.state != ServerState::running || server.requestCount("GET", kSetup) > 0;
    }));
    EXPECT_EQ(tray->snap.state, GetParam().expected);
    if (GetParam().expected == ServerState::running) {
        EXPECT_FALSE(tray->unansweredSince);
    } else {
        ASSERT_TRUE(tray->unansweredSince);
        EXPECT_EQ(*tray->unansweredSince, clock);
        EXPECT_EQ(server.requestCount("GET", kSetup), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Statuses, PingAnswerTest,
                         ::testing::Values(PingCase{"ok", 200, ServerState::running},
                                           PingCase{"no_content", 204, ServerState::starting},
                                           PingCase{"moved", 301, ServerState::starting},
                                           PingCase{"not_found", 404, ServerState::starting},
                                           PingCase{"error", 500, ServerState::starting},
                                           PingCase{"unavailable", 503, ServerState::starting},
                                           PingCase{"dropped", 0, ServerState::starting}),
                         testing::CaseName());

TEST_F(TrayTest, NothingListeningIsAFailedPing) {
    loadServer();
    installServerDefinition(1);  // nothing of ours listens on port 1
    tray->poll();
    ASSERT_TRUE(waitUntil([&] { return tray->unansweredSince.has_value(); }));
    EXPECT_EQ(tray->snap.state, ServerState::starting);
}

TEST_F(TrayTest, NotRespondingOnlyAfterMoreThanSixtySeconds) {
    launch();
    tray->snap.state = ServerState::running;
    tray->snap.name = "Den";
    const double start = clock;

    tray->pinged(false, server.port());  // the first failure starts the count
    EXPECT_EQ(tray->snap.state, ServerState::starting);
    EXPECT_EQ(tray->unansweredSince, start);
    EXPECT_EQ(tray->snap.name, "Den");

    clock = start + 60.0;
    tray->pinged(false, server.port());
    EXPECT_EQ(tray->snap.state, ServerState::starting);
    EXPECT_EQ(tray->statusRow->text(), "Tessaway Server: Starting\u2026");

    clock = start + 60.001;
    tray->pinged(false, server.port());
    EXPECT_EQ(tray->snap.state, ServerState::notResponding);
    EXPECT_EQ(tray->unansweredSince, start);
    EXPECT_EQ(tray->statusRow->text(), "Tessaway Server: Not responding");
    EXPECT_TRUE(tray->dimmed());
    EXPECT_EQ(tray->snap.name, "Den");

    tray->pinged(true, server.port());  // straight back to running
    EXPECT_EQ(tray->snap.state, ServerState::running);
    EXPECT_FALSE(tray->unansweredSince);
    EXPECT_FALSE(tray->dimmed());

    clock = start + 500.0;  // a new run of failures counts from its own first failure
    tray->pinged(false, server.port());
    EXPECT_EQ(tray->snap.state, ServerState::starting);
    EXPECT_EQ(tray->unansweredSince, start + 500.0);
}

TEST_F(TrayTest, FailingPingsThroughTheServerReachNotResponding) {
    loadServer();
    server.setResponse("GET", kPing, 503);
    launch();
    ASSERT_TRUE(waitUntil([&] { return tray->unansweredSince.has_value(); }));
    EXPECT_EQ(tray->snap.state, ServerState::starting);
    clock += 61.0;
    tray->poll();
    ASSERT_TRUE(waitUntil([&] { return tray->snap.state == ServerState::notResponding; }));
    EXPECT_EQ(tray->detailRow->text(), "See ~/Library/Logs/Tessaway/server.log");
}

TEST_F(TrayTest, AgentUnloadedFromOutsideShowsPausedWithoutAsking) {
    loadServer();
    server.setResponse("GET", kPing, 200);
    server.setResponse("GET", kSetup, 200, R"({"claimed":true,"server_name":"Den"})");
    launch();
    ASSERT_TRUE(waitUntil([&] { return tray->snap.name.has_value(); }));
    tray->unansweredSince = clock;  // as if a failure had been seen meanwhile
    const size_t requestsBefore = server.requests().size();

    unloadServer();
    tray->poll();
    EXPECT_EQ(tray->snap.state, ServerState::paused);
    EXPECT_FALSE(tray->snap.claimed);
    EXPECT_FALSE(tray->snap.name);
    EXPECT_FALSE(tray->snap.configured);
    EXPECT_FALSE(tray->unansweredSince);
    EXPECT_EQ(tray->statusRow->text(), "Tessaway Server: Paused");
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
    // Facts no case ends with, so that the test can see when the answer has been applied.
    tray->snap.claimed = false;
    tray->snap.name = "Old";
    tray->snap.configured = false;
    tray->poll();
    ASSERT_TRUE(waitUntil([&] { return tray->snap.name != "Old" || tray->snap.claimed != false; }));
    EXPECT_EQ(tray->snap.state, ServerState::running);
    EXPECT_EQ(tray->snap.claimed, c.claimed);
    EXPECT_EQ(tray->snap.name, c.serverName);
    EXPECT_EQ(tray->snap.configured, c.configured);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, SetupStatusTest,
    ::testing::Values(
        SetupCase{"all_three", 200, R"({"claimed":true,"server_name":"Den","configured":true})",
                  true, "Den", true},
        SetupCase{"mixed_types", 200, R"({"claimed":true,"server_name":"","configured":"yes"})",
                  true, "", std::nullopt},
        SetupCase{"other_keys_ignored", 200, R"({"server_name":"Den","extra":[1,2]})", std::nullopt,
                  "Den", std::nullopt},
        SetupCase{"error_status_with_object", 500, R"({"claimed":true,"configured":false})", true,
                  std::nullopt, false},
        SetupCase{"array", 200, "[true, \"Den\"]", std::nullopt, std::nullopt, std::nullopt},
        SetupCase{"not_json", 200, "<html>setup</html>", std::nullopt, std::nullopt, std::nullopt},
        SetupCase{"empty_body", 200, "", std::nullopt, std::nullopt, std::nullopt},
        SetupCase{"no_answer", 0, "", std::nullopt, std::nullopt, std::nullopt}),
    testing::CaseName());

TEST_F(TrayTest, SetupStatusUsesThePortOfThePing) {
    installServerDefinition(1);  // the configured port has moved on since the ping was sent
    server.setResponse("GET", kSetup, 200, R"({"server_name":"Den"})");
    tray->pinged(true, server.port());
    ASSERT_TRUE(waitUntil([&] { return tray->snap.name.has_value(); }));
    EXPECT_EQ(tray->snap.name, "Den");
    EXPECT_EQ(server.requestCount("GET", kSetup), 1u);
}

TEST_F(TrayTest, AnswersAreAppliedInArrivalOrderAndNoneWaitsBehindAnother) {
    loadServer();
    // Long enough for the second ping to fail first on a busy machine, and inside the two
    // silent seconds after which a ping gives up.
    server.setResponse("GET", kPing, 200, "", 1.2);
    tray->poll();
    ASSERT_TRUE(server.waitForRequests(1, 30.0));
    server.setResponse("GET", kPing, 503);
    tray->poll();
    // The second ping fails at once, while the first one is still waiting for its answer.
    ASSERT_TRUE(waitUntil([&] { return tray->unansweredSince.has_value(); }));
    EXPECT_EQ(tray->snap.state, ServerState::starting);
    // Then the first answer arrives and, being the last one applied, wins.
    ASSERT_TRUE(waitUntil([&] { return tray->snap.state == ServerState::running; }));
    EXPECT_FALSE(tray->unansweredSince);
}

TEST_F(TrayTest, AStalePingAnswerAfterAPauseShowsRunningUntilTheNextPoll) {
    loadServer();
    server.setResponse("GET", kPing, 200, "", 0.4);
    launch();
    ASSERT_TRUE(server.waitForRequests(1, 30.0));
    tray->togglePause();
    EXPECT_EQ(tray->snap.state, ServerState::paused);
    ASSERT_TRUE(waitUntil([&] { return tray->snap.state == ServerState::running; }));
    // The poll 1.5 seconds after the pause finds the agent gone.
    ASSERT_TRUE(waitUntil([&] { return tray->snap.state == ServerState::paused; }));
}

TEST_F(TrayTest, OpeningTheMenuRefreshesTheCheckMarkBeforeAnyAnswer) {
    launch();
    loadServer();
    launchctl.printDisabledOutput =
        "disabled services = {\n\t\"com.quorvel.tessaway-server\" => disabled\n}\n";
    server.setResponse("GET", kPing, 200, "", 0.5);
    tray->loginRow->setChecked(true);
    const size_t before = launchctl.calls.size();

    tray->menu->popup(QPoint(10, 10));
    EXPECT_FALSE(tray->loginRow->isChecked());
    EXPECT_EQ(callsSince(before),
              (std::vector<Args>{{"print-disabled", domain}, {"print", serverTarget()}}));
    EXPECT_EQ(tray->snap.state, ServerState::paused);  // this poll's answer has not come yet
    ASSERT_TRUE(waitUntil([&] { return tray->snap.state == ServerState::running; }));
    tray->menu->hide();
}

TEST_F(TrayTest, OpeningTheMenuWithTheAgentUnloadedShowsPausedAtOnce) {
    loadServer();
    server.setResponse("GET", kPing, 200);
    launch();
    ASSERT_TRUE(waitUntil([&] { return tray->snap.state == ServerState::running; }));
    unloadServer();
    tray->menu->popup(QPoint(10, 10));
    EXPECT_EQ(tray->snap.state, ServerState::paused);
    EXPECT_EQ(tray->statusRow->text(), "Tessaway Server: Paused");
    EXPECT_TRUE(tray->loginRow->isChecked());  // no override: start at login is on
    tray->menu->hide();
}

/// Counts the queued calls that reach the application object.
class QueuedCallCounter : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == QCoreApplication::instance() && event->type() == QEvent::MetaCall) ++count;
        return false;
    }
    int count = 0;
};

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
    QueuedCallCounter counter;
    QCoreApplication::instance()->installEventFilter(&counter);
    spin(0.2);
    QCoreApplication::instance()->removeEventFilter(&counter);
    EXPECT_EQ(counter.count, 1);  // it ran, found no Tray, and sent no setup-status request
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
