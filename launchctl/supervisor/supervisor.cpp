#include "launchctl/supervisor/supervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>

#include "launchctl/locations.h"
#include "launchctl/service_report.h"
#include "launchctl/supervisor/service_record.h"
#include "platform/clock.h"
#include "platform/lock_file.h"
#include "platform/process_signal.h"
#include "platform/system.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace tessaway::launchd {
namespace {

// Restarts of a program that ends at once are spaced this far apart at the least, whatever
// the definition asks, so that a broken service cannot make its supervisor spin.
constexpr double kMinimumRestartSpacing = 1.0;
// How long a bootout waits for the supervisors to take up the request. A supervisor answers as
// soon as it runs, so the limit only matters on a busy machine, where a bootout that returned
// first would let the next bootstrap find the old service still loaded.
constexpr double kStopAckSeconds = 10.0;

// Answers from a starting supervisor to the bootstrap that started it.
constexpr char kAnswerLoaded = 'L';
constexpr char kAnswerAlreadyLoaded = 'A';
constexpr char kAnswerFailed = 'F';

void answer(int fd, char value) {
    while (write(fd, &value, 1) < 0 && errno == EINTR) {
    }
}

void closeFrom(unsigned first, unsigned last) {
    if (first > last) return;
    if (close_range(first, last, 0) == 0) return;
    const long limit = std::min<long>(sysconf(_SC_OPEN_MAX), 65536);
    for (long fd = first; fd <= std::min<long>(last, limit); ++fd)
        close(static_cast<int>(fd));
}

/// Leaves the supervisor with /dev/null on 0, 1 and 2 and nothing else open but the answer
/// channel, which it returns (moved to a descriptor above 2).
int detachDescriptors(int answerFd) {
    const int kept = fcntl(answerFd, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd <= 2; ++fd) {
        if (null >= 0) {
            dup2(null, fd);
        } else {
            close(fd);
        }
    }
    if (kept < 0) {
        closeFrom(3, UINT_MAX);
        return -1;
    }
    closeFrom(3, static_cast<unsigned>(kept) - 1);
    closeFrom(static_cast<unsigned>(kept) + 1, UINT_MAX);
    return kept;
}

void resetSignals() {
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) (void)::signal(signal, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void ignoreChild(int) {}

int openOutput(const std::string& path) {
    int fd = -1;
    if (!path.empty()) {
        // Non-blocking so that a FIFO without a reader cannot stall the start.
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd >= 0) fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    }
    if (fd < 0) fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    return fd;
}

/// Everything the program is started with, prepared before fork.
struct Launch {
    std::vector<std::string> envStrings;
    std::vector<char*> envp;
    std::vector<char*> argv;
};

class Supervisor {
public:
    Supervisor(const ServiceDefinition& def, const Environment& env, std::string folder,
               unsigned long uid)
        : def_(def), env_(env), folder_(std::move(folder)), uid_(uid) {
        for (const auto& [name, value] : env_)
            launch_.envStrings.push_back(name + "=" + value);
        for (auto& entry : launch_.envStrings)
            launch_.envp.push_back(entry.data());
        launch_.envp.push_back(nullptr);
        arguments_ = def_.arguments;
        for (auto& argument : arguments_)
            launch_.argv.push_back(argument.data());
        launch_.argv.push_back(nullptr);
        sigemptyset(&waited_);
        for (int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
            sigaddset(&waited_, signal);
    }

    const sigset_t& waitedSignals() const { return waited_; }

    /// Starts the program if the definition says so and publishes the first report.
    void begin() {
        if (def_.startsAtLoad()) {
            start();
        } else {
            report();
        }
    }

    /// Serves until a stop request has been carried out.
    void run() {
        while (!(stopRequested_ && runtime_.pid == 0)) {
            siginfo_t info{};
            int signal = -1;
            if (const auto wait = secondsUntilNextTimer()) {
                const double whole = static_cast<double>(static_cast<long>(*wait));
                const timespec timeout{static_cast<time_t>(whole),
                                       static_cast<long>((*wait - whole) * 1e9)};
                signal = sigtimedwait(&waited_, &info, &timeout);
            } else {
                signal = sigwaitinfo(&waited_, &info);
            }
            if (signal == SIGCHLD) {
                reap();
            } else if (signal == SIGTERM || signal == SIGINT) {
                stop();
            }
            expireTimers();
        }
        unlink(statePath(folder_, def_.label).c_str());
    }

private:
    std::optional<double> secondsUntilNextTimer() const {
        std::optional<double> next;
        for (const auto& at : {killAt_, restartAt_}) {
            if (at && (!next || *at < *next)) next = *at;
        }
        if (!next) return std::nullopt;
        return std::max(0.0, *next - platform::now());
    }

    void start() {
        if (!def_.standardOutPath.empty()) createFolders(parentFolder(def_.standardOutPath), 0755);
        if (!def_.standardErrorPath.empty()) {
            createFolders(parentFolder(def_.standardErrorPath), 0755);
        }
        int failure[2] = {-1, -1};
        if (pipe2(failure, O_CLOEXEC) != 0) failure[0] = failure[1] = -1;
        const platform::UniqueFd failureReport(failure[0]);
        platform::UniqueFd failureWriter(failure[1]);
        const pid_t supervisor = getpid();
        ++runtime_.runs;
        lastStart_ = platform::now();
        const pid_t pid = fork();
        if (pid == 0) execProgram(failureWriter.get(), supervisor);
        failureWriter.reset();
        int error = 0;
        bool execFailed = false;
        if (failureReport) {
            ssize_t n;
            while ((n = read(failureReport.get(), &error, sizeof error)) < 0 && errno == EINTR) {
            }
            execFailed = n == sizeof error;
        }
        if (pid < 0) {
            ended({false, kCannotStart});
            return;
        }
        if (execFailed) {
            // The child is on its way out, alone in its group; collect it now rather than
            // showing it running for a moment.
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            ended({false, kCannotStart});
            return;
        }
        runtime_.pid = pid;
        started_ = processStartTime(pid).value_or(0);
        report();
    }

    [[noreturn]] void execProgram(int failureFd, pid_t supervisor) {
        const auto fail = [failureFd](int error) {
            if (failureFd >= 0) {
                while (write(failureFd, &error, sizeof error) < 0 && errno == EINTR) {
                }
            }
            _exit(kCannotStart);
        };
        setsid();
        // A service must not outlive a supervisor that was killed: nobody could stop it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != supervisor) _exit(kCannotStart);
        (void)signal(SIGPIPE, SIG_DFL);
        (void)signal(SIGCHLD, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);

        const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int output = openOutput(def_.standardOutPath);
        const int errors = openOutput(def_.standardErrorPath);
        if (input < 0 || output < 0 || errors < 0) fail(errno);
        if (dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(errors, 2) < 0) fail(errno);
        const char* folder = def_.workingDirectory.empty() ? "/" : def_.workingDirectory.c_str();
        if (chdir(folder) != 0) fail(errno);
        environ = launch_.envp.data();
        if (!def_.program.empty()) {
            execv(def_.program.c_str(), launch_.argv.data());
        } else {
            execvp(launch_.argv[0], launch_.argv.data());
        }
        fail(errno);
        _exit(kCannotStart);
    }

    /// Collects the program when it has ended and decides what comes next.
    void reap() {
        if (runtime_.pid == 0) return;
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(runtime_.pid), &info, WEXITED | WNOHANG | WNOWAIT) !=
                0 ||
            info.si_pid != runtime_.pid) {
            return;
        }
        // Whatever the program left behind in its process group goes with it; the group id
        // cannot be taken by anyone else while the leader is still unreaped.
        kill(-runtime_.pid, SIGKILL);
        int status = 0;
        while (waitpid(runtime_.pid, &status, 0) < 0 && errno == EINTR) {
        }
        runtime_.pid = 0;
        started_ = 0;
        runtime_.stopping = false;
        if (WIFSIGNALED(status)) {
            ended({true, WTERMSIG(status)});
        } else {
            ended({false, WEXITSTATUS(status)});
        }
    }

