#include "tests/unit/menubar/tray_test_fixture.h"

#include <QAction>
#include <QCoreApplication>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>

#include "core/identity.h"
#include "menubar/action_worker.h"
#include "platform/clock.h"

namespace tessaway::testing {
namespace {

using Clock = std::chrono::steady_clock;

/// Counts the queued calls that reach the application object: each is an answer on its way
/// to a Tray. Deleting it takes it out of the application's filters.
class QueuedCallCounter : public QObject {
public:
    explicit QueuedCallCounter(int& count) : count_(count) { qApp->installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == QCoreApplication::instance() && event->type() == QEvent::MetaCall) ++count_;
        return false;
    }

private:
    int& count_;
};

}  // namespace

TrayTest::TrayTest() {
    launchctl.install();
    installServerDefinition(server.port());
    platform::setClockForTesting([this] { return clock; }, [this](double s) { clock += s; });
    deliveryCounter_ = std::make_unique<QueuedCallCounter>(deliveries);
    tray = std::make_unique<Tray>();
    tray->setAlertPresenterForTesting([this](const QString& message, const QString& informative) {
        alerts.push_back({message, informative});
    });
}

TrayTest::~TrayTest() {
    tray.reset();
    // Continuations still queued for the Tray that is gone must find nothing to do.
    QCoreApplication::processEvents();
}

void TrayTest::loadServer() {
    launchctl.loadedLabels.insert(serverLabel);
}

void TrayTest::unloadServer() {
    launchctl.loadedLabels.erase(serverLabel);
}

void TrayTest::launch() {
    if (!tray) tray = std::make_unique<Tray>();
    tray->applicationDidFinishLaunching();
}

void TrayTest::show(ServerState state, const SetupFacts& facts) {
    ServerMonitor& monitor = tray->monitor_;
    if (state == ServerState::paused) {
        monitor.pauseChosen();
    } else {
        const ServerMonitor::Ticket ticket = monitor.issueTicket();
        monitor.pinged(ticket, true);
        monitor.setupStatusAnswered(ticket, facts);
        if (state != ServerState::running) monitor.pinged(monitor.issueTicket(), false);
        if (state == ServerState::notResponding) {
            clock += 61.0;
            monitor.pinged(monitor.issueTicket(), false);
        }
    }
    tray->render();
}

bool TrayTest::finishActions() {
    // Queued behind the actions; its own queued call comes after their outcomes.
    auto done = std::make_shared<std::atomic<bool>>(false);
    tray->actions_->submit([done] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [done] { done->store(true); }, Qt::QueuedConnection);
    });
    return waitUntil([&] { return done->load(); });
}

bool TrayTest::waitUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void TrayTest::spin(double seconds) {
    waitUntil([] { return false; }, seconds);
}

bool TrayTest::runEventLoop(double seconds) {
    bool timedOut = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        timedOut = true;
        QCoreApplication::quit();
    });
    guard.start(static_cast<int>(seconds * 1000));
    QCoreApplication::exec();
    return !timedOut;
}

TrayTest::Calls TrayTest::callsSince(size_t first) const {
    if (first >= launchctl.calls.size()) return {};
    return {launchctl.calls.begin() + static_cast<std::ptrdiff_t>(first), launchctl.calls.end()};
}

TrayTest::Calls TrayTest::pollCalls() const {
    return {{"print-disabled", domain}, {"print", serverTarget()}};
}

std::string TrayTest::shown(const QAction* row) {
    return row->text().replace(QRegularExpression("&(.)"), "\\1").toStdString();
}

::testing::AssertionResult TrayTest::rowsShowTheSnapshot(
    const std::optional<std::string>& detail) const {
    // As wide as the name is: the test gives what the Tray cuts itself.
    const MenuText text = menuText(snap(), std::numeric_limits<size_t>::max());
    const std::string wanted =
        text.status + " | " + detail.value_or(text.detail) + " | " + text.pause;
    // A shown detail row with nothing in it would be a blank line in the menu.
    const std::string detailShown = shown(detailRow()).empty() ? "(blank row)" : shown(detailRow());
    const std::string rows = shown(statusRow()) + " | " +
                             (detailRow()->isVisible() ? detailShown : "") + " | " +
                             shown(pauseRow());
    if (rows == wanted) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the rows show \"" << rows << "\", not \"" << wanted << "\"";
}

std::string TrayTest::serverTarget() const {
    return domain + "/" + serverLabel;
}

FakeBrowser::FakeBrowser() {
    const char* old = std::getenv("PATH");
    path_.emplace("PATH", std::string(TESSAWAY_FAKE_BROWSER_DIR) + ":" +
                              (old != nullptr ? old : "/usr/bin:/bin"));
    record_.emplace("FAKE_BROWSER_RECORD", (dir_.path() / "opened").string());
}

std::vector<std::string> FakeBrowser::opened(size_t count) const {
    std::vector<std::string> lines;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (;;) {
        lines.clear();
        std::istringstream in(readFile(dir_.path() / "opened"));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        if (lines.size() >= count || Clock::now() >= deadline) return lines;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace tessaway::testing
