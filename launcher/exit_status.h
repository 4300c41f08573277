#pragma once

/// The launcher's exit status for the wait status of its child: the child's exit code after a
/// normal exit, 0 after an end by SIGINT or SIGTERM, 1 for the stopped marker, and 128 plus the
/// signal number after an end by any other signal (the core-dump flag does not count).
int exitStatusFor(int waitStatus);
