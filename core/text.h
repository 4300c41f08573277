#pragma once

#include <string>
#include <string_view>

namespace tessaway {

/// Decodes bytes as UTF-8, replacing every ill-formed sequence (each maximal invalid subpart)
/// with U+FFFD. Never fails.
std::string repairUtf8(std::string_view bytes);

/// Replaces C0 and C1 control characters, DEL, the Unicode bidirectional controls (marks,
/// embeddings, overrides, isolates) and the line and paragraph separators with U+FFFD, so that
/// a text from outside can neither drive the terminal it is printed on nor reorder what is
/// shown around it. Joiners, soft hyphens, variation selectors and tags stay. Expects valid
/// UTF-8.
std::string replaceControlCharacters(std::string_view text);

}  // namespace tessaway
