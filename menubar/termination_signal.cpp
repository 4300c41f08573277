#include "menubar/termination_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>

namespace tessaway {
namespace {

int wakeRead = -1;
int wakeWrite = -1;
struct sigaction previous {};

void onTerminate(int) {
    const int saved = errno;
    const char byte = 1;
    (void)!write(wakeWrite, &byte, 1);
    errno = saved;
}

}  // namespace

TerminationSignal::TerminationSignal(QCoreApplication& app) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    wakeRead = fds[0];
    wakeWrite = fds[1];
    notifier_ = std::make_unique<QSocketNotifier>(wakeRead, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, &app, [&app] {
        char drain[64];
        while (read(wakeRead, drain, sizeof drain) > 0) {
        }
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed_ = sigaction(SIGTERM, &action, &previous) == 0;
}

TerminationSignal::~TerminationSignal() {
    if (installed_) sigaction(SIGTERM, &previous, nullptr);
    notifier_.reset();
    if (wakeRead >= 0) close(wakeRead);
    if (wakeWrite >= 0) close(wakeWrite);
    wakeRead = wakeWrite = -1;
}

}  // namespace tessaway
