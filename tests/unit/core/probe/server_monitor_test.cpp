#include "core/probe/server_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>

#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

const SetupFacts kDen{true, "Den", true};
const SetupFacts kEmpty{std::nullopt, "", std::nullopt};  ///< an empty name is still a name
const SetupFacts kNone{};

/// `steps` is what happens to the monitor, in order, as words: "sendN" sends ping N; "okN" and
/// "failN" answer it (sending it first if it was not sent); "factsN" and "emptyN" answer the
/// setup status of ping N with kDen and kEmpty; "unload", "pause" and "resume" are the events
/// without a request. "@T" sets the clock to T for that step (1000 otherwise); a leading "~"
/// marks an answer that the monitor must drop as out of date.
struct MonitorCase {
    std::string name;
    std::string steps;
    ServerState state;
    SetupFacts facts;
    std::optional<double> unansweredSince;
};

class ServerMonitorTest : public ::testing::TestWithParam<MonitorCase> {};

TEST_P(ServerMonitorTest, AppliesTheEventsInTurn) {
    double clock = 1000.0;
    ServerMonitor monitor([&clock] { return clock; });
    std::map<int, ServerMonitor::Ticket> tickets;
    auto ticketOf = [&](int ping) {
        if (!tickets.count(ping)) tickets[ping] = monitor.issueTicket();
        return tickets[ping];
    };
    std::istringstream words(GetParam().steps);
    for (std::string step; words >> step;) {
        SCOPED_TRACE(step);
        const bool applies = step[0] != '~';
        if (!applies) step.erase(0, 1);
        const size_t at = step.find('@');
        clock = at == std::string::npos ? 1000.0 : std::stod(step.substr(at + 1));
        const size_t digit = step.find_first_of("0123456789");
        const std::string verb = step.substr(0, std::min(digit, at));
        const int ping = digit < at ? std::stoi(step.substr(digit, at - digit)) : 0;
        if (verb == "send") {
            ticketOf(ping);
        } else if (verb == "ok" || verb == "fail") {
            EXPECT_EQ(monitor.pinged(ticketOf(ping), verb == "ok"), applies);
        } else if (verb == "facts" || verb == "empty") {
            const SetupFacts& facts = verb == "facts" ? kDen : kEmpty;
            EXPECT_EQ(monitor.setupStatusAnswered(tickets.at(ping), facts), applies);
        } else if (verb == "unload") {
            monitor.agentUnloaded();
        } else if (verb == "pause") {
            monitor.pauseChosen();
        } else if (verb == "resume") {
            monitor.resumeChosen();
        } else {
            FAIL() << "no such step";
        }
    }
    const MonitorCase& c = GetParam();
    EXPECT_EQ(monitor.snapshot().state, c.state);
    EXPECT_EQ(monitor.snapshot().claimed, c.facts.claimed);
    EXPECT_EQ(monitor.snapshot().name, c.facts.name);
    EXPECT_EQ(monitor.snapshot().configured, c.facts.configured);
    EXPECT_EQ(monitor.unansweredSince(), c.unansweredSince);
}

using S = ServerState;

INSTANTIATE_TEST_SUITE_P(
    Events, ServerMonitorTest,
    ::testing::Values(
        MonitorCase{"an_answer_runs_and_keeps_the_facts", "ok1 facts1 ok2", S::running, kDen, {}},
        MonitorCase{
            "setup_status_replaces_all_three", "ok1 facts1 ok2 empty2", S::running, kEmpty, {}},
        MonitorCase{"first_failure_starts_the_count", "ok1 facts1 fail2@1005", S::starting, kDen,
                    1005.0},
        MonitorCase{"exactly_sixty_seconds_is_still_starting", "fail1 fail2@1030 fail3@1060",
                    S::starting, kNone, 1000.0},
        MonitorCase{"more_than_sixty_is_not_responding", "ok1 facts1 fail2 fail3@1060.001",
                    S::notResponding, kDen, 1000.0},
        MonitorCase{"an_answer_ends_the_run", "fail1 fail2@1061 ok3@1062", S::running, kNone, {}},
        MonitorCase{"a_new_run_counts_from_its_first_failure",
                    "fail1 ok2@1001 fail3@1500 fail4@1560 fail5@1561", S::notResponding, kNone,
                    1500.0},
        MonitorCase{"unloaded_forgets_everything",
                    "ok1 facts1 fail2@1010 unload@1020",
                    S::paused,
                    kNone,
                    {}},
        MonitorCase{"pause_clears_facts_and_keeps_the_run", "ok1 facts1 fail2@1010 pause@1020",
                    S::paused, kNone, 1010.0},
        MonitorCase{"grace_counts_from_the_resume", "unload resume@2000 fail1@2060", S::starting,
                    kNone, 2000.0},
        MonitorCase{"not_responding_after_sixty_from_the_resume", "unload resume@2000 fail1@2061",
                    S::notResponding, kNone, 2000.0},
        // An answer counts only if nothing newer has been applied since it was sent.
        MonitorCase{"answers_in_sending_order_all_apply", "send1 send2 ok1 fail2@1005", S::starting,
                    kNone, 1005.0},
        MonitorCase{"older_answer_after_newer_failure", "send1 fail2@1005 ~ok1@1006", S::starting,
                    kNone, 1005.0},
        MonitorCase{"older_failure_after_newer_answer",
                    "send1 ok2 facts2 ~fail1@1100",
                    S::running,
                    kDen,
                    {}},
        MonitorCase{"answer_sent_before_a_pause", "send1 pause ~ok1", S::paused, kNone, {}},
        MonitorCase{"answer_sent_before_a_resume", "send1 unload resume@2000 ~ok1@2001",
                    S::starting, kNone, 2000.0},
        MonitorCase{
            "answer_sent_before_an_unloaded_poll", "send1 unload ~ok1", S::paused, kNone, {}},
        MonitorCase{"ping_sent_after_a_pause_applies", "pause fail1@1001", S::starting, kNone,
                    1001.0},
        MonitorCase{
            "setup_status_of_an_overtaken_ping", "ok1 ok2 facts2 ~empty1", S::running, kDen, {}},
        MonitorCase{"setup_status_after_a_newer_failure", "ok1 fail2@1005 ~facts1", S::starting,
                    kNone, 1005.0},
        MonitorCase{"setup_status_after_a_pause", "ok1 pause ~facts1", S::paused, kNone, {}}),
    testing::CaseName());

}  // namespace
}  // namespace tessaway
