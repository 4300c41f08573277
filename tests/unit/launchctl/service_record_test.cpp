#include "launchctl/supervisor/service_record.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launchctl/service_report.h"
#include "tests/doubles/temp_home.h"

namespace tessaway::launchd {
namespace {

TEST(ServiceRecordTest, RoundTripsThroughItsTextForm) {
    ServiceRecord record;
    record.supervisor = 4242;
    record.pid = 77;
    record.started = 123456789;
    record.stopping = true;
    record.lastStatus = "-15";
    record.report = "gui/1/x = {\n\tstate = SIGTERMed\n}\n";
    const auto back = decodeRecord(encodeRecord(record));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->supervisor, 4242);
    EXPECT_EQ(back->pid, 77);
    EXPECT_EQ(back->started, 123456789u);
    EXPECT_TRUE(back->stopping);
    EXPECT_EQ(back->lastStatus, "-15");
    EXPECT_EQ(back->report, record.report);
}

TEST(ServiceRecordTest, DamagedTextIsRefused) {
    for (const char* text : {"", "12 0 0 0 -", "12 0 0 0\nx", "12 0 0 2 -\n", "x 0 0 0 -\n",
                             "12 0 0 0 - extra\n", "12 -3 0 0 -\n", "12 0 x 0 -\n", "12 0 0 -\n"}) {
        EXPECT_FALSE(decodeRecord(text)) << text;
    }
}

// A lock held by another process is what makes a record loaded.
class RecordLockTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (holder_ > 0) {
            kill(holder_, SIGKILL);
            waitpid(holder_, nullptr, 0);
        }
    }

    /// Starts a process that locks the label's record and writes `record` for itself.
    void holdRecord(const std::string& label, ServiceRecord record, bool report) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        holder_ = fork();
        ASSERT_GE(holder_, 0);
        if (holder_ == 0) {
            const int fd = open(lockPath(folder(), label).c_str(), O_RDWR | O_CREAT, 0600);
            struct flock hold {};
            hold.l_type = F_WRLCK;
            hold.l_whence = SEEK_SET;
            if (fd < 0 || fcntl(fd, F_SETLK, &hold) != 0) _exit(1);
            record.supervisor = getpid();
            if (report) writeRecord(folder(), label, record);
            [[maybe_unused]] const ssize_t n = write(ready[1], "x", 1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
    }

    std::string folder() const { return dir_.path().string(); }

    testing::TempDir dir_;
    pid_t holder_ = 0;
};

TEST_F(RecordLockTest, NoLockFileIsNotLoaded) {
    EXPECT_FALSE(recordHolder(folder(), "com.x"));
    EXPECT_FALSE(loadedRecord(folder(), "com.x"));
}

TEST_F(RecordLockTest, StateWithoutItsLockIsStale) {
    ServiceRecord record;
    record.supervisor = getpid();
    record.report = "old\n";
    ASSERT_TRUE(writeRecord(folder(), "com.x", record));
    testing::writeFile(dir_.path() / "com.x.lock", "");
    EXPECT_FALSE(loadedRecord(folder(), "com.x"));
}

TEST_F(RecordLockTest, HeldLockNamesItsHolderAndItsReport) {
    ServiceRecord record;
    record.pid = 9;
    record.report = "report\n";
    holdRecord("com.x", record, true);
    EXPECT_EQ(recordHolder(folder(), "com.x"), holder_);
    const auto loaded = loadedRecord(folder(), "com.x");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->supervisor, holder_);
    EXPECT_EQ(loaded->pid, 9);
    EXPECT_EQ(loaded->report, "report\n");
    EXPECT_EQ(recordLabels(folder()), std::vector<std::string>{"com.x"});
}

TEST_F(RecordLockTest, ReportOfAnEarlierHolderIsNotShown) {
    ServiceRecord earlier;
    earlier.supervisor = 1;
    earlier.report = "earlier\n";
    ASSERT_TRUE(writeRecord(folder(), "com.x", earlier));
    holdRecord("com.x", ServiceRecord{}, false);
    const auto loaded = loadedRecord(folder(), "com.x");
    ASSERT_TRUE(loaded) << "a held lock means loaded";
    EXPECT_EQ(loaded->supervisor, holder_);
    EXPECT_EQ(loaded->report, "");
}

struct ReportCase {
    std::string name;
    ServiceRuntime runtime;
    std::string state;
    std::string lastLine;
    std::string listed;
};

class ServiceReportTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ServiceReportTest, ShowsStateAndLastEnd) {
    ServiceDefinition def;
    def.label = "com.x";
    def.path = "/a/com.x.plist";
    def.arguments = {"/bin/sleep", "9"};
    const std::string report = serviceReport(def, {{"A", "b"}}, GetParam().runtime, 501);
    EXPECT_EQ(report.rfind("gui/501/com.x = {\n", 0), 0u);
    EXPECT_NE(report.find("\tstate = " + GetParam().state + "\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\t" + GetParam().lastLine + "\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\tenvironment = {\n\t\tA => b\n\t}\n"), std::string::npos);
    const bool running = GetParam().runtime.pid != 0;
    EXPECT_EQ(report.find("\tpid = ") != std::string::npos, running);
    EXPECT_EQ(listStatus(GetParam().runtime), GetParam().listed);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServiceReportTest,
    ::testing::Values(
        ReportCase{"NeverStarted",
                   {0, false, 0, {}},
                   "not running",
                   "last exit code = (never exited)",
                   "-"},
        ReportCase{
            "Running", {12, false, 1, {}}, "running", "last exit code = (never exited)", "-"},
        ReportCase{"Stopping", {12, true, 1, {}}, "SIGTERMed", "runs = 1", "-"},
        ReportCase{"Exited",
                   {0, false, 2, Termination{false, 78}},
                   "not running",
                   "last exit code = 78",
                   "78"},
        ReportCase{"Killed",
                   {0, false, 2, Termination{true, SIGKILL}},
                   "not running",
                   "last terminating signal = Killed: 9",
                   "-9"},
        ReportCase{"RunningAgain",
                   {13, false, 3, Termination{false, 1}},
                   "running",
                   "last exit code = 1",
                   "1"}),
    testing::CaseName());

}  // namespace
}  // namespace tessaway::launchd
