#include "launcher/exit_status.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/doubles/temp_home.h"

namespace {

struct ExitStatusCase {
    std::string name;
    int waitStatus;
    int expected;
};

// Wait statuses as the kernel builds them: exit code in bits 8 to 15, terminating signal in the
// low seven bits, 0x80 the core-dump flag, 0x7f in the low bits the stopped marker.
const ExitStatusCase cases[] = {
    {"exit0", 0x0000, 0},
    {"exit1", 0x0100, 1},
    {"exit127ExecFailed", 0x7f00, 127},
    {"exit255", 0xff00, 255},
    {"sigterm", SIGTERM, 0},
    {"sigint", SIGINT, 0},
    {"sigintWithCore", SIGINT | 0x80, 0},
    {"sigkill", SIGKILL, 137},
    {"sighup", SIGHUP, 129},
    {"sigquitWithCore", SIGQUIT | 0x80, 131},
    {"sigsegvWithCore", SIGSEGV | 0x80, 139},
    {"sigabrt", SIGABRT, 134},
    {"highestSignal", 64, 192},
    {"stoppedBySigstop", (SIGSTOP << 8) | 0x7f, 1},
    {"stoppedBySigtstp", (SIGTSTP << 8) | 0x7f, 1},
    {"continuedMarker", 0xffff, 1},
};

class ExitStatusTest : public testing::TestWithParam<ExitStatusCase> {};

TEST_P(ExitStatusTest, MapsWaitStatus) {
    EXPECT_EQ(exitStatusFor(GetParam().waitStatus), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ExitStatusTest, testing::ValuesIn(cases),
                         tessaway::testing::CaseName());

}  // namespace
