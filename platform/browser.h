#pragma once

#include <string>

namespace tessaway::platform {

/// Opens a web address in the user's default browser (xdg-open), without waiting for it.
/// False when no opener could be started.
bool openAddress(const std::string& address);

}  // namespace tessaway::platform
