#pragma once

#include <string>
#include <string_view>

namespace tessaway::platform {

/// Replaces the file at `path` with `text`: written in full to a temporary file in the same
/// folder, flushed to disk, then renamed over the destination, so that a reader sees either the
/// old or the new content. On failure returns false, fills `error` and leaves the old file.
bool writeFileAtomically(const std::string& path, std::string_view text, std::string& error);

/// Reads a whole regular file of at most `limit` bytes, never blocking on a FIFO or device.
/// False when it is missing, not a regular file, unreadable or larger.
bool readFile(const std::string& path, std::string& content, size_t limit);

}  // namespace tessaway::platform
