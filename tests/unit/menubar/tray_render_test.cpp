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
    EXPECT_EQ(tray->item, nullptr);
    EXPECT_EQ(tray->timer, nullptr);
    EXPECT_TRUE(tray->menu->actions().isEmpty());
    EXPECT_EQ(tray->statusRow->text(), "Tessaway Server");
    EXPECT_EQ(tray->detailRow->text(), "");
    EXPECT_EQ(tray->openRow->text(), "Open Setup / Dashboard");
    EXPECT_EQ(tray->addRow->text(), "Add Media Folder\u2026");
    EXPECT_EQ(tray->pauseRow->text(), "Pause Sharing");
    EXPECT_EQ(tray->loginRow->text(), "Start at Login");
    EXPECT_EQ(tray->quitRow->text(), "Quit Tessaway Server");
    EXPECT_EQ(tray->snap.state, ServerState::starting);
    EXPECT_FALSE(tray->unansweredSince);
    spin(0.1);
    EXPECT_TRUE(launchctl.calls.empty());
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TrayTest, LaunchBuildsTheItemAndTheTenEntries) {
    launch();
    ASSERT_NE(tray->item, nullptr);
    EXPECT_EQ(tray->item->toolTip(), "Tessaway Server");
    EXPECT_FALSE(tray->item->icon().isNull());
    EXPECT_EQ(tray->item->contextMenu(), tray->menu.get());

    const QList<QAction*> entries = tray->menu->actions();
    ASSERT_EQ(entries.size(), 10);
    // nullptr stands for a separator.
    const std::vector<QAction*> expected = {
        tray->statusRow, tray->detailRow, nullptr,        tray->openRow, tray->addRow,
        nullptr,         tray->pauseRow,  tray->loginRow, nullptr,       tray->quitRow};
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        if (expected[i] == nullptr) {
            EXPECT_TRUE(entries[i]->isSeparator());
        } else {
            EXPECT_EQ(entries[i], expected[i]);
        }
    }
    EXPECT_FALSE(tray->statusRow->isEnabled());
    EXPECT_FALSE(tray->detailRow->isEnabled());
    EXPECT_TRUE(tray->pauseRow->isEnabled());
    EXPECT_TRUE(tray->loginRow->isEnabled());
    EXPECT_TRUE(tray->quitRow->isEnabled());
    EXPECT_TRUE(tray->loginRow->isCheckable());

    EXPECT_EQ(tray->quitRow->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    for (QAction* row : {tray->statusRow, tray->detailRow, tray->openRow, tray->addRow,
                         tray->pauseRow, tray->loginRow}) {
        EXPECT_TRUE(row->shortcut().isEmpty()) << row->text().toStdString();
    }

    ASSERT_NE(tray->timer, nullptr);
    EXPECT_TRUE(tray->timer->isActive());
    EXPECT_FALSE(tray->timer->isSingleShot());
    EXPECT_EQ(tray->timer->interval(), 5000);
}

struct RenderCase {
    std::string name;
    Snapshot snap;
    std::string status;
    std::string detail;  ///< empty: the row is hidden
    std::string pause;
    bool setupRowsEnabled;
    bool dimmed;
};

Snapshot snapshot(ServerState state, std::optional<bool> claimed = {},
                  std::optional<std::string> name = {}, std::optional<bool> configured = {}) {
    Snapshot snap;
    snap.state = state;
    snap.claimed = claimed;
    snap.name = std::move(name);
    snap.configured = configured;
    return snap;
}

class RenderTest : public TrayTest, public ::testing::WithParamInterface<RenderCase> {};

