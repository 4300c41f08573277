#pragma once

#include <string>
#include <vector>

namespace tessaway::platform {

/// Outcome of running a program to its end with its standard output and standard error
/// captured through one pipe.
struct CapturedRun {
    bool started = false;   ///< false when the program could not be started at all
    bool timedOut = false;  ///< it was still running at the time limit and has been killed
    int status = -1;        ///< exit code, or the number of the signal that ended it
    std::string output;     ///< the raw bytes of both streams, in the order written
    std::string error;      ///< why the program could not be started
};

/// The environment a child gets from `env` (this process's, as `environ`): every variable
/// except one too large for any real use (a desktop's window activation token can be made
/// hundreds of kilobytes long, and one such variable would make every start fail), and, for a
/// program that opens no window (`opensWindows` false), the activation tokens.
std::vector<std::string> childEnvironment(char* const* env, bool opensWindows);

/// Runs `program` (an absolute path: no shell, no search of PATH) with `args`, drains the
/// shared pipe to its end, then waits for the child, all within `timeoutSeconds`: a child still
/// running then is killed (SIGKILL) and reaped. A child that has ended while something it left
/// behind still holds the pipe gives its own status, with the output read until the limit. The
/// child inherits standard input and the environment (as childEnvironment gives it for a tool),
/// no signal held back, and no other descriptor of this process.
CapturedRun runCaptured(const std::string& program, const std::vector<std::string>& args,
                        double timeoutSeconds);

/// Starts `program` (searched on PATH) with `args`, detached: never waited for by the caller,
/// and reaped in the background so that no zombie stays behind. It gets the environment as
/// childEnvironment gives it for a program that opens windows. False when it cannot start.
bool spawnDetached(const std::string& program, const std::vector<std::string>& args);

}  // namespace tessaway::platform
