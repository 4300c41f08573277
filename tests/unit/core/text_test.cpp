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

struct NameCase {
    const char* name;
    std::string input;
    size_t limit;
    std::string expected;
};

class BoundedNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(BoundedNameTest, FitsOneRow) {
    EXPECT_EQ(boundedName(GetParam().input, GetParam().limit), GetParam().expected);
}

const std::string kAcute = "\u0301";
const std::string kCircle = "\u25CC";
std::string times(const std::string& text, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += text;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BoundedNameTest,
    ::testing::Values(
        NameCase{"short_name_unchanged", "Wohnzimmer S\u00fcd \U0001F3B5", 48,
                 "Wohnzimmer S\u00fcd \U0001F3B5"},
        NameCase{"exactly_the_limit", std::string(48, 'x'), 48, std::string(48, 'x')},
        NameCase{"long_name_ends_in_an_ellipsis", std::string(100000, 'x'), 48,
                 std::string(47, 'x') + "\u2026"},
        NameCase{"counts_characters_not_bytes", times("\u00e9", 10), 5,
                 times("\u00e9", 4) + "\u2026"},
        NameCase{"a_few_marks_stay", "e" + kAcute + "\u0323" + "x", 48, "e" + kAcute + "\u0323x"},
        NameCase{"a_pile_of_marks_is_cut", "Z" + times(kAcute, 200) + "a" + times("\u0E49", 9), 48,
                 "Z" + times(kAcute, 4) + "a" + times("\u0E49", 4)},
        NameCase{"a_leading_mark_gets_a_base", kAcute + "abc", 48, kCircle + kAcute + "abc"},
        NameCase{"a_leading_pile_gets_a_base_and_is_cut", times(kAcute, 30), 48,
                 kCircle + times(kAcute, 4)},
        NameCase{"hebrew_with_points_is_kept", "\u05e9\u05c1\u05b8\u05dc\u05d5\u05b9\u05dd", 48,
                 "\u05e9\u05c1\u05b8\u05dc\u05d5\u05b9\u05dd"}),
    testing::CaseName());

}  // namespace
}  // namespace tessaway
