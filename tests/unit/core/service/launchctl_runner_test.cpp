#include "core/service/launchctl_runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>

#include <chrono>
#include <filesystem>

#include "platform/control_lock.h"
#include "platform/process.h"
#include "platform/process_signal.h"
#include "platform/unique_fd.h"
#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

using testing::ScopedEnv;

// The runner is exercised against /bin/sh as the tool: "-c SCRIPT" makes any behaviour.
class LaunchctlRunnerTest : public ::testing::Test {
protected:
    LaunchctlResult sh(const std::string& script) { return launchctl({"-c", script}); }
    ScopedEnv tool_{"TESSAWAY_LAUNCHCTL", "/bin/sh"};
};

TEST_F(LaunchctlRunnerTest, StandardErrorOnlyArrivesWithTheToolsStatus) {
    const auto r = sh("printf 'Could not find service\\n' >&2; exit 113");
    EXPECT_EQ(r.status, 113);
    EXPECT_EQ(r.output, "Could not find service\n");
}

TEST_F(LaunchctlRunnerTest, BothStreamsInterleaveInTheOrderWritten) {
    const auto r = sh("printf 'a'; printf 'b' >&2; printf 'c'; printf 'd\\n' >&2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "abcd\n");
}

TEST_F(LaunchctlRunnerTest, OutputLargerThanAPipeIsReadInFull) {
    const auto r = sh("head -c 3000000 /dev/zero | tr '\\0' 'x'; printf 'end' >&2");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.output.size(), 3000003u);
    EXPECT_EQ(r.output.substr(0, 5), "xxxxx");
    EXPECT_EQ(r.output.substr(3000000), "end");
}

TEST_F(LaunchctlRunnerTest, InvalidUtf8ByteBecomesReplacementCharacter) {
    const auto r = sh("printf 'ok\\377ok\\n'");
    EXPECT_EQ(r.output, "ok\xEF\xBF\xBDok\n");
}

TEST_F(LaunchctlRunnerTest, ArgumentsArriveUnchangedWithoutAShell) {
    const auto r = launchctl({"-c", "printf '[%s]' \"$@\"", "sh", "a b", "", "$HOME", "*"});
    EXPECT_EQ(r.output, "[a b][][$HOME][*]");
}

TEST_F(LaunchctlRunnerTest, NonZeroExitStatusIsPassedOn) {
    EXPECT_EQ(sh("exit 5").status, 5);
    EXPECT_EQ(sh("exit 0").status, 0);
}

TEST_F(LaunchctlRunnerTest, ChildSeesNoDescriptorOfOursBeyondTheStandardThree) {
    // A descriptor opened here without close-on-exec must not reach the tool.
    const int fd = dup(STDIN_FILENO);
    ASSERT_GE(fd, 0);
    const auto r = sh("ls /proc/self/fd | sort -n | tr '\\n' ' '");
    close(fd);
    // 0, 1, 2 and the descriptor that ls uses to read the folder.
    EXPECT_EQ(r.output, "0 1 2 3 ");
}

struct EnvironmentCase {
    const char* name;
    std::string variable;
    size_t size;
    std::string seen;  ///< what the tool sees: the value's length, or "unset"
};

class ToolEnvironmentTest : public LaunchctlRunnerTest,
                            public ::testing::WithParamInterface<EnvironmentCase> {};

// A variable set in this process (as the desktop's activation token is, by the toolkit) can
// grow past what the kernel lets a program start with; the tool starts all the same.
TEST_P(ToolEnvironmentTest, StartsWithTheVariablesItCanTake) {
    const ScopedEnv set(GetParam().variable, std::string(GetParam().size, 'v'));
    const std::string name = GetParam().variable;
    const auto r = sh("if [ -n \"${" + name + "+set}\" ]; then printf '%s' \"$" + name +
                      "\" | wc -c; else echo unset; fi");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, GetParam().seen + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToolEnvironmentTest,
    ::testing::Values(
        EnvironmentCase{"huge_activation_token", "XDG_ACTIVATION_TOKEN", 200000, "unset"},
        EnvironmentCase{"small_activation_token", "XDG_ACTIVATION_TOKEN", 40, "unset"},
        EnvironmentCase{"startup_id", "DESKTOP_STARTUP_ID", 40, "unset"},
        EnvironmentCase{"huge_other_variable", "TESSAWAY_FILLER", 200000, "unset"},
        EnvironmentCase{"long_home", "HOME", 3800, "3800"},
        EnvironmentCase{"display", "WAYLAND_DISPLAY", 9, "9"}),
    testing::CaseName());

