#pragma once

#include <gtest/gtest.h>

#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "menubar/tray.h"
#include "tests/doubles/fake_launchctl.h"
#include "tests/doubles/temp_home.h"
#include "tests/doubles/test_http_server.h"

namespace tessaway::testing {

/// What the message box was asked to show.
struct ShownAlert {
    QString message;
    QString informative;
};

/// A Tray against the scripted service manager, a local test server whose port the installed
/// server definition names, and a clock that moves only when the test moves it.
class TrayTest : public HomeTest {
protected:
    TrayTest();
    ~TrayTest() override;

    void loadServer();
    void unloadServer();
    /// Creates the Tray (if not yet there) and runs its launch handler.
    void launch();

    /// Brings the Tray's monitor to `state` with `facts` through the monitor's own events (paused
    /// knows no facts), then renders.
    void show(ServerState state, const SetupFacts& facts = {});

    /// Runs the event loop until every action chosen so far has run on the action thread and
    /// its outcome has been shown on the main thread. False when that took over 30 seconds.
    bool finishActions();

    /// Runs the event loop until `done` holds or `seconds` of real time pass.
    static bool waitUntil(const std::function<bool()>& done, double seconds = 30.0);
    /// Runs the event loop for `seconds` of real time.
    static void spin(double seconds);
    /// Runs the application's event loop until something quits it (true) or `seconds` of
    /// real time pass (false).
    static bool runEventLoop(double seconds);

    using Calls = std::vector<std::vector<std::string>>;
    Calls callsSince(size_t first) const;
    /// What one poll asks the service manager: the check mark, then whether the agent is loaded.
    Calls pollCalls() const;

    /// What a row shows: its text with each "&&" read as the "&" it stands for, and the
    /// mnemonic marks dropped.
    static std::string shown(const QAction* row);
    /// Whether the status, detail and pause rows show what menuText() gives for the monitor's
    /// snapshot (or `detail` in the detail row), the detail row hidden with nothing to show.
    ::testing::AssertionResult rowsShowTheSnapshot(
        const std::optional<std::string>& detail = std::nullopt) const;

    // What the Tray keeps to itself, read by the view tests.
    const Snapshot& snap() const { return tray->monitor_.snapshot(); }
    std::optional<double> unansweredSince() const { return tray->monitor_.unansweredSince(); }
    QSystemTrayIcon* item() const { return tray->item; }
    QMenu* menu() const { return tray->menu.get(); }
    QTimer* timer() const { return tray->timer; }
    QAction* statusRow() const { return tray->statusRow; }
    QAction* detailRow() const { return tray->detailRow; }
    QAction* openRow() const { return tray->openRow; }
    QAction* addRow() const { return tray->addRow; }
    QAction* pauseRow() const { return tray->pauseRow; }
    QAction* loginRow() const { return tray->loginRow; }
    QAction* quitRow() const { return tray->quitRow; }
    std::string serverTarget() const;

    FakeLaunchctl launchctl;
    TestHttpServer server;
    double clock = 1000.0;
    std::vector<ShownAlert> alerts;
    std::unique_ptr<Tray> tray;
    int deliveries = 0;  ///< answers handed to the main thread so far (queued calls run)

private:
    std::unique_ptr<QObject> deliveryCounter_;
};

/// The fake "xdg-open" of tests/doubles first on PATH for the life of the object, recording
/// each address it is asked to open.
class FakeBrowser {
public:
    FakeBrowser();
    /// Waits up to 30 seconds for `count` addresses and returns what has been opened.
    std::vector<std::string> opened(size_t count = 1) const;

private:
    TempDir dir_;
    std::optional<ScopedEnv> path_;
    std::optional<ScopedEnv> record_;
};

}  // namespace tessaway::testing
