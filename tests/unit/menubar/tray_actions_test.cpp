#include <fcntl.h>
#include <sys/file.h>

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>

#include "core/identity.h"
#include "platform/unique_fd.h"
#include "tests/unit/menubar/tray_test_fixture.h"

namespace tessaway {
namespace {

using testing::FakeBrowser;
using testing::TrayTest;

const QString kCouldNotStart = QStringLiteral(
    "Tessaway Server could not start. Reinstall it, or see ~/Library/Logs/Tessaway/server.log.");

TEST_F(TrayTest, OpenSetupAndAddFolderOpenLocalhostOnTheConfiguredPort) {
    FakeBrowser browser;
    loadServer();
    launch();  // starting: the setup rows are enabled
    const size_t before = launchctl.calls.size();

    openRow()->trigger();
    testing::installServerDefinition(9123);  // read afresh at every use
    addRow()->trigger();
    const std::string port = std::to_string(server.port());
    // Two detached starts: either may record first.
    std::vector<std::string> opened = browser.opened(2);
    std::sort(opened.begin(), opened.end());
    EXPECT_EQ(opened, (std::vector<std::string>{"http://localhost:" + port + "/setup",
                                                "http://localhost:9123/setup#libraries"}));
    EXPECT_TRUE(callsSince(before).empty());
    EXPECT_EQ(tray->base(), "http://localhost:9123");
}

TEST_F(TrayTest, WhilePausedTheSetupRowsCannotBeChosen) {
    FakeBrowser browser;
    launch();  // the agent is not loaded: paused
    ASSERT_EQ(snap().state, ServerState::paused);
    openRow()->trigger();
    addRow()->trigger();
    tray->addFolder();  // the operation itself still works when called directly
    const std::vector<std::string> expected = {"http://localhost:" + std::to_string(server.port()) +
                                               "/setup#libraries"};
    EXPECT_EQ(browser.opened(1), expected);
    spin(0.3);  // give a wrongly started opener time to show up
    EXPECT_EQ(browser.opened(1), expected);
}

class PauseTest : public TrayTest, public ::testing::WithParamInterface<ServerState> {};

TEST_P(PauseTest, StopsTheServerAgentAndShowsPaused) {
    launch();
    loadServer();
    show(GetParam(), {true, "Den", true});
    const size_t before = launchctl.calls.size();

    pauseRow()->trigger();
    ASSERT_TRUE(finishActions());
    EXPECT_EQ(
        callsSince(before),
        (Calls{{"print", serverTarget()}, {"bootout", serverTarget()}, {"print", serverTarget()}}));
    EXPECT_EQ(snap().state, ServerState::paused);
    EXPECT_FALSE(snap().name);
    EXPECT_TRUE(rowsShowTheSnapshot());
    EXPECT_FALSE(openRow()->isEnabled());
    EXPECT_TRUE(tray->dimmed());
    EXPECT_TRUE(alerts.empty());
}

INSTANTIATE_TEST_SUITE_P(FromEveryOtherState, PauseTest,
                         ::testing::Values(ServerState::starting, ServerState::running,
                                           ServerState::notResponding));

TEST_F(TrayTest, PauseIsConfirmedByAPollOneAndAHalfSecondsLater) {
    loadServer();
    launch();  // starting
    tray->togglePause();
    ASSERT_TRUE(finishActions());
    const size_t afterPause = launchctl.calls.size();
    const auto paused = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitUntil([&] { return launchctl.calls.size() > afterPause; }));
    // A busy machine only makes the poll later, never earlier.
    EXPECT_GE(std::chrono::steady_clock::now() - paused, std::chrono::milliseconds(1450))
        << "polled too early";
    EXPECT_EQ(callsSince(afterPause), pollCalls());
    EXPECT_EQ(snap().state, ServerState::paused);
    EXPECT_FALSE(unansweredSince());
}

TEST_F(TrayTest, ResumeLoadsTheAgentAndCountsTheGraceFromTheResume) {
    launch();  // paused
    server.setResponse("GET", "/api/ping", 503);
    const size_t before = launchctl.calls.size();
    clock = 5000.0;

    pauseRow()->trigger();
    ASSERT_TRUE(finishActions());
    EXPECT_EQ(callsSince(before), (Calls{{"print", serverTarget()},
                                         {"print-disabled", domain},
                                         {"bootstrap", domain, serverPlist.string()}}));
    EXPECT_TRUE(alerts.empty());
    EXPECT_EQ(snap().state, ServerState::starting);
    EXPECT_EQ(unansweredSince(), 5000.0);
    EXPECT_TRUE(rowsShowTheSnapshot());
    EXPECT_FALSE(tray->dimmed());

    // The poll 1.5 seconds later pings, and its first failure already counts from the resume.
    clock = 5061.0;
    ASSERT_TRUE(waitUntil([&] { return snap().state == ServerState::notResponding; }));
    EXPECT_EQ(unansweredSince(), 5000.0);
}

TEST_F(TrayTest, AFailedResumeShowsTheMessageBoxAndThenPausedAgain) {
    launch();                              // paused
    std::filesystem::remove(serverPlist);  // nothing installed: the start must fail
    const size_t before = launchctl.calls.size();

    tray->togglePause();
    ASSERT_TRUE(finishActions());
    EXPECT_EQ(callsSince(before), (Calls{{"print", serverTarget()}}));
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].message, "Tessaway Server");
    EXPECT_EQ(alerts[0].informative, kCouldNotStart);
    EXPECT_EQ(snap().state, ServerState::starting);
    EXPECT_EQ(unansweredSince(), clock);
    ASSERT_TRUE(waitUntil([&] { return snap().state == ServerState::paused; }));
    EXPECT_EQ(alerts.size(), 1u);
}

