#pragma once

#include <string>
#include <string_view>

namespace tessaway::platform {

/// Replaces the file at `path` with `text`: written in full to a temporary file in the same
/// folder, flushed to disk, then renamed over the destination, so that a reader sees either the
/// old or the new content. On failure returns false, fills `error` and leaves the old file.
bool writeFileAtomically(const std::string& path, std::string_view text, std::string& error);

}  // namespace tessaway::platform