    void ended(const Termination& end) {
        runtime_.lastEnd = end;
        killAt_.reset();
        if (!stopRequested_ && shouldRestart(def_.keepAlive, end)) {
            const double spacing =
                std::max(static_cast<double>(def_.throttleInterval), kMinimumRestartSpacing);
            restartAt_ = std::max(lastStart_ + spacing, platform::now());
        }
        report();
    }

    void stop() {
        if (stopRequested_) return;
        stopRequested_ = true;
        restartAt_.reset();
        if (runtime_.pid != 0) {
            runtime_.stopping = true;
            kill(-runtime_.pid, SIGTERM);
            if (def_.exitTimeOut > 0) {
                killAt_ = platform::now() + static_cast<double>(def_.exitTimeOut);
            }
        }
        report();
    }

    void expireTimers() {
        const double current = platform::now();
        if (killAt_ && current >= *killAt_) {
            killAt_.reset();
            if (runtime_.pid != 0) kill(-runtime_.pid, SIGKILL);
        }
        if (restartAt_ && current >= *restartAt_ && !stopRequested_) {
            restartAt_.reset();
            start();
        }
    }

    void report() {
        ServiceRecord record;
        record.supervisor = getpid();
        record.pid = runtime_.pid;
        record.started = started_;
        // From the stop request on, the record says the service is on its way out, also after
        // the program has ended and until the record is gone: a bootstrap that reads it in
        // between must wait for the end, not take the old service for a loaded one.
        record.stopping = stopRequested_;
        record.lastStatus = listStatus(runtime_);
        record.report = serviceReport(def_, env_, runtime_, uid_);
        writeRecord(folder_, def_.label, record);
    }

