#include "menubar/menu_position.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>

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
