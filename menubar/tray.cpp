#include "menubar/tray.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QScopeGuard>
#include <QSystemTrayIcon>
#include <QTimer>

#include "core/identity.h"
#include "core/probe/server_probe.h"
#include "core/service/agent_control.h"
#include "core/service/port_config.h"
#include "menubar/action_worker.h"
#include "menubar/menu_position.h"
#include "menubar/status_notifier_item.h"
#include "menubar/tray_host.h"
#include "menubar/tray_icon.h"
#include "platform/browser.h"
#include "platform/bundle.h"
#include "platform/system.h"

namespace tessaway {
namespace {

constexpr int kPollIntervalMs = 5000;
constexpr int kPollAfterToggleMs = 1500;
constexpr int kHostCheckIntervalMs = 1000;
// A longer server name would make the menu as wide as the screen.
constexpr size_t kMenuNameCharacters = 48;

const QString kTitle = QStringLiteral("Tessaway Server");
const std::string kNoTray =
    "tessaway-tray: no system tray is available; the menu-bar item will appear when one "
    "starts\n";
const QString kCouldNotStart = QStringLiteral(
    "Tessaway Server could not start. Reinstall it, or see ~/Library/Logs/Tessaway/server.log.");
const QString kLoginLeftOn = QStringLiteral(
    "Tessaway Server started, but Start at Login could not be switched off again. Switch it "
    "off in this menu once the cause is gone.");

/// Runs `apply` on the main thread, unless the Tray is gone by then. Called from the probe's
/// thread, so it touches nothing of the Tray there: the guard is only read on the main thread.
void deliver(QPointer<Tray> guard, std::function<void(Tray&)> apply) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(
        app,
        [guard = std::move(guard), apply = std::move(apply)] {
            if (Tray* tray = guard.data()) apply(*tray);
        },
        Qt::QueuedConnection);
}

/// A menu title for `text`: "&" is shown as itself rather than marking a mnemonic.
QString menuTitle(const std::string& text) {
    return QString::fromStdString(text).replace('&', QStringLiteral("&&"));
}

}  // namespace

Tray::Tray()
    : menu(std::make_unique<QMenu>()),
      probe_(std::make_unique<ServerProbe>()),
      actions_(std::make_unique<ActionWorker>()) {
    // The status, detail and pause rows get their texts from the snapshot at every render().
    // Until then the pause row reads as it will for the first snapshot: "Pause Sharing".
    statusRow = new QAction(kTitle, menu.get());
    detailRow = new QAction(QString(), menu.get());
    openRow = new QAction(QString::fromUtf8(kOpenSetupRow), menu.get());
    addRow = new QAction(QString::fromUtf8(kAddFolderRow), menu.get());
    pauseRow = new QAction(
        QString::fromStdString(menuText(monitor_.snapshot(), kMenuNameCharacters).pause),
        menu.get());
    loginRow = new QAction(QString::fromUtf8(kStartAtLoginRow), menu.get());
    loginRow->setCheckable(true);
    quitRow = new QAction(QString::fromUtf8(kQuitRow), menu.get());
    quitRow->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
}

Tray::~Tray() {
    // Joins the worker threads first: no completion runs while the rest goes away. An action
    // still running is finished; its outcome finds no Tray.
    actions_.reset();
    probe_.reset();
}

void Tray::applicationDidFinishLaunching() {
    statusRow->setEnabled(false);
    detailRow->setEnabled(false);
    connect(openRow, &QAction::triggered, this, &Tray::openSetup);
    connect(addRow, &QAction::triggered, this, &Tray::addFolder);
    connect(pauseRow, &QAction::triggered, this, &Tray::togglePause);
    connect(loginRow, &QAction::triggered, this, &Tray::toggleLogin);
    connect(quitRow, &QAction::triggered, this, &Tray::quit);
    connect(menu.get(), &QMenu::aboutToShow, this, &Tray::menuWillOpen);

    menu->addAction(statusRow);
    menu->addAction(detailRow);
    menu->addSeparator();
    menu->addAction(openRow);
    menu->addAction(addRow);
    menu->addSeparator();
    menu->addAction(pauseRow);
    menu->addAction(loginRow);
    menu->addSeparator();
    menu->addAction(quitRow);

    if (const TrayHost host = trayHost(); host != TrayHost::none) {
        showItem(host);
    } else {
        // Nothing could show the item yet: say so once, keep the menu current, and put the
        // item up as soon as a tray starts.
        platform::writeStandardError(kNoTray);
        hostCheck_ = new QTimer(this);
        hostCheck_->setInterval(kHostCheckIntervalMs);
        connect(hostCheck_, &QTimer::timeout, this, [this] {
            const TrayHost found = trayHost();
            if (found == TrayHost::none) return;
            hostCheck_->deleteLater();
            hostCheck_ = nullptr;
            showItem(found);
            render();
        });
        hostCheck_->start();
    }

    render();
    poll();

    timer = new QTimer(this);
    timer->setInterval(kPollIntervalMs);
    connect(timer, &QTimer::timeout, this, &Tray::poll);
    timer->start();
}

