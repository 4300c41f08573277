#include <QAction>
#include <QImage>
#include <QKeySequence>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

#include "tests/unit/menubar/tray_test_fixture.h"

namespace tessaway {
namespace {

using testing::TrayTest;

/// The strongest alpha of the item's picture: a dimmed picture is visibly fainter.
int strongestAlpha(const QIcon& icon) {
    const QImage image = icon.pixmap(18).toImage().convertToFormat(QImage::Format_ARGB32);
    int strongest = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            strongest = std::max(strongest, qAlpha(image.pixel(x, y)));
    }
    return strongest;
}

TEST_F(TrayTest, ConstructionShowsNothingAndAsksNobody) {
    EXPECT_EQ(item(), nullptr);
    EXPECT_EQ(timer(), nullptr);
    EXPECT_TRUE(menu()->actions().isEmpty());
    EXPECT_EQ(statusRow()->text(), "Tessaway Server");
    EXPECT_EQ(detailRow()->text(), "");
    EXPECT_EQ(openRow()->text(), "Open Setup / Dashboard");
    EXPECT_EQ(addRow()->text(), "Add Media Folder\u2026");
    EXPECT_EQ(pauseRow()->text(), "Pause Sharing");
    EXPECT_EQ(loginRow()->text(), "Start at Login");
    EXPECT_EQ(quitRow()->text(), "Quit Tessaway Server");
    EXPECT_EQ(snap().state, ServerState::starting);
    EXPECT_FALSE(unansweredSince());
    spin(0.1);
    EXPECT_TRUE(launchctl.calls.empty());
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TrayTest, LaunchBuildsTheItemAndTheTenEntries) {
    launch();
    ASSERT_NE(item(), nullptr);
    EXPECT_EQ(item()->toolTip(), "Tessaway Server");
    EXPECT_FALSE(item()->icon().isNull());
    // Either button opens the one menu; the toolkit keeps no context menu of its own.
    EXPECT_EQ(item()->contextMenu(), nullptr);
    for (const auto why : {QSystemTrayIcon::Trigger, QSystemTrayIcon::Context}) {
        emit item()->activated(why);
        EXPECT_TRUE(menu()->isVisible()) << why;
        menu()->hide();
    }

    const QList<QAction*> entries = menu()->actions();
    ASSERT_EQ(entries.size(), 10);
    // nullptr stands for a separator.
    const std::vector<QAction*> expected = {statusRow(), detailRow(), nullptr,    openRow(),
                                            addRow(),    nullptr,     pauseRow(), loginRow(),
                                            nullptr,     quitRow()};
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        if (expected[i] == nullptr) {
            EXPECT_TRUE(entries[i]->isSeparator());
        } else {
            EXPECT_EQ(entries[i], expected[i]);
        }
    }
    EXPECT_TRUE(loginRow()->isCheckable());

    EXPECT_EQ(quitRow()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    for (QAction* row : {statusRow(), detailRow(), openRow(), addRow(), pauseRow(), loginRow()}) {
        EXPECT_TRUE(row->shortcut().isEmpty()) << row->text().toStdString();
    }

    ASSERT_NE(timer(), nullptr);
    EXPECT_TRUE(timer()->isActive());
    EXPECT_FALSE(timer()->isSingleShot());
}

struct RenderCase {
    std::string name;
    ServerState state;
    bool setupRowsEnabled;
    bool dimmed;
    SetupFacts facts = {};
    /// What the detail row shows where the Tray cuts the server's name to the menu's width;
    /// otherwise what menuText() gives.
    std::optional<std::string> detail = {};
};

class RenderTest : public TrayTest, public ::testing::WithParamInterface<RenderCase> {};

TEST_P(RenderTest, ShowsTheSnapshot) {
    launch();
    const RenderCase& c = GetParam();
    for (int round = 0; round < 2; ++round) {  // rendering twice gives the same picture
        SCOPED_TRACE(round);
        show(c.state, c.facts);
        EXPECT_EQ(snap().state, c.state);
        EXPECT_TRUE(rowsShowTheSnapshot(c.detail));
        EXPECT_EQ(openRow()->isEnabled(), c.setupRowsEnabled);
        EXPECT_EQ(addRow()->isEnabled(), c.setupRowsEnabled);
        EXPECT_EQ(tray->dimmed(), c.dimmed);
        EXPECT_FALSE(statusRow()->isEnabled());
        EXPECT_FALSE(detailRow()->isEnabled());
        EXPECT_TRUE(pauseRow()->isEnabled());
        EXPECT_TRUE(loginRow()->isEnabled());
        EXPECT_TRUE(quitRow()->isEnabled());
    }
}

const SetupFacts kDen{true, "Den", true};
// The name comes from the server: "&" must not turn into a mnemonic.
const SetupFacts kTomAndJerry{std::nullopt, "Tom & Jerry", std::nullopt};

INSTANTIATE_TEST_SUITE_P(
    States, RenderTest,
    ::testing::Values(RenderCase{"paused", ServerState::paused, false, true, kDen},
                      RenderCase{"starting", ServerState::starting, true, false, kDen},
                      RenderCase{"running_nothing_known", ServerState::running, true, false},
                      RenderCase{"running_name_with_ampersand", ServerState::running, true, false,
                                 kTomAndJerry},
                      RenderCase{"running_long_name_is_elided", ServerState::running, true, false,
                                 SetupFacts{std::nullopt, std::string(100000, 'x'), std::nullopt},
                                 std::string(47, 'x') + "\u2026"},
                      RenderCase{"not_responding", ServerState::notResponding, true, true, kDen}),
    testing::CaseName());

TEST_F(TrayTest, TheDimmedLookIsAVisiblyFainterPicture) {
    launch();
    show(ServerState::running);
    const int normal = strongestAlpha(item()->icon());
    ASSERT_GT(normal, 200);
    for (ServerState dimmedState : {ServerState::paused, ServerState::notResponding}) {
        show(dimmedState);
        EXPECT_LT(strongestAlpha(item()->icon()), normal / 2);
        show(ServerState::starting);
        EXPECT_EQ(strongestAlpha(item()->icon()), normal);
    }
}

TEST_F(TrayTest, TheDetailRowComesBackAtItsPlace) {
    launch();
    show(ServerState::running);
    EXPECT_FALSE(detailRow()->isVisible());
    show(ServerState::running, {false, "Den", true});
    EXPECT_TRUE(rowsShowTheSnapshot());
    EXPECT_EQ(menu()->actions().indexOf(detailRow()), 1);
}

}  // namespace
}  // namespace tessaway
