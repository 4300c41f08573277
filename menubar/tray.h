#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/probe/server_monitor.h"
#include "menubar/tray_host.h"

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace tessaway {

class ActionWorker;
class ServerProbe;
class StatusNotifierItem;
namespace testing {
class TrayTest;
}

/// The menu-bar item: the status item and its menu, the polling cycle and the menu's actions.
/// What the server is doing is the monitor's to decide; the Tray sends the requests, hands
/// their answers and the user's choices to the monitor, and shows its snapshot. Lives on the
/// main thread; every field is touched there only. The actions that change the service
/// manager's state run on a thread of their own, one after another, and their outcome is shown
/// when it comes back, so the menu keeps answering while one waits.
class Tray : public QObject {
    Q_OBJECT

public:
    /// Shows a message box with `message` and `informative` text and returns when it is
    /// dismissed.
    using AlertPresenter = std::function<void(const QString& message, const QString& informative)>;

    /// Creates the menu and its rows and the server probe. Nothing visible, no question to
    /// the service manager or the server.
    Tray();
    /// Abandons requests in flight; the server is not touched.
    ~Tray() override;
    Tray(const Tray&) = delete;
    Tray& operator=(const Tray&) = delete;

    /// Builds the menu, puts the item into the tray (or, when nothing can show it yet, says so
    /// once and puts it there as soon as a tray starts), renders, polls once and starts the
    /// five-second timer. Called once, when the event loop is about to run.
    void applicationDidFinishLaunching();

    /// Polls (which refreshes the login check mark first). Runs just before the menu is shown.
    void menuWillOpen();

    void openSetup();
    void addFolder();
    /// Stops or starts the server agent, as the menu shows it, then shows the outcome.
    void togglePause();
    /// Switches start at login to the opposite, then shows the setting as it is afterwards.
    void toggleLogin();
    /// Stops the server agent, then ends the event loop.
    void quit();

    /// Shows the monitor's snapshot: row titles, enabled rows, the hidden detail row, the
    /// dimmed item.
    void render();
    /// Reads the login check mark again and asks the service manager whether the server agent
    /// is loaded; if so, pings the server in the background.
    void poll();
    /// Shows `text` in the one message box of the application; nothing while it is shown.
    void alert(const QString& text);
    /// "http://localhost:" and the configured port, read afresh.
    std::string base() const;

    /// Whether the item currently has the dimmed look.
    bool dimmed() const { return dimmed_; }
    /// Replaces the message box (tests read its texts without blocking).
    void setAlertPresenterForTesting(AlertPresenter presenter);

private:
    friend class testing::TrayTest;

    /// Applies the outcome of the ping of `ticket`, sent to `port`; asks for the setup status
    /// when the server answered.
    void pinged(ServerMonitor::Ticket ticket, bool ok, int64_t port);
    /// Makes the status item with its picture, tooltip and menu the way `host` shows it, and
    /// shows it.
    void showItem(TrayHost host);
    /// Runs `work` on the action thread and then `done` with its result on the main thread,
    /// unless the Tray is gone by then.
    void runAction(std::function<bool()> work, std::function<void(Tray&, bool)> done);

    QSystemTrayIcon* item = nullptr;          ///< the status item where the toolkit shows it
    StatusNotifierItem* exported_ = nullptr;  ///< the status item where a D-Bus host shows it
    std::unique_ptr<QMenu> menu;
    ServerMonitor monitor_;               ///< the snapshot and the run of unanswered pings
    QTimer* timer = nullptr;              ///< the poll timer, created at launch
    std::unique_ptr<ServerProbe> probe_;  ///< asks the server, in the background
    std::unique_ptr<ActionWorker> actions_;
    QAction* statusRow = nullptr;
    QAction* detailRow = nullptr;
    QAction* openRow = nullptr;
    QAction* addRow = nullptr;
    QAction* pauseRow = nullptr;
    QAction* loginRow = nullptr;
    QAction* quitRow = nullptr;
    QTimer* hostCheck_ = nullptr;  ///< looks for a tray while none can show the item
    QIcon normalIcon_;
    QIcon dimmedIcon_;
    bool dimmed_ = false;
    bool alertShown_ = false;  ///< a message box waits for the user
    AlertPresenter presentAlert_;
};

}  // namespace tessaway
