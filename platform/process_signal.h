#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>

namespace tessaway::platform {

enum class SignalOutcome {
    sent,       ///< the process was still the one meant, and got the signal
    notTheOne,  ///< `isStillTheOne` said no: nothing was sent
    failed,     ///< it was the one, but the signal could not be sent
};

/// Sends `signal` to the process `pid`, but only when `isStillTheOne()`, asked after the process
/// has been pinned, says that `pid` still names the process meant (it holds a lock, a record).
/// A process that ends in between and whose id goes to a newer process is never signalled.
SignalOutcome signalProcessIf(pid_t pid, int signal, const std::function<bool()>& isStillTheOne);

/// Holds back the signals that ask this process to end (SIGHUP, SIGINT, SIGQUIT, SIGTERM) on
/// the calling thread while it lives, for a few steps that must not be cut apart; a signal
/// that came meanwhile takes effect when it ends. Children start without the hold.
class DeferredTermination {
public:
    DeferredTermination();
    ~DeferredTermination();
    DeferredTermination(const DeferredTermination&) = delete;
    DeferredTermination& operator=(const DeferredTermination&) = delete;

private:
    sigset_t previous_{};
};

}  // namespace tessaway::platform
