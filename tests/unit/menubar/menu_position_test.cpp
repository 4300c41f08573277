#include "menubar/menu_position.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>

#include <optional>
#include <string>

#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

struct PositionCase {
    std::string name;
    QRect icon;
    QRect screen;
    QPoint expected;
    QRect available = {};  ///< none: the whole screen
};

class MenuPositionTest : public ::testing::TestWithParam<PositionCase> {};

const QSize kMenu(200, 300);

TEST_P(MenuPositionTest, OpensBesideThePanelAndNeverOverTheItem) {
    const PositionCase& c = GetParam();
    const QPoint at =
        menuPosition(c.icon, kMenu, c.screen, c.available.isNull() ? c.screen : c.available);
    EXPECT_EQ(at, c.expected);
    EXPECT_FALSE(QRect(at, kMenu).intersects(c.icon));
}

INSTANTIATE_TEST_SUITE_P(
    Panels, MenuPositionTest,
    ::testing::Values(
        // Right end of a panel along the top: below it, pulled in from the right edge.
        PositionCase{"top", {976, 0, 24, 24}, {0, 0, 1000, 800}, {800, 24}},
        PositionCase{"bottom", {976, 768, 24, 32}, {0, 0, 1000, 800}, {800, 468}},
        PositionCase{"left", {0, 400, 24, 24}, {0, 0, 1000, 800}, {24, 400}},
        PositionCase{"right_low", {976, 700, 24, 24}, {0, 0, 1000, 800}, {776, 500}},
        // The second of two screens side by side.
        PositionCase{"top_second_screen", {1010, 0, 24, 24}, {1000, 0, 1000, 800}, {1010, 24}},
        // No room above or below: it stays on the panel's side.
        PositionCase{"top_short_screen", {10, 0, 24, 24}, {0, 0, 1000, 200}, {10, 24}},
        // Panels that reserve more than the item: the menu starts where they end.
        PositionCase{
            "top_reserved", {976, 1, 22, 22}, {0, 0, 1000, 800}, {800, 24}, {0, 24, 1000, 776}},
        PositionCase{"bottom_reserved",
                     {900, 770, 22, 22},
                     {0, 0, 1000, 800},
                     {800, 468},
                     {0, 0, 1000, 768}},
        PositionCase{
            "left_reserved", {2, 400, 24, 24}, {0, 0, 1000, 800}, {30, 400}, {30, 0, 970, 800}}),
    testing::CaseName());

struct ClickCase {
    std::string name;
    QPoint at;                    ///< the point clicked on the panel
    std::optional<QRect> window;  ///< the window there
    QPoint expected;
};

class ClickedItemTest : public ::testing::TestWithParam<ClickCase> {};

TEST_P(ClickedItemTest, AMenuForAClickedPointOpensBesideThePanel) {
    const ClickCase& c = GetParam();
    const QRect screen(0, 0, 800, 500);
    const QPoint at = menuPosition(clickedItem(c.at, c.window, screen), kMenu, screen, screen);
    EXPECT_EQ(at, c.expected);
    const QRect menu(at, kMenu);
    EXPECT_TRUE(screen.contains(menu));
    EXPECT_FALSE(menu.contains(c.at));
}

INSTANTIATE_TEST_SUITE_P(
    Panels, ClickedItemTest,
    ::testing::Values(
        ClickCase{"top", {600, 16}, QRect(0, 0, 800, 32), {600, 32}},
        ClickCase{"top_short_panel", {420, 5}, QRect(300, 0, 200, 24), {420, 24}},
        ClickCase{"bottom", {100, 484}, QRect(0, 468, 800, 32), {100, 168}},
        ClickCase{"left", {20, 250}, QRect(0, 0, 40, 500), {40, 200}},
        ClickCase{"right", {780, 100}, QRect(760, 0, 40, 500), {560, 100}},
        // No panel to go by: just beside the point.
        ClickCase{"unknown_window", {600, 16}, std::nullopt, {600, 17}},
        ClickCase{"window_elsewhere", {600, 16}, QRect(0, 100, 800, 32), {600, 17}},
        ClickCase{"screen_wide_window", {300, 150}, QRect(0, 0, 800, 500), {300, 151}},
        ClickCase{"thick_top_window", {300, 100}, QRect(0, 0, 800, 200), {300, 101}},
        ClickCase{"window_off_the_edges", {300, 120}, QRect(200, 100, 300, 50), {300, 121}}),
    testing::CaseName());

TEST(PopupBeside, AnOpenMenuThatGrowsStaysBesideTheItemAndOnTheScreen) {
    QMenu menu;
    QAction* row = menu.addAction(QStringLiteral("Tessaway Server"));
    const QRect area = QGuiApplication::primaryScreen()->geometry();
    const QRect icon(area.right() - 23, area.top(), 24, 24);
    popupBeside(menu, icon);
    ASSERT_TRUE(area.contains(menu.geometry()));
    EXPECT_EQ(menu.y(), icon.bottom() + 1);
    const int narrow = menu.width();
    row->setText(QStringLiteral("A server with a rather long name for the living room downstairs"));
    menu.addAction(QStringLiteral("One more row"));
    QCoreApplication::processEvents();
    EXPECT_GT(menu.width(), narrow);
    EXPECT_TRUE(area.contains(menu.geometry()));
    EXPECT_EQ(menu.y(), icon.bottom() + 1);
    menu.hide();
}

}  // namespace
}  // namespace tessaway
