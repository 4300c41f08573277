#pragma once

namespace tessaway::launchd {

/// Runs one `launchctl` command line: print, print-disabled, enable, disable, bootstrap or
/// bootout in the caller's gui domain, or session-start, which loads the user's agents as a
/// login does. Writes to standard output and error; returns the exit
/// status.
int launchctlMain(int argc, char** argv);

}  // namespace tessaway::launchd
