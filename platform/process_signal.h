#pragma once

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

}  // namespace tessaway::platform
