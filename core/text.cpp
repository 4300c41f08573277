#include "core/text.h"

#include <algorithm>

namespace tessaway {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct Lead {
    int continuations;
    unsigned char low;  ///< allowed range of the first continuation byte
    unsigned char high;
};

/// What a lead byte announces; continuations < 0 for a byte that cannot start a character.
Lead leadOf(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) return {1, 0x80, 0xBF};
    if (b == 0xE0) return {2, 0xA0, 0xBF};
    if (b == 0xED) return {2, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {2, 0x80, 0xBF};
    if (b == 0xF0) return {3, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {3, 0x80, 0xBF};
    if (b == 0xF4) return {3, 0x80, 0x8F};
    return {-1, 0, 0};
}

/// C0 and C1 controls and DEL; the bidirectional controls (the marks, embeddings, overrides
/// and isolates), which reorder the text around them while showing nothing; and the line and
/// paragraph separators. Other invisible characters stay: joiners, soft hyphens, variation
/// selectors and tags are parts of names in many scripts and of emoji.
bool replacedCharacter(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string repairUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        const Lead lead = leadOf(b);
        if (lead.continuations < 0) {
            out.append(kReplacement);
            ++i;
            continue;
        }
        size_t j = i + 1;
        int seen = 0;
        for (; seen < lead.continuations && j < bytes.size(); ++seen, ++j) {
            const auto c = static_cast<unsigned char>(bytes[j]);
            const unsigned char low = seen == 0 ? lead.low : 0x80;
            const unsigned char high = seen == 0 ? lead.high : 0xBF;
            if (c < low || c > high) break;
        }
        if (seen == lead.continuations) {
            out.append(bytes.substr(i, j - i));
        } else {
            out.append(kReplacement);  // the maximal invalid subpart becomes one replacement
        }
        i = j;
    }
    return out;
}

std::string replaceControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        const int continuations = b < 0x80 ? 0 : std::max(0, leadOf(b).continuations);
        // Only continuation bytes belong to the character, so that ill-formed input cannot
        // hide a control character behind a lead byte.
        size_t length = 1;
        while (length <= size_t(continuations) && i + length < text.size() &&
               (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80) {
            ++length;
        }
        char32_t code = continuations == 0 ? b : b & (0x3F >> continuations);
        for (size_t k = 1; k < length; ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (replacedCharacter(code)) {
            out.append(kReplacement);
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

}  // namespace tessaway
