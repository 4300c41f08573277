#include "core/text.h"

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
    for (size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        const bool c0 = b < 0x20 || b == 0x7F;
        const bool c1 = b == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c0) {
            out.append(kReplacement);
        } else if (c1) {
            out.append(kReplacement);
            ++i;
        } else {
            out.push_back(static_cast<char>(b));
        }
    }
    return out;
}

}  // namespace tessaway
