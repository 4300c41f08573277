#include "core/probe/snapshot.h"

#include <gtest/gtest.h>

#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

struct TextCase {
    const char* name;
    Snapshot snap;
    std::string status;
    std::string detail;
    std::string pause;
};

class MenuTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(MenuTextTest, GivesTheExactTexts) {
    const MenuText text = menuText(GetParam().snap, 1000);
    EXPECT_EQ(text.status, GetParam().status);
    EXPECT_EQ(text.detail, GetParam().detail);
    EXPECT_EQ(text.pause, GetParam().pause);
}

using S = ServerState;
const std::string kRunning = "Tessaway Server: Running";
const std::string kLinked = " \xC2\xB7 linked to Tessaway Connect";

INSTANTIATE_TEST_SUITE_P(Table, MenuTextTest,
                         ::testing::Values(TextCase{"fresh_snapshot", Snapshot{},
                                                    "Tessaway Server: Starting\xE2\x80\xA6",
                                                    "Waiting for the server to answer",
                                                    "Pause Sharing"},
                                           TextCase{"paused_ignores_facts",
                                                    {S::paused, true, "Den", true},
                                                    "Tessaway Server: Paused",
                                                    "Sharing is off until you resume it",
                                                    "Resume Sharing"},
                                           TextCase{"starting_ignores_facts",
                                                    {S::starting, false, "Den", false},
                                                    "Tessaway Server: Starting\xE2\x80\xA6",
                                                    "Waiting for the server to answer",
                                                    "Pause Sharing"},
                                           TextCase{"not_responding",
                                                    {S::notResponding, true, "Den", true},
                                                    "Tessaway Server: Not responding",
                                                    "See ~/Library/Logs/Tessaway/server.log",
                                                    "Pause Sharing"},
                                           TextCase{"running_claim_unknown_with_name",
                                                    {S::running, {}, "Den", false},
                                                    kRunning,
                                                    "Den",
                                                    "Pause Sharing"},
                                           TextCase{"running_claim_unknown_without_name",
                                                    {S::running, {}, {}, true},
                                                    kRunning,
                                                    "",
                                                    "Pause Sharing"},
                                           TextCase{"running_claimed_with_name",
                                                    {S::running, true, "Den", {}},
                                                    kRunning,
                                                    "Den" + kLinked,
                                                    "Pause Sharing"},
                                           TextCase{"running_claimed_without_name",
                                                    {S::running, true, {}, {}},
                                                    kRunning,
                                                    "This server" + kLinked,
                                                    "Pause Sharing"},
                                           TextCase{"running_claimed_empty_name",
                                                    {S::running, true, "", {}},
                                                    kRunning,
                                                    kLinked,
                                                    "Pause Sharing"},
                                           TextCase{"running_unclaimed_configured",
                                                    {S::running, false, "Den", true},
                                                    kRunning,
                                                    "Not claimed yet: open setup to link it",
                                                    "Pause Sharing"},
                                           TextCase{"running_unclaimed_not_configured",
                                                    {S::running, false, "Den", false},
                                                    kRunning,
                                                    "Not set up yet: open setup to finish",
                                                    "Pause Sharing"},
                                           TextCase{"running_unclaimed_configured_unknown",
                                                    {S::running, false, "Den", {}},
                                                    kRunning,
                                                    "Not set up yet: open setup to finish",
                                                    "Pause Sharing"}),
                         testing::CaseName());

// Each view says how wide a row may grow; the name is cut to it, the rest of the text is kept.
TEST(MenuTextWidthTest, TheNameIsCutToTheGivenWidth) {
    Snapshot snap{S::running, true, std::string(100, 'x'), {}};
    EXPECT_EQ(menuText(snap, 10).detail, std::string(9, 'x') + "\u2026" + kLinked);
    snap.claimed.reset();
    EXPECT_EQ(menuText(snap, 10).detail, std::string(9, 'x') + "\u2026");
}

}  // namespace
}  // namespace tessaway
