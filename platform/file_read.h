#pragma once

#include <cstddef>
#include <string>

namespace tessaway::platform {

/// Reads a whole regular file of at most `limit` bytes, never blocking on a FIFO or device.
/// False when it is missing, not a regular file, unreadable or larger.
bool readFile(const std::string& path, std::string& content, size_t limit);

}  // namespace tessaway::platform