TEST_F(TrayTest, AResumeChosenWhileTheMessageBoxIsOpenOpensNoSecondOne) {
    launch();
    std::filesystem::remove(serverPlist);
    int shown = 0;
    tray->setAlertPresenterForTesting([&](const QString&, const QString&) {
        // The box runs its own event loop: the user can choose the row again meanwhile, and
        // that resume fails while the box is still open.
        if (++shown == 1) {
            tray->togglePause();
            EXPECT_TRUE(finishActions());
        }
    });
    tray->togglePause();
    ASSERT_TRUE(finishActions());
    EXPECT_EQ(shown, 1);
    // Once it is dismissed, the next failure shows one again.
    tray->togglePause();  // pauses
    ASSERT_TRUE(finishActions());
    tray->togglePause();  // resumes, and fails
    ASSERT_TRUE(finishActions());
    EXPECT_EQ(shown, 2);
}

TEST_F(TrayTest, TheRealMessageBoxCarriesBothTexts) {
    tray->setAlertPresenterForTesting({});
    QString message, informative;
    bool seen = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        seen = true;
        message = box->text();
        informative = box->informativeText();
        box->accept();
    });
    closer.start(20);
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [] {
        if (auto* modal = QApplication::activeModalWidget()) modal->close();
    });
    giveUp.start(5000);
    tray->alert(kCouldNotStart);
    ASSERT_TRUE(seen);
    EXPECT_EQ(message, "Tessaway Server");
    EXPECT_EQ(informative, kCouldNotStart);
}

/// Against the scripted service manager, whose start-at-login overrides follow "enable" and
/// "disable" unless it is told to refuse every change.
class LoginTest : public TrayTest {};

TEST_F(LoginTest, TogglesStartAtLoginAndReadsTheCheckMarkBack) {
    launch();
    const size_t before = launchctl.calls.size();
    loginRow()->trigger();
    ASSERT_TRUE(finishActions());
    EXPECT_EQ(callsSince(before), (Calls{{"print-disabled", domain},
                                         {"disable", serverTarget()},
                                         {"disable", domain + "/" + trayLabel},
                                         {"print-disabled", domain}}));
    EXPECT_FALSE(loginRow()->isChecked());
    loginRow()->trigger();
    ASSERT_TRUE(finishActions());
    EXPECT_TRUE(loginRow()->isChecked());
}

TEST_F(LoginTest, ACheckMarkThatCouldNotChangeKeepsTheRealSetting) {
    launch();
    tray->menuWillOpen();
    ASSERT_TRUE(loginRow()->isChecked());
    launchctl.enableStatus = 0;  // every change refused, though the tool says it succeeded
    loginRow()->trigger();       // the action itself flips the mark; the read-back restores it
    ASSERT_TRUE(finishActions());
    EXPECT_TRUE(loginRow()->isChecked());
    EXPECT_EQ(snap().state, ServerState::paused);
}

TEST_F(TrayTest, TheMenuKeepsAnsweringWhileAnotherHolderHasTheControlLock) {
    loadServer();
    launch();
    show(ServerState::running);
    // Held as another process holds it: through an open file of its own.
    std::filesystem::create_directories(runtime() / "tessaway-control");
    const platform::UniqueFd holder(
        open((runtime() / "tessaway-control" / "control.lock").c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_EQ(flock(holder.get(), LOCK_EX), 0);
    const size_t before = launchctl.calls.size();

    pauseRow()->trigger();
    loginRow()->trigger();
    tray->menuWillOpen();  // the check mark and the poll are still answered at once
    spin(0.3);
    EXPECT_NE(snap().state, ServerState::paused);
    for (const auto& call : callsSince(before))
        EXPECT_TRUE(call[0] == "print" || call[0] == "print-disabled") << call[0];

    flock(holder.get(), LOCK_UN);
    ASSERT_TRUE(finishActions());
    EXPECT_EQ(snap().state, ServerState::paused);
    EXPECT_FALSE(loginRow()->isChecked());
    EXPECT_FALSE(launchctl.loadedLabels.count(serverLabel));
}

TEST_F(TrayTest, QuitStopsTheServerAgentAndEndsTheEventLoop) {
    launch();
    loadServer();
    const size_t before = launchctl.calls.size();
    QTimer::singleShot(0, tray.get(), [this] { quitRow()->trigger(); });
    EXPECT_TRUE(runEventLoop(30.0));
    EXPECT_EQ(
        callsSince(before),
        (Calls{{"print", serverTarget()}, {"bootout", serverTarget()}, {"print", serverTarget()}}));
}

TEST_F(TrayTest, QuitWithTheAgentNotLoadedEndsAtOnce) {
    launch();
    const size_t before = launchctl.calls.size();
    QTimer::singleShot(0, tray.get(), [this] { tray->quit(); });
    EXPECT_TRUE(runEventLoop(30.0));
    EXPECT_EQ(callsSince(before), (Calls{{"print", serverTarget()}}));
}

}  // namespace
}  // namespace tessaway
