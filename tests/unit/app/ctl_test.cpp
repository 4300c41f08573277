#include "app/ctl.h"

#include <gtest/gtest.h>

#include "core/identity.h"
#include "core/service/agent_control.h"
#include "platform/clock.h"
#include "tests/doubles/fake_launchctl.h"
#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

using Verbs = std::vector<std::string>;

const std::string S = "\"com.quorvel.tessaway-server\"";

class CtlTest : public testing::HomeTest {
protected:
    CtlTest() {
        fake.install();
        platform::setClockForTesting([this] { return clock; }, [this](double s) { clock += s; });
    }
    void installDefinition() { testing::writeFile(serverPlist, "<plist/>"); }

    testing::FakeLaunchctl fake;
    double clock = 1000.0;
};

struct RestoreCase {
    const char* name;
    bool disableFails;
    bool overrideHolds;  ///< print-disabled still shows the override after a failed disable
    bool restored;
};

class RestoreTest : public CtlTest, public ::testing::WithParamInterface<RestoreCase> {};

// Resuming with start at login off lifts the override for the bootstrap; a restore that does
// not take is reported, and the resume counts as failed.
TEST_P(RestoreTest, AFailedRestoreIsCheckedAndReported) {
    installDefinition();
    setStartAtLogin(false);
    fake.calls.clear();
    if (GetParam().disableFails) fake.disableStatus = 28;
    if (GetParam().overrideHolds) fake.printDisabledOutput = "\t" + S + " => disabled\n";
    ::testing::internal::CaptureStderr();
    const int32_t status = runCtl("resume");
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fake.loadedLabels.count(serverLabel));
    Verbs expected{"print", "print-disabled", "enable", "bootstrap", "disable"};
    if (GetParam().disableFails) expected.push_back("print-disabled");
    EXPECT_EQ(fake.verbs(), expected);
    EXPECT_EQ(status, GetParam().restored ? 0 : 1);
    EXPECT_EQ(startAtLogin(), !GetParam().restored);
    EXPECT_EQ(errors, GetParam().restored ? ""
                                          : "start at login could not be switched off again for "
                                            "com.quorvel.tessaway-server: Could not disable "
                                            "service: 28: No space left on device\n");
}

INSTANTIATE_TEST_SUITE_P(Table, RestoreTest,
                         ::testing::Values(RestoreCase{"restored", false, false, true},
                                           RestoreCase{"disable_fails", true, false, false},
                                           RestoreCase{"disable_fails_but_the_override_holds", true,
                                                       true, true}),
                         testing::CaseName());

struct LoginOnCase {
    const char* name;
    std::optional<int> enableStatus;
    std::optional<std::string> printDisabled;
    std::string message;
};

class LoginOnTest : public CtlTest, public ::testing::WithParamInterface<LoginOnCase> {};

// When start at login stays off, login-on says why.
TEST_P(LoginOnTest, SaysWhyItCannot) {
    setStartAtLogin(false);
    fake.enableStatus = GetParam().enableStatus;
    fake.printDisabledOutput = GetParam().printDisabled;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(runCtl("login-on"), GetParam().message.empty() ? 0 : 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoginOnTest,
    ::testing::Values(
        LoginOnCase{"switched_on", std::nullopt, std::nullopt, ""},
        LoginOnCase{"refused", 5, std::nullopt,
                    "start at login could not be switched on: the setting did not change\n"},
        LoginOnCase{"entry_still_switched_off", std::nullopt,
                    "login = off: the autostart entry is switched off (Hidden=true)\n",
                    "start at login could not be switched on: the autostart entry is switched "
                    "off (Hidden=true)\n"}),
    testing::CaseName());

}  // namespace
}  // namespace tessaway
