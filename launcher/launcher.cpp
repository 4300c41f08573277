// tessaway-server: runs the server program under the bundle's embedded interpreter as its one
// child, relays termination signals to it, and ends with a status derived from the child's.

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/bundle_paths.h"
#include "launcher/executable_path.h"
#include "launcher/exit_status.h"

namespace {

constexpr int relayed[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

/// The server program's process id: 0 until it exists. The signal handler reads it.
volatile pid_t child = 0;

char noUserSite[] = "-s";
char noByteCode[] = "-B";

/// Sends a relayed signal on to the child once the child exists.
void forward(int sig) {
    int savedErrno = errno;
    if (child > 0) kill(child, sig);
    errno = savedErrno;
}

}  // namespace

int main(int argc, char** argv) {
    static char executable[pathSize];
    static char resolvedExecutable[pathSize];
    static BundlePaths paths;

    if (!executablePath(executable, sizeof executable) ||
        !resolvePath(executable, resolvedExecutable)) {
        static const char message[] = "tessaway-server: cannot locate myself\n";
        ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
        (void)written;
        return 70;
    }
    if (!bundlePaths(resolvedExecutable, paths)) {
        (void)fprintf(stderr, "tessaway-server: no Resources dir: %s\n", strerror(errno));
        return 70;
    }
    char* interpreter = paths.interpreter;
    char* script = paths.script;

    size_t forwarded = argc > 1 ? static_cast<size_t>(argc) - 1 : 0;
    // Never freed: the process either becomes the interpreter or ends.
    static char** arguments = nullptr;
    arguments = static_cast<char**>(calloc(4 + forwarded + 1, sizeof(char*)));
    if (arguments == nullptr) return 71;
    arguments[0] = interpreter;
    arguments[1] = noUserSite;
    arguments[2] = noByteCode;
    arguments[3] = script;
    for (size_t i = 0; i < forwarded; ++i)
        arguments[4 + i] = argv[1 + i];

    setenv("PYTHONNOUSERSITE", "1", 1);
    setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    unsetenv("PYTHONHOME");
    unsetenv("PYTHONPATH");
    setenv("TESSAWAY_PACKAGING", "macos", 0);

    // The relayed signals stay blocked from before `forward` is installed until `child` holds
    // the child's id, so one that arrives in between waits and is then sent on, not dropped.
    sigset_t relayedSet;
    sigset_t previousMask;
    sigemptyset(&relayedSet);
    for (int sig : relayed)
        sigaddset(&relayedSet, sig);
    sigprocmask(SIG_BLOCK, &relayedSet, &previousMask);

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = forward;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a relayed signal interrupts the wait below, which then simply waits again.
    action.sa_flags = 0;
    for (int sig : relayed)
        sigaction(sig, &action, nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        perror("tessaway-server: fork");
        return 71;
    }
    if (pid == 0) {
        for (int sig : relayed)
            (void)signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &previousMask, nullptr);
        execv(interpreter, arguments);
        perror("tessaway-server: exec python");
        _exit(127);
    }
    child = pid;
    sigprocmask(SIG_SETMASK, &previousMask, nullptr);

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            perror("tessaway-server: waitpid");
            return 71;
        }
    }
    return exitStatusFor(status);
}
