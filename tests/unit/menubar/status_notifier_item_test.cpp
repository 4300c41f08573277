#include "menubar/status_notifier_item.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

struct ClickCase {
    std::string name;
    QString platform;
    QPoint at;
    ClickAnswer expected;
};

class ClickAnswerTest : public ::testing::TestWithParam<ClickCase> {};

const QList<QRect> kTwoScreens = {{0, 0, 800, 500}, {800, 0, 1024, 768}};

TEST_P(ClickAnswerTest, OpensItsOwnMenuOnlyWhereItCanBePlaced) {
    const ClickCase& c = GetParam();
    EXPECT_EQ(clickAnswer(c.platform, c.at, kTwoScreens), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Clicks, ClickAnswerTest,
    ::testing::Values(ClickCase{"x_top_panel", "xcb", {600, 16}, ClickAnswer::popUpMenu},
                      ClickCase{"x_corner", "xcb", {0, 0}, ClickAnswer::popUpMenu},
                      ClickCase{"x_second_screen", "xcb", {1800, 760}, ClickAnswer::popUpMenu},
                      ClickCase{
                          "x_below_the_first_screen", "xcb", {100, 600}, ClickAnswer::askHost},
                      ClickCase{"x_off_every_screen", "xcb", {-1, 10}, ClickAnswer::askHost},
                      ClickCase{"wayland", "wayland", {600, 16}, ClickAnswer::askHost},
                      ClickCase{"offscreen", "offscreen", {600, 16}, ClickAnswer::askHost},
                      ClickCase{"unknown", "", {600, 16}, ClickAnswer::askHost}),
    testing::CaseName());

}  // namespace
}  // namespace tessaway
