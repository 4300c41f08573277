#include "core/text.h"

#include <algorithm>
#include <utility>
#include <vector>

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

/// The combining marks that stack above or below their base: the general-purpose blocks and
/// the marks of the scripts whose names can pile them up (Hebrew, Arabic, Thai, Lao).
bool isStackingMark(char32_t c) {
    if (c < 0x300) return false;
    constexpr std::pair<char32_t, char32_t> kRanges[] = {
        {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05C7}, {0x0610, 0x061A},
        {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06ED},
        {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x0EB1, 0x0EB1}, {0x0EB4, 0x0EBC},
        {0x0EC8, 0x0ECD}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x20D0, 0x20FF}, {0xFE20, 0xFE2F},
    };
    for (const auto& [low, high] : kRanges) {
        if (c >= low && c <= high) return true;
    }
    return false;
}

/// The code point that starts at `i`, and its length in bytes. Only continuation bytes belong
/// to the character, so that ill-formed input cannot hide a control character behind a lead
/// byte.
std::pair<char32_t, size_t> decodeAt(std::string_view text, size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const int continuations = b < 0x80 ? 0 : std::max(0, leadOf(b).continuations);
    size_t length = 1;
    while (length <= size_t(continuations) && i + length < text.size() &&
           (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80) {
        ++length;
    }
    char32_t code = continuations == 0 ? b : b & (0x3F >> continuations);
    for (size_t k = 1; k < length; ++k)
        code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return {code, length};
}

}  // namespace

std::string boundedName(std::string_view text, size_t maxCharacters) {
    // Names in real scripts put at most a few marks on one letter.
    constexpr size_t kMaxMarksPerBase = 4;
    constexpr std::string_view kEllipsis = "\u2026";
    constexpr std::string_view kDottedCircle = "\u25CC";
    std::vector<std::string_view> kept;
    size_t marks = 0;
    for (size_t i = 0; i < text.size();) {
        const auto [code, length] = decodeAt(text, i);
        const std::string_view character = text.substr(i, length);
        i += length;
        if (!isStackingMark(code)) {
            marks = 0;
        } else if (++marks > kMaxMarksPerBase) {
            continue;
        } else if (kept.empty()) {
            // A mark with nothing before it would sit on whatever is drawn there.
            kept.push_back(kDottedCircle);
        }
        kept.push_back(character);
        if (kept.size() > maxCharacters) break;
    }
    const bool cut = kept.size() > maxCharacters;
    if (cut) kept.resize(maxCharacters > 0 ? maxCharacters - 1 : 0);
    std::string out;
    for (const auto& character : kept)
        out += character;
    if (cut) out += kEllipsis;
    return out;
}

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
        const auto [code, length] = decodeAt(text, i);
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
