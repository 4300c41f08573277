#include "core/text.h"

#include <gtest/gtest.h>

#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

struct Utf8Case {
    const char* name;
    std::string in;
    std::string out;
};

class RepairUtf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(RepairUtf8Test, ReplacesEachMaximalInvalidSubpart) {
    EXPECT_EQ(repairUtf8(GetParam().in), GetParam().out);
}

const std::string R = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Table, RepairUtf8Test,
    ::testing::Values(Utf8Case{"empty", "", ""},
                      Utf8Case{"ascii", "gui/501 = {\n", "gui/501 = {\n"},
                      Utf8Case{"valid_multibyte", "\xE2\x94\x80\xC2\xB7\xF0\x9F\x8E\xB5",
                               "\xE2\x94\x80\xC2\xB7\xF0\x9F\x8E\xB5"},
                      Utf8Case{"lone_continuation",
                               "a\x80"
                               "b",
                               "a" + R + "b"},
                      Utf8Case{"invalid_lead", "\xFF\xFE", R + R},
                      Utf8Case{"overlong_two_byte", "\xC0\xAF", R + R},
                      Utf8Case{"truncated_three_byte_at_end", "x\xE2\x94", "x" + R},
                      Utf8Case{"truncated_then_ascii",
                               "\xE2\x94"
                               "a",
                               R + "a"},
                      Utf8Case{"surrogate", "\xED\xA0\x80", R + R + R},
                      Utf8Case{"above_max", "\xF4\x90\x80\x80", R + R + R + R},
                      Utf8Case{"truncated_four_byte", "\xF0\x9F\x8E", R}),
    testing::CaseName());

class ReplaceFormatCharactersTest : public ::testing::TestWithParam<Utf8Case> {};

// Invisible characters that reorder the text around them are shown as U+FFFD; those that names
// and emoji are made of stay as they are.
TEST_P(ReplaceFormatCharactersTest, ReplacesBidiControlsAndKeepsTheRest) {
    EXPECT_EQ(replaceControlCharacters(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Replaced, ReplaceFormatCharactersTest,
    ::testing::Values(
        Utf8Case{"right_to_left_override", "Den\u202Etxt.exe", "Den" + R + "txt.exe"},
        Utf8Case{"embeddings_and_pop", "\u202A\u202B\u202C\u202D", R + R + R + R},
        Utf8Case{"isolates", "a\u2066b\u2067c\u2068d\u2069", "a" + R + "b" + R + "c" + R + "d" + R},
        Utf8Case{"marks", "\u200E\u200F\u061C", R + R + R},
        Utf8Case{"line_and_paragraph_separators", "a\u2028b\u2029", "a" + R + "b" + R},
        Utf8Case{"lead_byte_cannot_hide_a_control", "\xE2\x1B[2J", R + R + "[2J"}),
    testing::CaseName());

Utf8Case kept(const char* name, const std::string& text) {
    return {name, text, text};
}

INSTANTIATE_TEST_SUITE_P(
    Kept, ReplaceFormatCharactersTest,
    ::testing::Values(
        kept("family_emoji_with_zero_width_joiners", "\U0001F468\u200D\U0001F469\u200D\U0001F467"),
        kept("persian_with_zero_width_non_joiner",
             "\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645"),
        kept("soft_hyphen", "Wohn\u00ADzimmer"),
        kept("subdivision_flag_with_tags",
             "\U0001F3F4\U000E0067\U000E0062\U000E0073\U000E0063\U000E0074\U000E007F"),
        kept("variation_selector", "\u2764\uFE0F Den"),
        kept("ordinary_text", "Caf\u00e9 \u05e9\u05dc\u05d5\u05dd \U0001F3B5 \u2014")),
    testing::CaseName());

TEST(ReplaceControlCharactersTest, NeutralisesTerminalEscapesAndKeepsText) {
    EXPECT_EQ(replaceControlCharacters("Den\x1B]0;pwned\x07 \xC2\x9B"
                                       "1m·x\x7F\tok"),
              "Den" + R + "]0;pwned" + R + " " + R + "1m·x" + R + R + "ok");
    EXPECT_EQ(replaceControlCharacters("Wohnzimmer Süd"), "Wohnzimmer Süd");
}

}  // namespace
}  // namespace tessaway
