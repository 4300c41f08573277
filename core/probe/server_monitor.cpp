#include "core/probe/server_monitor.h"

#include "platform/clock.h"

namespace tessaway {
namespace {

// A run of failed pings shows as starting for this long (inclusive), then as not responding.
constexpr double kGraceSeconds = 60.0;

}  // namespace

ServerMonitor::ServerMonitor(std::function<double()> clock) : clock_(std::move(clock)) {}

ServerMonitor::Ticket ServerMonitor::issueTicket() {
    return ++issued_;
}

void ServerMonitor::agentUnloaded() {
    applyNow();
    unansweredSince_.reset();
    snap_ = Snapshot{};
    snap_.state = ServerState::paused;
}

bool ServerMonitor::pinged(Ticket ticket, bool ok) {
    // Answers that arrive in the order their requests were sent all apply; one that an answer
    // to a later request, or a later event, has overtaken is out of date.
    if (ticket <= applied_) return false;
    applied_ = ticket;
    if (ok) {
        unansweredSince_.reset();
        snap_.state = ServerState::running;
        return true;
    }
    if (!unansweredSince_) unansweredSince_ = now();
    const double elapsed = now() - *unansweredSince_;
    snap_.state = elapsed > kGraceSeconds ? ServerState::notResponding : ServerState::starting;
    return true;
}

bool ServerMonitor::setupStatusAnswered(Ticket ticket, const SetupFacts& facts) {
    // Its ping is the newest thing applied, or the facts describe an outdated moment.
    if (ticket != applied_) return false;
    snap_.setFacts(facts);
    return true;
}

void ServerMonitor::pauseChosen() {
    applyNow();
    snap_ = Snapshot{};
    snap_.state = ServerState::paused;
}

void ServerMonitor::resumeChosen() {
    applyNow();
    snap_.state = ServerState::starting;
    unansweredSince_ = now();
}

void ServerMonitor::applyNow() {
    applied_ = ++issued_;
}

double ServerMonitor::now() const {
    return clock_ ? clock_() : platform::now();
}

}  // namespace tessaway