void Tray::showItem(TrayHost host) {
    normalIcon_ = trayIcon(platform::pathForResource("TrayTemplate", "png"));
    dimmedIcon_ = dimmedIcon(normalIcon_);
    if (host == TrayHost::statusNotifier) {
        // The panel shows the exported menu itself, beside the panel, on every click.
        exported_ =
            new StatusNotifierItem(*menu, kTitle, {normalIcon_, dimmedIcon_, themeIcon()}, this);
        exported_->setDimmed(dimmed_);
        return;
    }
    item = new QSystemTrayIcon(this);
    item->setIcon(dimmed_ ? dimmedIcon_ : normalIcon_);
    item->setToolTip(kTitle);
    // Both buttons open the menu beside the tray: the toolkit would open a context menu of the
    // item's own at the pointer, over the tray.
    connect(item, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
        if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::Context) {
            popupBeside(*menu, item->geometry());
        }
    });
    item->show();
}

void Tray::menuWillOpen() {
    poll();
}

void Tray::render() {
    const Snapshot& snap = monitor_.snapshot();
    const MenuText text = menuText(snap, kMenuNameCharacters);
    statusRow->setText(menuTitle(text.status));
    detailRow->setText(menuTitle(text.detail));
    detailRow->setVisible(!detailRow->text().isEmpty());
    pauseRow->setText(menuTitle(text.pause));
    const bool paused = snap.state == ServerState::paused;
    openRow->setEnabled(!paused);
    addRow->setEnabled(!paused);
    const bool dim = paused || snap.state == ServerState::notResponding;
    if (item != nullptr && dim != dimmed_) item->setIcon(dim ? dimmedIcon_ : normalIcon_);
    if (exported_ != nullptr) exported_->setDimmed(dim);
    dimmed_ = dim;
}

void Tray::poll() {
    // The check mark is read at every poll: a panel that keeps its own copy of the menu shows
    // what the last poll found, not what was true when the menu last opened.
    loginRow->setChecked(startAtLogin());
    if (!serverLoaded()) {
        monitor_.agentUnloaded();
        render();
        return;
    }
    const int64_t port = serverPort();
    const ServerMonitor::Ticket ticket = monitor_.issueTicket();
    probe_->ping(port, [guard = QPointer<Tray>(this), ticket, port](bool ok) {
        deliver(guard, [ticket, ok, port](Tray& tray) { tray.pinged(ticket, ok, port); });
    });
}

void Tray::pinged(ServerMonitor::Ticket ticket, bool ok, int64_t port) {
    // An answer that something newer has overtaken changes nothing and leads nowhere.
    if (!monitor_.pinged(ticket, ok)) return;
    if (ok) {
        probe_->askSetupStatus(port, [guard = QPointer<Tray>(this), ticket](SetupFacts facts) {
            deliver(guard, [ticket, facts = std::move(facts)](Tray& tray) {
                if (tray.monitor_.setupStatusAnswered(ticket, facts)) tray.render();
            });
        });
    }
    render();
}

void Tray::openSetup() {
    platform::openAddress(base() + "/setup");
}

void Tray::addFolder() {
    platform::openAddress(base() + "/setup#libraries");
}

void Tray::togglePause() {
    // Decided on what the menu shows now; the menu keeps answering while the command runs.
    const bool pausing = monitor_.snapshot().state != ServerState::paused;
    auto notRestored = std::make_shared<std::string>();
    runAction(
        [pausing, notRestored] {
            if (pausing) {
                stopServer();
                return true;
            }
            const StartResult started = startServer();
            *notRestored = started.notRestored;
            return started.loaded;
        },
        [pausing, notRestored](Tray& tray, bool started) {
            if (pausing) {
                tray.monitor_.pauseChosen();
            } else {
                if (!started) tray.alert(kCouldNotStart);
                if (!notRestored->empty()) tray.alert(kLoginLeftOn);
                tray.monitor_.resumeChosen();
            }
            tray.render();
            // The timer's context is the Tray: the poll is dropped if the Tray is gone by then.
            QTimer::singleShot(kPollAfterToggleMs, &tray, &Tray::poll);
        });
}

void Tray::toggleLogin() {
    runAction(
        [] {
            setStartAtLogin(!startAtLogin());
            return startAtLogin();
        },
        [](Tray& tray, bool on) { tray.loginRow->setChecked(on); });
}

void Tray::quit() {
    runAction(
        [] {
            stopServer();
            return true;
        },
        [](Tray&, bool) { QCoreApplication::quit(); });
}

void Tray::runAction(std::function<bool()> work, std::function<void(Tray&, bool)> done) {
    actions_->submit(
        [guard = QPointer<Tray>(this), work = std::move(work), done = std::move(done)] {
            const bool result = work();
            deliver(guard, [result, done](Tray& tray) { done(tray, result); });
        });
}

void Tray::alert(const QString& text) {
    // While one box waits for the user, another choice can come in (the box runs its own event
    // loop); it is not stacked on top of the first.
    if (alertShown_) return;
    alertShown_ = true;
    const auto shown = qScopeGuard([this] { alertShown_ = false; });
    if (presentAlert_) {
        presentAlert_(kTitle, text);
        return;
    }
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(kTitle);
    box.setText(kTitle);
    box.setInformativeText(text);
    box.setStandardButtons(QMessageBox::Ok);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
}

std::string Tray::base() const {
    return browserBase(serverPort());
}

void Tray::setAlertPresenterForTesting(AlertPresenter presenter) {
    presentAlert_ = std::move(presenter);
}

}  // namespace tessaway
