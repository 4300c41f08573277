#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "core/probe/snapshot.h"

namespace tessaway {

/// What the controller knows about the server between polls: the snapshot the menu shows and
/// the start of the current run of unanswered pings. It applies the events of the polling cycle
/// and of the pause row, measures the run of failures on its clock, and drops an answer when
/// something newer has been applied since its request was sent, so that a slow answer never
/// paints over a newer picture. Not thread-safe: the Tray drives it from the main thread.
class ServerMonitor {
public:
    /// Orders requests against each other and against the events that need no request.
    using Ticket = uint64_t;

    /// Seconds on the platform clock by default; tests pass their own.
    explicit ServerMonitor(std::function<double()> clock = {});

    const Snapshot& snapshot() const { return snap_; }
    /// When the current run of failed pings began (or the last resume); absent while answered.
    std::optional<double> unansweredSince() const { return unansweredSince_; }

    /// A ticket for a ping about to be sent; its answer and the setup status it leads to carry it.
    Ticket issueTicket();

    /// A poll found the server agent not loaded: paused, nothing known, no run of failures.
    void agentUnloaded();
    /// The ping of `ticket` answered (`ok`: status 200) or failed. False when it was dropped
    /// because something newer has been applied; the setup status is asked only when true.
    bool pinged(Ticket ticket, bool ok);
    /// The setup status asked after the ping of `ticket` answered. Replaces the three facts
    /// unless something newer than that ping has been applied since (then false).
    bool setupStatusAnswered(Ticket ticket, const SetupFacts& facts);
    /// The user paused sharing: paused, facts cleared; the run of failures is left alone.
    void pauseChosen();
    /// The user resumed sharing: starting, and the grace period counts from now.
    void resumeChosen();

private:
    /// Marks an event that needs no request as the newest one applied.
    void applyNow();
    double now() const;

    std::function<double()> clock_;
    Snapshot snap_;
    std::optional<double> unansweredSince_;
    Ticket issued_ = 0;   ///< the newest ticket or event so far
    Ticket applied_ = 0;  ///< the ticket or event of the newest answer or event applied
};

}  // namespace tessaway
