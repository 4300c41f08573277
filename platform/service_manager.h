#pragma once

#include <string>

namespace tessaway::platform {

/// The service manager's command-line tool: $TESSAWAY_LAUNCHCTL when set and not empty,
/// otherwise the stand-in `launchctl` beside the running executable.
std::string serviceManagerTool();

}  // namespace tessaway::platform
