#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

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

int waitFor(pid_t pid) {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return statusOf(wstatus);
}

}  // namespace

CapturedRun runCaptured(const std::string& program, const std::vector<std::string>& args) {
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

    auto argv = argvFor(program, args);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    // Only the child may hold the writing end now, so the drain below ends when the child does.
    writeEnd.reset();
    if (rc != 0) {
        run.error = "cannot run " + program + ": " + std::strerror(rc) + " (errno " +
                    std::to_string(rc) + ")";
        return run;
    }
    run.started = true;

    // Drain everything before waiting: a child blocked on a full pipe would never exit.
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(readEnd.get(), buffer, sizeof buffer);
        if (n > 0) {
            run.output.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    // Closed before the wait: a child still writing after a read error gets SIGPIPE, not a hang.
    readEnd.reset();
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
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);

    auto argv = argvFor(program, args);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return false;
    std::thread([pid] { waitFor(pid); }).detach();
    return true;
}

}  // namespace tessaway::platform
