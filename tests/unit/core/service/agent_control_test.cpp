#include "core/service/agent_control.h"

#include <gtest/gtest.h>

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

TEST_F(AgentControlTest, LoadedAsksPrintWithTheServiceTarget) {
    EXPECT_FALSE(serverLoaded());
    fake.loadedLabels.insert(serverLabel);
    EXPECT_TRUE(serverLoaded());
    EXPECT_TRUE(loaded(serverLabel));
    EXPECT_FALSE(loaded(trayLabel));
    EXPECT_EQ(fake.calls[0], (Args{"print", target(serverLabel)}));
    EXPECT_EQ(fake.calls[3], (Args{"print", target(trayLabel)}));
}

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

TEST_F(AgentControlTest, StartWhenAlreadyLoadedRunsOnlyPrintEvenWithoutADefinition) {
    fake.loadedLabels.insert(serverLabel);
    EXPECT_TRUE(startServer());
    EXPECT_EQ(fake.verbs(), (Verbs{"print"}));
}

TEST_F(AgentControlTest, StartWithoutADefinitionRunsOnlyPrintAndFails) {
    EXPECT_FALSE(startServer());
    EXPECT_EQ(fake.verbs(), (Verbs{"print"}));
}

TEST_F(AgentControlTest, StartWithLoginOnBootstraps) {
    installDefinition();
    EXPECT_TRUE(startServer());
    EXPECT_EQ(fake.verbs(), (Verbs{"print", "print-disabled", "bootstrap"}));
    EXPECT_EQ(fake.calls[2], (Args{"bootstrap", domain, serverPlist.string()}));
}

TEST_F(AgentControlTest, StartWithLoginOffLiftsTheOverrideForTheBootstrapOnly) {
    installDefinition();
    fake.printDisabledOutput = "\t" + S + " => disabled\n";
    EXPECT_TRUE(startServer());
    EXPECT_EQ(fake.verbs(), (Verbs{"print", "print-disabled", "enable", "bootstrap", "disable"}));
    EXPECT_EQ(fake.calls[2], (Args{"enable", target(serverLabel)}));
    EXPECT_EQ(fake.calls[4], (Args{"disable", target(serverLabel)}));
}

TEST_F(AgentControlTest, FailedBootstrapStillSucceedsWhenTheAgentIsLoadedAfterwards) {
    installDefinition();
    fake.printDisabledOutput = "\t" + S + " => true\n";
    fake.bootstrapStatus = 5;
    EXPECT_TRUE(startServer());
    EXPECT_EQ(fake.verbs(),
              (Verbs{"print", "print-disabled", "enable", "bootstrap", "disable", "print"}));
}

TEST_F(AgentControlTest, FailedBootstrapWithoutTheAgentLoadedFails) {
    installDefinition();
    fake.bootstrapStatus = 5;
    fake.bootstrapLoads = false;
    EXPECT_FALSE(startServer());
    EXPECT_EQ(fake.verbs(), (Verbs{"print", "print-disabled", "bootstrap", "print"}));
}

TEST_F(AgentControlTest, StopWhenNotLoadedRunsOnlyPrint) {
    stopServer();
    EXPECT_EQ(fake.verbs(), (Verbs{"print"}));
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(AgentControlTest, StopBootsOutAndPollsAtOnceWithoutSleeping) {
    fake.loadedLabels.insert(serverLabel);
    stopServer();
    EXPECT_EQ(fake.calls, (std::vector<Args>{{"print", target(serverLabel)},
                                             {"bootout", target(serverLabel)},
                                             {"print", target(serverLabel)}}));
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(AgentControlTest, StopOfAServiceThatNeverUnloadsGivesUpAfterTwentyFiveSeconds) {
    fake.loadedLabels.insert(serverLabel);
    fake.bootoutUnloads = false;
    stopServer();
    // Polls at 0, 0.25, ..., 25.0 seconds: 101 prints after the bootout, 100 pauses.
    ASSERT_EQ(sleeps.size(), 100u);
    for (double s : sleeps)
        EXPECT_DOUBLE_EQ(s, 0.25);
    const auto verbs = fake.verbs();
    EXPECT_EQ(verbs.size(), 1u + 1u + 101u);
    EXPECT_EQ(verbs[1], "bootout");
    EXPECT_DOUBLE_EQ(clock, 1025.0);
}

}  // namespace
}  // namespace tessaway
