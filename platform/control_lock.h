#pragma once

namespace tessaway::platform {

/// While it exists, this process holds the user's control lock: the controller's operations
/// that change the service manager's state (loading, unloading, start at login) run one at a
/// time per user, so that one command cannot undo what another has just reported. The lock is
/// a file in the user's private runtime folder. Nesting within a process is allowed. When the
/// lock cannot be had (no private folder, or held for over a minute by a process that seems
/// stuck), the operation goes ahead without it rather than never.
class ControlLock {
public:
    ControlLock();
    ~ControlLock();
    ControlLock(const ControlLock&) = delete;
    ControlLock& operator=(const ControlLock&) = delete;
};

}  // namespace tessaway::platform
