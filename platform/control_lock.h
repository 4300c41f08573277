#pragma once

namespace tessaway::platform {

/// How long a command waits for the control lock before it gives up. The longest legitimate
/// hold is an installation: it stops the server (up to 25 s of polling) and loads both agents,
/// and each load may wait for the old instance's exit time-out (20 s at most for our agents)
/// plus 30 s, about two minutes with the short commands in between. Five minutes is well past
/// that on a busy machine, and a holder that keeps the lock longer is stuck.
inline constexpr double kControlLockWaitSeconds = 300.0;

/// While it exists, this process holds the user's control lock: the controller's operations
/// that change the service manager's state (loading, unloading, start at login) run one at a
/// time per user, so that one command cannot undo what another has just reported. The lock is
/// a file in the user's private runtime folder. Nesting within a process (and across its
/// threads, one after the other) is allowed. When the lock cannot be had (no private folder, a
/// lock file that is not a regular file, or a holder that keeps it past the wait) the reason
/// goes to standard error once and `held()` is false: the operation must then not go ahead.
class ControlLock {
public:
    explicit ControlLock(double waitSeconds = kControlLockWaitSeconds);
    ~ControlLock();
    ControlLock(const ControlLock&) = delete;
    ControlLock& operator=(const ControlLock&) = delete;

    /// True when this process holds the lock.
    bool held() const;

    /// Makes every wait for the lock in this process, now and later, give up at once and
    /// silently: the process is ending and an operation still waiting must not start.
    static void abandonWaits();
};

}  // namespace tessaway::platform
