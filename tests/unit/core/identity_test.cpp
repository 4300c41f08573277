#include "core/identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

using testing::ScopedEnv;

TEST(IdentityTest, DomainIsGuiAndThePlainDecimalUserId) {
    ScopedEnv home("HOME", "/home/someone");
    fillIdentity();
    EXPECT_EQ(uid, getuid());
    EXPECT_EQ(domain, "gui/" + std::to_string(getuid()));
    EXPECT_EQ(serviceTarget(serverLabel), domain + "/com.quorvel.tessaway-server");
}

struct HomeCase {
    const char* name;
    std::string home;
    std::string agents;
    std::string logs;
};

class IdentityHomeTest : public ::testing::TestWithParam<HomeCase> {};

TEST_P(IdentityHomeTest, LocationsFollowTheHomeDirectory) {
    ScopedEnv home("HOME", GetParam().home);
    fillIdentity();
    EXPECT_EQ(agentsDir.string(), GetParam().agents);
    EXPECT_EQ(serverPlist.string(), GetParam().agents + "/com.quorvel.tessaway-server.plist");
    EXPECT_EQ(agentPlist(trayLabel).string(),
              GetParam().agents + "/com.quorvel.tessaway-tray.plist");
    EXPECT_EQ(logFolder(), GetParam().logs);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IdentityHomeTest,
    ::testing::Values(HomeCase{"plain", "/Users/ana", "/Users/ana/Library/LaunchAgents",
                               "/Users/ana/Library/Logs/Tessaway"},
                      HomeCase{"spaces_and_non_ascii", "/home/Zoë Müller",
                               "/home/Zoë Müller/Library/LaunchAgents",
                               "/home/Zoë Müller/Library/Logs/Tessaway"},
                      HomeCase{"trailing_slash", "/Users/ana/", "/Users/ana/Library/LaunchAgents",
                               "/Users/ana/Library/Logs/Tessaway"}),
    testing::CaseName());

TEST(IdentityTest, BasesDifferOnlyInTheHost) {
    EXPECT_EQ(probeBase(8011) + "/api/ping", "http://127.0.0.1:8011/api/ping");
    EXPECT_EQ(browserBase(8123) + "/setup", "http://localhost:8123/setup");
}

}  // namespace
}  // namespace tessaway
