#include "menubar/tray.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QPalette>
#include <QPointer>
#include <QRect>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

#include "core/identity.h"
#include "core/probe/http_client.h"
#include "core/probe/setup_status.h"
#include "core/service/agent_control.h"
#include "core/service/port_config.h"
#include "core/text.h"
#include "menubar/action_worker.h"
#include "menubar/tray_host.h"
#include "menubar/tray_icon.h"
#include "platform/browser.h"
#include "platform/bundle.h"
#include "platform/system.h"

namespace tessaway {
namespace {

constexpr int kPollIntervalMs = 5000;
constexpr int kPollAfterToggleMs = 1500;
// A request fails when no byte has come for two seconds, and in any case after three.
constexpr double kIdleTimeout = 2.0;
constexpr double kRequestTimeout = 3.0;
constexpr int kHostCheckIntervalMs = 1000;

const QString kTitle = QStringLiteral("Tessaway Server");
const std::string kNoTray =
    "tessaway-tray: no system tray is available; the menu-bar item will appear when one "
    "starts\n";
const QString kCouldNotStart = QStringLiteral(
    "Tessaway Server could not start. Reinstall it, or see ~/Library/Logs/Tessaway/server.log.");

HttpRequest getRequest(const std::string& url) {
    HttpRequest request;
    request.method = "GET";
    request.url = url;
    request.timeout = kRequestTimeout;
    request.idleTimeout = kIdleTimeout;
    return request;
}

/// Runs `apply` on the main thread, unless the Tray is gone by then. Called from the session's
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

/// A menu title for `text`: control characters (a tab would start the shortcut column) are
/// replaced, and "&" and "_" are shown as themselves rather than marking a mnemonic.
///
/// A menu that Qt exports over D-Bus (`exported`) takes another escape: Qt turns only the first
/// "&" of a title into "_", the mnemonic mark of the exported form, and passes "_" on as it
/// is, which the desktop then takes for a mark too. So there the first "&" is doubled (it
/// arrives as "_&": an "&" that is its own mnemonic) and every "_" is doubled.
QString menuTitle(const std::string& text, bool exported) {
    QString title = QString::fromStdString(replaceControlCharacters(text));
    if (!exported) return title.replace('&', QStringLiteral("&&"));
    title.replace('_', QStringLiteral("__"));
    if (const qsizetype first = title.indexOf('&'); first >= 0) title.insert(first, '&');
    return title;
}

/// An open menu grows or shrinks with its titles but keeps its top-left corner; this moves it
/// back inside the screen when a longer title has pushed it over the edge.
void keepOnScreen(QMenu& menu) {
    const QScreen* screen = menu.screen();
    if (screen == nullptr) return;
    const QRect area = screen->availableGeometry();
    QRect frame = menu.geometry();
    if (frame.right() > area.right()) frame.moveRight(area.right());
    if (frame.left() < area.left()) frame.moveLeft(area.left());
    if (frame.topLeft() != menu.pos()) menu.move(frame.topLeft());
}

}  // namespace

Tray::Tray()
    : menu(std::make_unique<QMenu>()),
      session(std::make_unique<HttpWorker>()),
      actions_(std::make_unique<ActionWorker>()) {
    statusRow = new QAction(kTitle, menu.get());
    detailRow = new QAction(QString(), menu.get());
    openRow = new QAction(QStringLiteral("Open Setup / Dashboard"), menu.get());
    addRow = new QAction(QStringLiteral("Add Media Folder\u2026"), menu.get());
    pauseRow = new QAction(QStringLiteral("Pause Sharing"), menu.get());
    loginRow = new QAction(QStringLiteral("Start at Login"), menu.get());
    loginRow->setCheckable(true);
    quitRow = new QAction(QStringLiteral("Quit Tessaway Server"), menu.get());
    quitRow->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
}

Tray::~Tray() {
    // Joins the worker threads first: no completion runs while the rest goes away. An action
    // still running is finished; its outcome finds no Tray.
    actions_.reset();
    session.reset();
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

    if (trayHostAvailable()) {
        showItem();
    } else {
        // Nothing could show the item yet: say so once, keep the menu current, and put the
        // item up as soon as a tray starts.
        platform::writeStandardError(kNoTray);
        hostCheck_ = new QTimer(this);
        hostCheck_->setInterval(kHostCheckIntervalMs);
        connect(hostCheck_, &QTimer::timeout, this, [this] {
            if (!trayHostAvailable()) return;
            hostCheck_->deleteLater();
            hostCheck_ = nullptr;
            showItem();
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

void Tray::showItem() {
    item = new QSystemTrayIcon(this);
    const QColor ink = QGuiApplication::palette().color(QPalette::WindowText);
    normalIcon_ = trayIcon(platform::pathForResource("TrayTemplate", "png"), ink);
    dimmedIcon_ = dimmedIcon(normalIcon_);
    item->setIcon(dimmed_ ? dimmedIcon_ : normalIcon_);
    item->setToolTip(kTitle);
    item->setContextMenu(menu.get());
    // A click on the item opens the menu below it, as the right-button click already does.
    connect(item, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
        if (why != QSystemTrayIcon::Trigger) return;
        const QRect where = item->geometry();
        menu->popup(where.isValid() ? where.bottomLeft() : QCursor::pos());
    });
    item->show();
}

void Tray::menuWillOpen() {
    loginRow->setChecked(startAtLogin());
    poll();
}

void Tray::render() {
    const Snapshot& snap = monitor_.snapshot();
    const MenuText text = menuText(snap);
    const bool exported = menu->platformMenu() != nullptr;
    statusRow->setText(menuTitle(text.status, exported));
    detailRow->setText(menuTitle(text.detail, exported));
    detailRow->setVisible(!detailRow->text().isEmpty());
    pauseRow->setText(menuTitle(text.pause, exported));
    const bool paused = snap.state == ServerState::paused;
    openRow->setEnabled(!paused);
    addRow->setEnabled(!paused);
    if (menu->isVisible()) keepOnScreen(*menu);
    const bool dim = paused || snap.state == ServerState::notResponding;
    if (item != nullptr && dim != dimmed_) item->setIcon(dim ? dimmedIcon_ : normalIcon_);
    dimmed_ = dim;
}

void Tray::poll() {
    if (!serverLoaded()) {
        monitor_.agentUnloaded();
        render();
        return;
    }
    const int64_t port = serverPort();
    const ServerMonitor::Ticket ticket = monitor_.issueTicket();
    session->submit(getRequest(probeBase(port) + "/api/ping"),
                    [guard = QPointer<Tray>(this), ticket, port](HttpResponse response) {
                        const bool ok = response.answered && response.status == 200;
                        deliver(guard,
                                [ticket, ok, port](Tray& tray) { tray.pinged(ticket, ok, port); });
                    });
}

void Tray::pinged(ServerMonitor::Ticket ticket, bool ok, int64_t port) {
    // An answer that something newer has overtaken changes nothing and leads nowhere.
    if (!monitor_.pinged(ticket, ok)) return;
    if (ok) {
        session->submit(getRequest(probeBase(port) + "/api/setup/status"),
                        [guard = QPointer<Tray>(this), ticket](HttpResponse response) {
                            SetupFacts facts;
                            if (response.body) facts = setupFacts(parseJsonObject(*response.body));
                            deliver(guard, [ticket, facts](Tray& tray) {
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
    runAction(
        [pausing] {
            if (!pausing) return startServer();
            stopServer();
            return true;
        },
        [pausing](Tray& tray, bool started) {
            if (pausing) {
                tray.monitor_.pauseChosen();
            } else {
                if (!started) tray.alert(kCouldNotStart);
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