TEST(ChildEnvironmentTest, AProgramWithWindowsKeepsAnActivationTokenOfSaneSize) {
    std::string small = "XDG_ACTIVATION_TOKEN=abc";
    std::string huge = "XDG_ACTIVATION_TOKEN=" + std::string(200000, 't');
    std::string display = "DISPLAY=:0";
    char* withSmall[] = {small.data(), display.data(), nullptr};
    char* withHuge[] = {huge.data(), display.data(), nullptr};
    using Vars = std::vector<std::string>;
    EXPECT_EQ(platform::childEnvironment(withSmall, true), (Vars{small, display}));
    EXPECT_EQ(platform::childEnvironment(withHuge, true), (Vars{display}));
    EXPECT_EQ(platform::childEnvironment(withSmall, false), (Vars{display}));
}

TEST_F(LaunchctlRunnerTest, TheToolStartsWithNoSignalHeldBack) {
    const platform::DeferredTermination held;
    EXPECT_EQ(sh("grep SigBlk /proc/self/status").output, "SigBlk:\t0000000000000000\n");
}

TEST(LaunchctlRunnerMissingTool, ReportsMinusOneAndADescriptionImmediately) {
    ScopedEnv tool("TESSAWAY_LAUNCHCTL", "/nonexistent/launchctl");
    const auto start = std::chrono::steady_clock::now();
    const auto r = launchctl({"print", "gui/0/x"});
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(15));  // not the time-out
    EXPECT_EQ(r.status, -1);
    EXPECT_NE(r.output.find("/nonexistent/launchctl"), std::string::npos) << r.output;
}

TEST(LaunchctlRunnerMissingTool, ANonExecutableFileCannotStartEither) {
    testing::TempDir dir;
    testing::writeFile(dir.path() / "launchctl", "not a program");
    ScopedEnv tool("TESSAWAY_LAUNCHCTL", (dir.path() / "launchctl").string());
    const auto r = launchctl({"print"});
    EXPECT_EQ(r.status, -1);
    EXPECT_FALSE(r.output.empty());
}

/// A wait that must end: what is waited for, how long it may take, and what the caller learns.
struct BoundedWaitCase {
    const char* name;
    std::string script;  ///< run by /bin/sh with a time limit of half a second
    bool timedOut;
    int status;
    std::string output;
};

class BoundedWaitTest : public ::testing::TestWithParam<BoundedWaitCase> {};

TEST_P(BoundedWaitTest, EndsAtTheTimeLimitWithWhatIsKnownByThen) {
    const auto& row = GetParam();
    testing::TempDir dir;
    const auto leftover = dir.path() / "leftover";
    ScopedEnv env("LEFTOVER", leftover.string());
    const auto run = platform::runCaptured("/bin/sh", {"-c", row.script}, 0.5);
    if (const std::string pid = testing::readFile(leftover); !pid.empty()) {
        kill(std::stoi(pid), SIGKILL);
    }
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.timedOut, row.timedOut);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.output, row.output);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BoundedWaitTest,
    ::testing::Values(
        BoundedWaitCase{"tool_that_never_ends_is_killed", "printf started; exec sleep 60", true,
                        SIGKILL, "started"},
        BoundedWaitCase{"tool_that_closes_its_output_and_stays_is_killed",
                        "printf started; exec >&- 2>&-; exec sleep 60", true, SIGKILL, "started"},
        BoundedWaitCase{"tool_that_ends_but_leaves_the_pipe_held_gives_its_status",
                        "printf done; sleep 60 & echo $! > \"$LEFTOVER\"; exit 3", false, 3,
                        "done"},
        BoundedWaitCase{"tool_within_the_limit_is_untouched", "printf quick", false, 0, "quick"}),
    testing::CaseName());

TEST(ControlLockWait, GivesUpWhenAnotherHolderKeepsItAndSaysSo) {
    testing::TempDir runtime;
    ScopedEnv env("XDG_RUNTIME_DIR", runtime.path().string());
    const auto folder = runtime.path() / "tessaway-control";
    std::filesystem::create_directories(folder);
    // Held as another process holds it: through an open file of its own.
    const platform::UniqueFd holder(
        open((folder / "control.lock").c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_EQ(flock(holder.get(), LOCK_EX), 0);
    ::testing::internal::CaptureStderr();
    {
        const platform::ControlLock lock(0.3);
        EXPECT_FALSE(lock.held());
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "tessaway-tray: gave up after 0.3 seconds: another command still holds " +
                  (folder / "control.lock").string() + "\n");
    flock(holder.get(), LOCK_UN);
    const platform::ControlLock lock(0.3);
    EXPECT_TRUE(lock.held());
}

}  // namespace
}  // namespace tessaway
