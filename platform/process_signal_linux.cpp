#include "platform/process_signal.h"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace tessaway::platform {

SignalOutcome signalProcessIf(pid_t pid, int signal, const std::function<bool()>& isStillTheOne) {
    // 0 and negative ids name process groups, never one process.
    if (pid <= 0) return SignalOutcome::failed;
    // Pin the process first, then confirm: a pidfd cannot be redirected to a newer process that
    // happens to get the same id. Without pidfds (older kernels) the plain id is the best there is.
    const UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!isStillTheOne()) return SignalOutcome::notTheOne;
    const bool sent = pidfd ? syscall(SYS_pidfd_send_signal, pidfd.get(), signal, nullptr, 0) == 0
                            : kill(pid, signal) == 0;
    return sent ? SignalOutcome::sent : SignalOutcome::failed;
}

DeferredTermination::DeferredTermination() {
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

DeferredTermination::~DeferredTermination() {
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace tessaway::platform