TEST_P(RenderTest, ShowsTheSnapshot) {
    launch();
    const RenderCase& c = GetParam();
    for (int round = 0; round < 2; ++round) {  // rendering twice gives the same picture
        SCOPED_TRACE(round);
        tray->snap = c.snap;
        tray->render();
        EXPECT_EQ(tray->statusRow->text().toStdString(), c.status);
        EXPECT_EQ(tray->detailRow->text().toStdString(), c.detail);
        EXPECT_EQ(tray->detailRow->isVisible(), !c.detail.empty());
        EXPECT_EQ(tray->pauseRow->text().toStdString(), c.pause);
        EXPECT_EQ(tray->openRow->isEnabled(), c.setupRowsEnabled);
        EXPECT_EQ(tray->addRow->isEnabled(), c.setupRowsEnabled);
        EXPECT_EQ(tray->dimmed(), c.dimmed);
        EXPECT_FALSE(tray->statusRow->isEnabled());
        EXPECT_FALSE(tray->detailRow->isEnabled());
        EXPECT_TRUE(tray->pauseRow->isEnabled());
        EXPECT_TRUE(tray->loginRow->isEnabled());
        EXPECT_TRUE(tray->quitRow->isEnabled());
        EXPECT_EQ(tray->openRow->text(), "Open Setup / Dashboard");
        EXPECT_EQ(tray->addRow->text(), "Add Media Folder\u2026");
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, RenderTest,
    ::testing::Values(
        RenderCase{"paused", snapshot(ServerState::paused, true, "Den", true),
                   "Tessaway Server: Paused", "Sharing is off until you resume it",
                   "Resume Sharing", false, true},
        RenderCase{"starting", snapshot(ServerState::starting), "Tessaway Server: Starting\u2026",
                   "Waiting for the server to answer", "Pause Sharing", true, false},
        RenderCase{"running_named", snapshot(ServerState::running, std::nullopt, "Den"),
                   "Tessaway Server: Running", "Den", "Pause Sharing", true, false},
        RenderCase{"running_nothing_known", snapshot(ServerState::running),
                   "Tessaway Server: Running", "", "Pause Sharing", true, false},
        RenderCase{"running_linked", snapshot(ServerState::running, true),
                   "Tessaway Server: Running", "This server \u00B7 linked to Tessaway Connect",
                   "Pause Sharing", true, false},
        // The name comes from the server: "&" must not turn into a mnemonic, and a tab must
        // not open the shortcut column.
        RenderCase{"running_name_with_ampersand_and_tab",
                   snapshot(ServerState::running, std::nullopt, "Tom & Jerry\tTV"),
                   "Tessaway Server: Running", "Tom && Jerry\uFFFDTV", "Pause Sharing", true,
                   false},
        RenderCase{"not_responding", snapshot(ServerState::notResponding),
                   "Tessaway Server: Not responding", "See ~/Library/Logs/Tessaway/server.log",
                   "Pause Sharing", true, true}),
    testing::CaseName());

TEST_F(TrayTest, TheDimmedLookIsAVisiblyFainterPicture) {
    launch();
    tray->snap = snapshot(ServerState::running);
    tray->render();
    const int normal = strongestAlpha(tray->item->icon());
    ASSERT_GT(normal, 200);
    for (ServerState dimmedState : {ServerState::paused, ServerState::notResponding}) {
        tray->snap = snapshot(dimmedState);
        tray->render();
        EXPECT_LT(strongestAlpha(tray->item->icon()), normal / 2);
        tray->snap = snapshot(ServerState::starting);
        tray->render();
        EXPECT_EQ(strongestAlpha(tray->item->icon()), normal);
    }
}

TEST_F(TrayTest, TheDetailRowComesBackAtItsPlace) {
    launch();
    tray->snap = snapshot(ServerState::running);
    tray->render();
    EXPECT_FALSE(tray->detailRow->isVisible());
    tray->snap = snapshot(ServerState::running, false, "Den", true);
    tray->render();
    EXPECT_TRUE(tray->detailRow->isVisible());
    EXPECT_EQ(tray->detailRow->text(), "Not claimed yet: open setup to link it");
    EXPECT_EQ(tray->menu->actions().indexOf(tray->detailRow), 1);
}

TEST_F(TrayTest, AnOpenMenuThatGrowsStaysOnTheScreen) {
    launch();
    const QRect area = tray->menu->screen()->availableGeometry();
    tray->menu->popup(QPoint(area.right(), area.top()));
    ASSERT_TRUE(area.contains(tray->menu->geometry()));
    const int narrow = tray->menu->width();
    tray->snap = snapshot(ServerState::running, true,
                          "A server with a rather long name for the living room downstairs");
    tray->render();
    EXPECT_GT(tray->menu->width(), narrow);
    EXPECT_TRUE(area.contains(tray->menu->geometry()));
    tray->menu->hide();
}

}  // namespace
}  // namespace tessaway
