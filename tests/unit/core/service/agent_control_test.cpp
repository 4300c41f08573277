#include "core/service/agent_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>

#include "core/identity.h"
#include "platform/clock.h"
#include "tests/doubles/fake_launchctl.h"
#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

using Args = std::vector<std::string>;
using Verbs = std::vector<std::string>;

class AgentControlTest : public testing::HomeTest {
protected:
    AgentControlTest() {
        fake.install();
        // A clock that moves only when stopServer() sleeps, or when a print runs.
        platform::setClockForTesting([this] { return clock; },
                                     [this](double s) { sleeps.push_back(s), clock += s; });
    }
    void installDefinition() { testing::writeFile(serverPlist, "<plist/>"); }
    std::string target(const std::string& label) { return domain + "/" + label; }

    testing::FakeLaunchctl fake;
    double clock = 1000.0;
    std::vector<double> sleeps;
};

struct OverrideCase {
    const char* name;
    std::string output;
    int status;
    bool expected;
};

class StartAtLoginTest : public AgentControlTest,
                         public ::testing::WithParamInterface<OverrideCase> {};

TEST_P(StartAtLoginTest, ReadsTheFirstLineNamingTheServerLabel) {
    fake.printDisabledOutput = GetParam().output;
    fake.printDisabledStatus = GetParam().status;
    EXPECT_EQ(startAtLogin(), GetParam().expected);
    EXPECT_EQ(fake.calls, (std::vector<Args>{{"print-disabled", domain}}));
}

const std::string S = "\"com.quorvel.tessaway-server\"";
INSTANTIATE_TEST_SUITE_P(
    Table, StartAtLoginTest,
    ::testing::Values(
        OverrideCase{"disabled", "disabled services = {\n\t" + S + " => disabled\n}\n", 0, false},
        OverrideCase{"true_form", "disabled services = {\n\t" + S + " => true\n}\n", 0, false},
        OverrideCase{"enabled", "disabled services = {\n\t" + S + " => enabled\n}\n", 0, true},
        OverrideCase{"false_form", "disabled services = {\n\t" + S + " => false\n}\n", 0, true},
        OverrideCase{"no_line", "disabled services = {\n\t\"com.other\" => disabled\n}\n", 0, true},
        OverrideCase{"longer_label_same_prefix",
                     "\t\"com.quorvel.tessaway-server.helper\" => disabled\n", 0, true},
        OverrideCase{"label_without_quotes", "\tcom.quorvel.tessaway-server => disabled\n", 0,
                     true},
        OverrideCase{"first_of_two_decides_on", "\t" + S + " => enabled\n\t" + S + " => disabled\n",
                     0, true},
        OverrideCase{"first_of_two_decides_off",
                     "\t" + S + " => disabled\n\t" + S + " => enabled\n", 0, false},
        OverrideCase{"empty_output", "", 0, true},
        OverrideCase{"failed_tool", "Could not print\n", 1, true},
        OverrideCase{"failed_tool_with_disabled_line", "\t" + S + " => disabled\n", 1, false},
        OverrideCase{"no_trailing_newline", "\t" + S + " => disabled", 0, false},
        OverrideCase{"enabled_but_nothing_loads_at_login",
                     "\t" + S + " => enabled\nlogin = off: the entry is switched off\n", 0, false},
        OverrideCase{"nothing_loads_at_login_without_an_override",
                     "disabled services = {\n}\nlogin = off: the entry is switched off\n", 0,
                     false},
        OverrideCase{"a_login_line_inside_another_line_says_nothing",
                     "\t\"x\" => login = off: no\n", 0, true}),
    testing::CaseName());

TEST_F(AgentControlTest, SetStartAtLoginSwitchesServerThenTrayEvenWhenTheFirstFails) {
    fake.enableStatus = 1;
    setStartAtLogin(true);
    setStartAtLogin(false);
    EXPECT_EQ(fake.calls, (std::vector<Args>{{"enable", target(serverLabel)},
                                             {"enable", target(trayLabel)},
                                             {"disable", target(serverLabel)},
                                             {"disable", target(trayLabel)}}));
}

/// `given` says in words what holds beforehand and what runs: "loaded" (the server agent),
/// "defined" (its definition is installed), "login-off", "refused" (every bootstrap fails),
/// "loads-anyway" (a failed bootstrap loads the agent all the same); "start" or "stop".
struct StartStopCase {
    const char* name;
    std::string given;
    bool started;       ///< what startServer() answers
    std::string calls;  ///< the verbs of what it asks about the server agent, in order
};

Verbs words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

class StartStopTest : public AgentControlTest,
                      public ::testing::WithParamInterface<StartStopCase> {};

TEST_P(StartStopTest, AsksTheServiceManagerOnlyWhatItNeeds) {
    const Verbs given = words(GetParam().given);
    const auto has = [&](const std::string& word) {
        return std::find(given.begin(), given.end(), word) != given.end();
    };
    if (has("loaded")) fake.loadedLabels.insert(serverLabel);
    if (has("defined")) installDefinition();
    if (has("login-off")) fake.overrides[serverLabel] = false;
    if (has("refused")) fake.bootstrapStatus = 5;
    fake.bootstrapLoads = has("loads-anyway");
    if (has("stop")) {
        stopServer();
    } else {
        EXPECT_EQ(static_cast<bool>(startServer()), GetParam().started);
    }
    std::vector<Args> expected;
    for (const std::string& verb : words(GetParam().calls)) {
        expected.push_back(verb == "print-disabled" ? Args{verb, domain}
                           : verb == "bootstrap"    ? Args{verb, domain, serverPlist.string()}
                                                    : Args{verb, target(serverLabel)});
    }
    EXPECT_EQ(fake.calls, expected);
    EXPECT_TRUE(sleeps.empty());  // a stop polls at once after the bootout
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartStopTest,
    ::testing::Values(
        StartStopCase{"start_when_loaded_even_without_a_definition", "start loaded", true, "print"},
        StartStopCase{"start_without_a_definition_fails", "start", false, "print"},
        StartStopCase{"start_with_login_on", "start defined", true,
                      "print print-disabled bootstrap"},
        StartStopCase{"start_with_login_off_lifts_the_override_for_the_bootstrap_only",
                      "start defined login-off", true,
                      "print print-disabled enable bootstrap disable"},
        StartStopCase{"failed_bootstrap_that_loads_all_the_same_succeeds",
                      "start defined login-off refused loads-anyway", true,
                      "print print-disabled enable bootstrap disable print"},
        StartStopCase{"failed_bootstrap_without_the_agent_loaded_fails", "start defined refused",
                      false, "print print-disabled bootstrap print"},
        StartStopCase{"stop_when_not_loaded", "stop", false, "print"},
        StartStopCase{"stop_boots_out_and_polls_at_once", "stop loaded", false,
                      "print bootout print"}),
    testing::CaseName());

TEST_F(AgentControlTest, StopOfAServiceThatNeverUnloadsGivesUpAfterTwentyFiveSeconds) {
    fake.loadedLabels.insert(serverLabel);
    fake.bootoutUnloads = false;
    stopServer();
    EXPECT_DOUBLE_EQ(clock, 1025.0);
    // After the bootout it only asks, once after every pause and once more at the deadline.
    Verbs expected(sleeps.size() + 3, "print");
    expected[1] = "bootout";
    EXPECT_EQ(fake.verbs(), expected);
}

}  // namespace
}  // namespace tessaway
