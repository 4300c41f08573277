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

/// A name from outside made fit for one row of a menu or report: at most `maxCharacters` code
/// points (a longer one is cut and ends in "…"), no run of more than a few combining marks on
/// one base (more would pile up over the rows around it), and a dotted circle as the base of
/// marks that have none at the start. Expects valid UTF-8; shorter names in ordinary scripts
/// come back unchanged.
std::string boundedName(std::string_view text, size_t maxCharacters);

}  // namespace tessaway
