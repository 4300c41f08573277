#pragma once

#include <string>
#include <string_view>

namespace tessaway::platform {

/// The current user's home directory: $HOME when set and not empty, else the password
/// database. Without a trailing slash (except for "/" itself).
std::string homeDirectory();

/// The real path of the running executable, or empty when it cannot be found.
std::string executablePath();

/// Writes all of `text` to `fd`, resuming after interruptions. False on a write error.
bool writeAll(int fd, std::string_view text);

/// Writes a diagnostic or report text to standard error or standard output as raw bytes.
void writeStandardError(std::string_view text);
void writeStandardOutput(std::string_view text);

}  // namespace tessaway::platform
