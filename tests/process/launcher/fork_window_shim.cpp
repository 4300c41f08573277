// Preloaded into tessaway-server by the start-up window test. It sends the launcher the signal
// named by TESSAWAY_TEST_FORK_SIGNAL from inside fork(), just before the process is copied: after
// the signal handlers are installed and before the launcher knows its child's id.

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

int forkSignal = 0;

__attribute__((constructor)) void takeForkSignal() {
    if (const char* value = getenv("TESSAWAY_TEST_FORK_SIGNAL")) forkSignal = atoi(value);
    // The interpreter that the launcher starts must not load this library again.
    unsetenv("LD_PRELOAD");
    unsetenv("TESSAWAY_TEST_FORK_SIGNAL");
}

}  // namespace

extern "C" pid_t fork() {
    using Fork = pid_t (*)();
    static Fork realFork = reinterpret_cast<Fork>(dlsym(RTLD_NEXT, "fork"));
    if (forkSignal > 0) kill(getpid(), forkSignal);
    return realFork();
}
