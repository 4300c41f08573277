#pragma once

#include <memory>

class QCoreApplication;
class QSocketNotifier;

namespace tessaway {

/// Turns SIGTERM into a clean end of the event loop for as long as the object lives: the
/// handler only writes a byte into a pipe, and the event loop, seeing it, quits the
/// application. Nothing else happens on the way out; the server agent is not touched.
class TerminationSignal {
public:
    explicit TerminationSignal(QCoreApplication& app);
    /// Restores the handler that was there before.
    ~TerminationSignal();
    TerminationSignal(const TerminationSignal&) = delete;
    TerminationSignal& operator=(const TerminationSignal&) = delete;

    /// False when the pipe or the handler could not be set up; SIGTERM then ends the process
    /// the default way.
    bool installed() const { return installed_; }

private:
    bool installed_ = false;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tessaway
