#pragma once

#include <string>

namespace tessaway::platform {

/// The current user's home directory: $HOME when set and not empty, else the password
/// database. Without a trailing slash (except for "/" itself).
std::string homeDirectory();

/// The real path of the running executable, or empty when it cannot be found.
std::string executablePath();

/// Writes a diagnostic or report text to standard error or standard output as raw bytes.
void writeStandardError(const std::string& text);
void writeStandardOutput(const std::string& text);

}  // namespace tessaway::platform