    const ServiceDefinition& def_;
    const Environment& env_;
    std::string folder_;
    unsigned long uid_;
    std::vector<std::string> arguments_;
    Launch launch_;
    sigset_t waited_{};
    ServiceRuntime runtime_;
    bool stopRequested_ = false;
    unsigned long long started_ = 0;
    double lastStart_ = 0;
    std::optional<double> restartAt_;
    std::optional<double> killAt_;
};

/// Waits until the pinned process has ended, `seconds` at most; true when it has.
bool awaitEnd(int pidfd, double seconds) {
    const double deadline = platform::now() + seconds;
    for (;;) {
        pollfd ended{pidfd, POLLIN, 0};
        const double left = std::max(0.0, deadline - platform::now());
        const int ready = poll(&ended, 1, static_cast<int>(left * 1000) + 1);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0 && platform::now() >= deadline) return false;
    }
}

/// Ends the program that a killed supervisor of this label left running, so that a label
/// never has two copies. The process must still be the one the record names (same id, same
/// start time), and it is pinned before it is checked, so a newer process that got the same
/// id is never touched. Like a bootout: SIGTERM to its group, SIGKILL after the time-out.
void endLeftover(const std::string& folder, const ServiceDefinition& def) {
    const auto record = lastRecord(folder, def.label);
    if (!record || record->pid <= 0 || record->started == 0) return;
    const platform::UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, record->pid, 0)));
    if (!pidfd) return;
    if (processStartTime(record->pid) == record->started) {
        // The program made its own session, so its group has its id, and that group id
        // cannot be taken by anyone else while the program, pinned here, is alive.
        kill(-record->pid, SIGTERM);
        const double timeout = def.exitTimeOut > 0 ? static_cast<double>(def.exitTimeOut) : 5.0;
        if (!awaitEnd(pidfd.get(), timeout)) {
            kill(-record->pid, SIGKILL);
            awaitEnd(pidfd.get(), 5.0);
        }
    }
}

