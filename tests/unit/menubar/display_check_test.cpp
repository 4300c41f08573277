#include "menubar/display_check.h"

#include <gtest/gtest.h>

#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

struct DisplayCase {
    std::string name;
    std::string platform;  ///< QT_QPA_PLATFORM; empty counts as not set
    std::string display;
    std::string wayland;
    std::optional<std::string> problem;
};

class DisplayCheckTest : public ::testing::TestWithParam<DisplayCase> {};

// ":4242" names an X display that nothing serves.
TEST_P(DisplayCheckTest, TellsWhyNoDisplayCanBeOpened) {
    const DisplayCase& c = GetParam();
    testing::ScopedEnv platform("QT_QPA_PLATFORM", c.platform);
    testing::ScopedEnv display("DISPLAY", c.display);
    testing::ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland);
    EXPECT_EQ(displayProblem(), c.problem);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, DisplayCheckTest,
    ::testing::Values(
        DisplayCase{"nothing", "", "", "",
                    "no display: neither DISPLAY nor WAYLAND_DISPLAY is set"},
        DisplayCase{"offscreen", "offscreen", "", "", std::nullopt},
        DisplayCase{"offscreen_with_options", "offscreen:fontengine=freetype", "", "",
                    std::nullopt},
        DisplayCase{"xcb_without_display", "xcb", "", "", "no display: DISPLAY is not set"},
        DisplayCase{"xcb_dead_display", "xcb", ":4242", "", "cannot open the display :4242"},
        DisplayCase{"default_dead_display", "", ":4242", "", "cannot open the display :4242"},
        DisplayCase{"wayland_without_compositor", "wayland", ":4242", "",
                    "no display: WAYLAND_DISPLAY is not set"},
        DisplayCase{"default_with_compositor", "", "", "wayland-0", std::nullopt}),
    testing::CaseName());

}  // namespace
}  // namespace tessaway
