#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/unique_fd.h"

extern char** environ;

namespace tessaway::platform {
namespace {

std::vector<char*> argvFor(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

int statusOf(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return WTERMSIG(wstatus);
    return -1;
}

/// Initialises `attr` with `flags`; the child starts with no signal held back, whatever the
/// spawning thread holds at the moment.
void initSpawnAttributes(posix_spawnattr_t& attr, int flags) {
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, static_cast<short>(flags | POSIX_SPAWN_SETSIGMASK));
}

/// A child's environment as the spawn functions take it; `strings` owns the text.
struct EnvironmentBlock {
    std::vector<std::string> strings;
    std::vector<char*> pointers;

    explicit EnvironmentBlock(std::vector<std::string> variables) : strings(std::move(variables)) {
        for (auto& entry : strings)
            pointers.push_back(entry.data());
        pointers.push_back(nullptr);
    }
};

int waitFor(pid_t pid) {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return statusOf(wstatus);
}

using Clock = std::chrono::steady_clock;

/// Milliseconds left until `deadline` for poll(), at least 0.
int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1 << 30));
}

/// Reads the pipe into `output` until its end and the child's (with a pidfd to tell), or until
/// `deadline`.
void drainUntil(int readEnd, int pidfd, std::string& output, Clock::time_point deadline) {
    bool pipeOpen = true;
    bool ended = pidfd < 0;  // without a pidfd only the pipe's end is awaited
    char buffer[65536];
    while (pipeOpen || !ended) {
        pollfd fds[2] = {{pipeOpen ? readEnd : -1, POLLIN, 0}, {ended ? -1 : pidfd, POLLIN, 0}};
        const int ready = poll(fds, 2, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;  // the time is up (or poll itself failed)
        if (fds[1].revents != 0) ended = true;
        if (fds[0].revents != 0) {
            const ssize_t n = read(readEnd, buffer, sizeof buffer);
            if (n > 0) {
                output.append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                pipeOpen = false;
            }
        }
    }
}

/// Whether the child has ended by `deadline`, leaving it to be collected.
bool endedBy(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

std::vector<std::string> childEnvironment(char* const* env, bool opensWindows) {
    // No real variable comes near this; the kernel refuses a single one over 128 KiB, and all
    // of them together over a quarter of the stack limit.
    constexpr size_t kMaxVariableBytes = 32 * 1024;
    constexpr size_t kMaxTotalBytes = 1024 * 1024;
    constexpr std::string_view kActivationTokens[] = {"XDG_ACTIVATION_TOKEN=",
                                                      "DESKTOP_STARTUP_ID="};
    std::vector<std::string> variables;
    size_t total = 0;
    for (char* const* entry = env; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        if (variable.size() > kMaxVariableBytes || total + variable.size() > kMaxTotalBytes) {
            continue;
        }
        // A token lets the program that gets it raise a window; a tool opens none.
        if (!opensWindows && std::any_of(std::begin(kActivationTokens), std::end(kActivationTokens),
                                         [&](std::string_view name) {
                                             return variable.substr(0, name.size()) == name;
                                         })) {
            continue;
        }
        total += variable.size();
        variables.emplace_back(variable);
    }
    return variables;
}

CapturedRun runCaptured(const std::string& program, const std::vector<std::string>& args,
                        double timeoutSeconds) {
    CapturedRun run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        run.error = "cannot create a pipe: " + std::string(std::strerror(errno));
        return run;
    }
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
    // Whatever else is open here (sockets, lock files) stays out of the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    posix_spawnattr_t attr;
    initSpawnAttributes(attr, 0);

    auto argv = argvFor(program, args);
    EnvironmentBlock env(childEnvironment(environ, false));
    pid_t pid = 0;
    const int rc =
        posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), env.pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    // Only the child may hold the writing end now, so the drain below ends when the child does.
    writeEnd.reset();
    if (rc != 0) {
        run.error = "cannot run " + program + ": " + std::strerror(rc) + " (errno " +
                    std::to_string(rc) + ")";
        return run;
    }
    run.started = true;

    // Drain everything before waiting: a child blocked on a full pipe would never exit.
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
    const UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    drainUntil(readEnd.get(), pidfd.get(), run.output, deadline);
    // Closed before the wait: a child still writing after a read error gets SIGPIPE, not a hang.
    readEnd.reset();
    if (!endedBy(pid, deadline)) {
        kill(pid, SIGKILL);
        run.timedOut = true;
    }
    run.status = waitFor(pid);
    return run;
}

bool spawnDetached(const std::string& program, const std::vector<std::string>& args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // A browser started from here may live long; it must not hold our streams open.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attr;
    initSpawnAttributes(attr, POSIX_SPAWN_SETSID);

    auto argv = argvFor(program, args);
    EnvironmentBlock env(childEnvironment(environ, true));
    pid_t pid = 0;
    const int rc =
        posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), env.pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return false;
    std::thread([pid] { waitFor(pid); }).detach();
    return true;
}

}  // namespace tessaway::platform