[[noreturn]] void superviseDetached(const ServiceDefinition& def, const Environment& env,
                                    const std::string& folder, unsigned long uid, int answerFd) {
    const int channel = detachDescriptors(answerFd);
    // The supervisor keeps no folder of the caller's busy; the program gets its own.
    [[maybe_unused]] const int moved = chdir("/");
    resetSignals();
    (void)signal(SIGPIPE, SIG_IGN);
    struct sigaction child {};
    child.sa_handler = ignoreChild;
    sigaction(SIGCHLD, &child, nullptr);

    Supervisor supervisor(def, env, folder, uid);
    // Requests wait until the supervisor asks for them, so a bootout that arrives while it
    // is still setting up is carried out, not fatal.
    sigprocmask(SIG_BLOCK, &supervisor.waitedSignals(), nullptr);

    const int lock = platform::openLockFile(lockPath(folder, def.label), platform::LockOpen::create)
                         .fd.release();
    if (lock < 0) {
        answer(channel, kAnswerFailed);
        _exit(1);
    }
    struct flock hold {};
    hold.l_type = F_WRLCK;
    hold.l_whence = SEEK_SET;
    if (fcntl(lock, F_SETLK, &hold) != 0) {
        answer(channel, errno == EAGAIN || errno == EACCES ? kAnswerAlreadyLoaded : kAnswerFailed);
        _exit(1);
    }
    // The lock stays held until this process ends; the descriptor is never closed before.
    endLeftover(folder, def);
    supervisor.begin();
    answer(channel, kAnswerLoaded);
    close(channel);
    supervisor.run();
    _exit(0);
}

}  // namespace

LoadResult loadService(const ServiceDefinition& def, const Environment& env,
                       const std::string& folder, unsigned long uid) {
    // Said here, where the caller's standard error still is: the supervisor refuses it too.
    const std::string lock = lockPath(folder, def.label);
    if (const auto problem = platform::openLockFile(lock, platform::LockOpen::create).problem;
        !problem.empty()) {
        platform::sayLockFileUnusable("launchctl", lock, problem);
        return LoadResult::failed;
    }
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) return LoadResult::failed;
    platform::UniqueFd answers(channel[0]);
    platform::UniqueFd answerer(channel[1]);
    const pid_t first = fork();
    if (first < 0) return LoadResult::failed;
    if (first == 0) {
        // A new session and a second fork: the supervisor is no session leader, belongs to
        // no terminal, and its parent has already been collected.
        answers.reset();
        if (setsid() < 0) _exit(1);
        const pid_t second = fork();
        if (second != 0) _exit(second < 0 ? 1 : 0);
        superviseDetached(def, env, folder, uid, answerer.get());
    }
    // Only the supervisor may hold the writing end now, so the read below ends with it.
    answerer.reset();
    while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
    }
    char reply = 0;
    ssize_t n;
    while ((n = read(answers.get(), &reply, 1)) < 0 && errno == EINTR) {
    }
    if (n != 1) return LoadResult::failed;
    if (reply == kAnswerLoaded) return LoadResult::loaded;
    if (reply == kAnswerAlreadyLoaded) return LoadResult::alreadyLoaded;
    return LoadResult::failed;
}

bool requestStop(const std::string& folder, const std::string& label) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto holder = recordHolder(folder, label);
        if (!holder) return false;
        if (*holder <= 0) return true;  // held from another pid namespace: out of our reach
        // Signalled only while it still holds the record; otherwise look again.
        const auto stillHolds = [&] { return recordHolder(folder, label) == holder; };
        if (platform::signalProcessIf(*holder, SIGTERM, stillHolds) !=
            platform::SignalOutcome::notTheOne)
            return true;
    }
    return recordHolder(folder, label).has_value();
}

void awaitStopping(const std::string& folder, const std::vector<std::string>& labels) {
    std::vector<std::string> pending = labels;
    const double deadline = platform::now() + kStopAckSeconds;
    while (!pending.empty() && platform::now() < deadline) {
        std::erase_if(pending, [&](const std::string& label) {
            const auto holder = recordHolder(folder, label);
            if (!holder) return true;
            const auto record = loadedRecord(folder, label);
            return !record || (record->supervisor == *holder && record->stopping);
        });
        if (pending.empty()) break;
        platform::sleepFor(0.001);
    }
}

bool awaitUnloaded(const std::string& folder, const std::string& label, double seconds) {
    const auto record = loadedRecord(folder, label);
    if (!record) return true;
    if (!record->stopping) return false;
    const double deadline = platform::now() + seconds;
    while (platform::now() < deadline) {
        if (!recordHolder(folder, label)) return true;
        platform::sleepFor(0.01);
    }
    return !recordHolder(folder, label);
}

}  // namespace tessaway::launchd
