#include "launcher/exit_status.h"

#include <signal.h>

int exitStatusFor(int waitStatus) {
    int low = waitStatus & 0x7f;
    if (low == 0) return (waitStatus >> 8) & 0xff;
    if (low == SIGINT || low == SIGTERM) return 0;
    if (low == 0x7f) return 1;
    return 128 + low;
}
