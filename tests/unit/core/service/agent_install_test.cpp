#include "core/service/agent_install.h"

#include <gtest/gtest.h>

#include <deque>

#include "core/identity.h"
#include "core/service/port_config.h"
#include "platform/bundle.h"
#include "platform/property_list.h"
#include "tests/doubles/fake_launchctl.h"
#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using Verbs = std::vector<std::string>;

class AgentInstallTest : public testing::HomeTest {
protected:
    AgentInstallTest() {
        app = apps.path() / "Tom & Jerry" / "Tessaway.app";
        const fs::path resources = app / "Contents" / "Resources";
        fs::create_directories(resources);
        for (const std::string& label : {serverLabel, trayLabel}) {
            fs::copy_file(fs::path(TESSAWAY_SOURCE_DIR) / "bundle" / (label + ".plist.in"),
                          resources / (label + ".plist.in"));
        }
        platform::setMainBundleForTesting(platform::Bundle{app.string(), resources.string(),
                                                           (app / "Contents/PlugIns").string(),
                                                           "com.quorvel.tessaway"});
        fake.install();
    }

    /// Runs the installation with standard error captured into `errors`.
    std::optional<InstallResult> install() {
        ::testing::internal::CaptureStderr();
        auto result = installAgents();
        errors = ::testing::internal::GetCapturedStderr();
        return result;
    }

    /// The commands that name `label`, in order.
    Verbs verbsFor(const std::string& label) const {
        Verbs out;
        for (const auto& call : fake.calls) {
            for (const auto& arg : call) {
                if (arg.find(label + ".plist") != std::string::npos ||
                    arg == domain + "/" + label) {
                    out.push_back(call[0]);
                    break;
                }
            }
        }
        return out;
    }

    testing::TempDir apps;
    fs::path app;
    testing::FakeLaunchctl fake;
    std::string errors;
};

std::string stringAt(const platform::PropertyList* node) {
    return platform::stringValue(node).value_or("<absent>");
}

/// Element `index` of the array under `key` of `dict`, or nullptr.
const platform::PropertyList* element(const std::optional<platform::PropertyList>& dict,
                                      std::string_view key, size_t index) {
    const auto* array = dict ? platform::dictionaryItem(&*dict, key) : nullptr;
    if (array == nullptr || index >= array->array.size()) return nullptr;
    return &array->array[index];
}

TEST_F(AgentInstallTest, FreshInstallationRendersLoadableDefinitions) {
    const auto result = install();
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->fresh);
    EXPECT_TRUE(errors.empty()) << errors;
    EXPECT_TRUE(fs::is_directory(home() / "Library" / "Logs" / "Tessaway"));

    auto server = platform::readPropertyList(serverPlist.string());
    ASSERT_TRUE(server) << "the server definition must be a property list even under 'Tom & Jerry'";
    EXPECT_EQ(stringAt(platform::dictionaryItem(&*server, "Label")), serverLabel);
    EXPECT_EQ(stringAt(element(server, "ProgramArguments", 0)),
              app.string() + "/Contents/MacOS/tessaway-server");
    EXPECT_EQ(stringAt(platform::dictionaryItem(&*server, "StandardOutPath")),
              home().string() + "/Library/Logs/Tessaway/server.log");
    EXPECT_EQ(serverPort(), result->port);

    auto tray = platform::readPropertyList(agentPlist(trayLabel).string());
    ASSERT_TRUE(tray);
    EXPECT_EQ(stringAt(platform::dictionaryItem(&*tray, "Label")), trayLabel);
    EXPECT_EQ(stringAt(element(tray, "ProgramArguments", 0)),
              app.string() + "/Contents/MacOS/tessaway-tray");
    EXPECT_EQ(stringAt(element(tray, "ProgramArguments", 1)), "--agent");

    // stopServer() (one print, nothing loaded), then the start-at-login check, then each label.
    EXPECT_EQ(fake.verbs(),
              (Verbs{"print", "print-disabled", "print", "bootstrap", "print", "bootstrap"}));
    EXPECT_EQ(fake.calls[3], (Args{"bootstrap", domain, serverPlist.string()}));
    EXPECT_EQ(fake.calls[5], (Args{"bootstrap", domain, agentPlist(trayLabel).string()}));
}

TEST_F(AgentInstallTest, HomeWithSpacesAndAmpersandIsEscapedNotBroken) {
    const fs::path odd = home() / "Zoë & <Co>";
    fs::create_directories(odd);
    testing::ScopedEnv env("HOME", odd.string());
    fillIdentity();
    ASSERT_TRUE(install());
    auto server = platform::readPropertyList(serverPlist.string());
    ASSERT_TRUE(server);
    EXPECT_EQ(stringAt(platform::dictionaryItem(&*server, "StandardErrorPath")),
              odd.string() + "/Library/Logs/Tessaway/server.log");
}

TEST_F(AgentInstallTest, LoginOffLiftsAndRestoresTheOverrideAroundEachBootstrap) {
    fake.overrides[serverLabel] = false;
    ASSERT_TRUE(install());
    EXPECT_EQ(verbsFor(serverLabel), (Verbs{"print", "print", "enable", "bootstrap", "disable"}));
    EXPECT_EQ(verbsFor(trayLabel), (Verbs{"print", "enable", "bootstrap", "disable"}));
}

TEST_F(AgentInstallTest, ReinstallKeepsAValidPortAndReloadsWithoutWaiting) {
    testing::installServerDefinition(8123);
    fake.loadedLabels = {serverLabel, trayLabel};
    const auto result = install();
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->fresh);
    EXPECT_EQ(result->port, 8123);
    EXPECT_EQ(serverPort(), 8123);
    // No stopServer(): the first command is the start-at-login check.
    EXPECT_EQ(fake.verbs().front(), "print-disabled");
    EXPECT_EQ(verbsFor(serverLabel), (Verbs{"print", "bootout", "bootstrap"}));
    EXPECT_EQ(verbsFor(trayLabel), (Verbs{"print", "bootout", "bootstrap"}));
}

class InvalidStoredPortTest : public AgentInstallTest,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(InvalidStoredPortTest, StopsTheServerAndSearchesAFreePort) {
    testing::installServerDefinition(0);
    testing::writeFile(serverPlist, testing::serverDefinitionXml(std::string("<string>") +
                                                                 GetParam() + "</string>"));
    fake.loadedLabels = {serverLabel};
    const auto result = install();
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->fresh);
    EXPECT_GE(result->port, 8011);
    // Which port of the range is free depends on what else runs on the machine at that
    // moment, so a second search need not give the same answer.
    EXPECT_LE(result->port, 8099);
    const Verbs verbs = fake.verbs();
    ASSERT_GE(verbs.size(), 4u);
    EXPECT_EQ((Verbs{verbs[0], verbs[1], verbs[2], verbs[3]}),
              (Verbs{"print", "bootout", "print", "print-disabled"}));
}

INSTANTIATE_TEST_SUITE_P(Stored, InvalidStoredPortTest, ::testing::Values("0", "-5", "70000"));

TEST_F(AgentInstallTest, UnreadablePortCountsAsTheDefaultWithoutASearch) {
    for (const std::string element :
         {"<string>junk</string>", "<date>2026-01-01T00:00:00Z</date>"}) {
        fake.calls.clear();
        testing::writeFile(serverPlist, testing::serverDefinitionXml(element));
        const auto result = install();
        ASSERT_TRUE(result);
        EXPECT_EQ(result->port, 8011) << element;
        EXPECT_EQ(fake.verbs().front(), "print-disabled") << element;
    }
}

TEST_F(AgentInstallTest, FreshInstallSkipsABusyDefaultPort) {
    const testing::Listener busy(8011, AF_INET, testing::kPortWaitSeconds);
    ASSERT_TRUE(busy.ok()) << "another program held 8011 for " << testing::kPortWaitSeconds
                           << " seconds";
    const auto result = install();
    ASSERT_TRUE(result);
    EXPECT_GT(result->port, 8011);
}

TEST_F(AgentInstallTest, MissingTrayTemplateLeavesTheServerInstalledAndFails) {
    fs::remove(app / "Contents" / "Resources" / (trayLabel + ".plist.in"));
    EXPECT_FALSE(install());
    EXPECT_EQ(errors, "missing template for com.quorvel.tessaway-tray\n");
    EXPECT_TRUE(fs::exists(serverPlist));
    EXPECT_TRUE(fake.loadedLabels.count(serverLabel));
    EXPECT_FALSE(fs::exists(agentPlist(trayLabel)));
}

TEST_F(AgentInstallTest, TemplateThatIsNotUtf8CountsAsMissing) {
    testing::writeFile(app / "Contents" / "Resources" / (serverLabel + ".plist.in"),
                       "<plist>\xFF</plist>");
    EXPECT_FALSE(install());
    EXPECT_EQ(errors, "missing template for com.quorvel.tessaway-server\n");
    EXPECT_FALSE(fs::exists(serverPlist));
}

TEST_F(AgentInstallTest, ADefinitionThatCannotBeWrittenFailsAndKeepsTheOldOne) {
    // A folder where the tray's definition should go makes the final rename fail.
    fs::create_directories(agentPlist(trayLabel) / "blocker");
    EXPECT_FALSE(install());
    EXPECT_EQ(errors.rfind("cannot write " + agentPlist(trayLabel).string() + ": ", 0), 0u)
        << errors;
    EXPECT_EQ(errors.back(), '\n');
    EXPECT_TRUE(fs::is_directory(agentPlist(trayLabel)));
    EXPECT_TRUE(fs::exists(serverPlist));
    // No temporary file is left behind.
    for (const auto& entry : fs::directory_iterator(agentsDir)) {
        EXPECT_EQ(entry.path().string().find(".XXXXXX"), std::string::npos);
        EXPECT_TRUE(entry.path() == serverPlist || entry.path() == agentPlist(trayLabel))
            << entry.path();
    }
}

TEST_F(AgentInstallTest, ARunningAgentStaysRunningWhenItsNewDefinitionCannotBeWritten) {
    ASSERT_TRUE(install());
    // A folder in the definition's place makes the write fail (the port reads as the default).
    fs::remove(serverPlist);
    fs::create_directories(serverPlist / "blocker");
    fake.calls.clear();
    EXPECT_FALSE(install());
    EXPECT_EQ(errors.rfind("cannot write " + serverPlist.string() + ": ", 0), 0u) << errors;
    EXPECT_TRUE(fake.loadedLabels.count(serverLabel));
    EXPECT_EQ(verbsFor(serverLabel), (Verbs{})) << "nothing touches the running agent";
}

TEST_F(AgentInstallTest, AFolderThatCannotBeMadeIsTheCauseOfTheFailedWrite) {
    // Where the home cannot take the agents folder (read-only, or a file in its way), the
    // message names that, not the missing folder.
    testing::writeFile(agentsDir.parent_path(), "");
    EXPECT_FALSE(install());
    EXPECT_EQ(errors, "cannot write " + serverPlist.string() + ": cannot create " +
                          agentsDir.string() + ": Not a directory (errno 20)\n");
}

TEST_F(AgentInstallTest, EveryPortTakenFallsBackToTheDefaultAndSaysSo) {
    std::deque<testing::Listener> listeners;
    for (int port = 8011; port <= 8099; ++port) {
        ASSERT_TRUE(listeners.emplace_back(port, AF_INET, testing::kPortWaitSeconds).ok())
            << "another program held " << port << " for " << testing::kPortWaitSeconds
            << " seconds";
    }
    const auto result = install();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->port, 8011);
    EXPECT_EQ(errors, "no free port in 8011-8099; using 8011, which another program holds\n");
}

TEST_F(AgentInstallTest, FailedBootstrapIsReportedAndTheInstallationGoesOn) {
    fake.bootstrapStatus = 5;
    fake.bootstrapLoads = false;
    const auto result = install();
    ASSERT_TRUE(result);
    EXPECT_EQ(errors,
              "bootstrap com.quorvel.tessaway-server: Bootstrap failed: 5: Input/output error\n"
              "bootstrap com.quorvel.tessaway-tray: Bootstrap failed: 5: Input/output error\n");
    EXPECT_TRUE(fs::exists(agentPlist(trayLabel)));
}

TEST_F(AgentInstallTest, FailedBootstrapOfALoadedAgentIsSilent) {
    fake.bootstrapStatus = 5;
    ASSERT_TRUE(install());
    EXPECT_TRUE(errors.empty()) << errors;
}

struct RenderCase {
    const char* name;
    std::string app;
    std::string home;
    std::string expected;
};

class RenderPlaceholderPathTest : public ::testing::TestWithParam<RenderCase> {};

// Text that a value brings in is never taken for a placeholder.
TEST_P(RenderPlaceholderPathTest, FillsEveryPlaceholderOnce) {
    EXPECT_EQ(renderTemplate("@APP@|@HOME@|@PORT@", GetParam().app, GetParam().home, 8011),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RenderPlaceholderPathTest,
    ::testing::Values(
        RenderCase{"bundle_path_with_home", "/x/@HOME@/T.app", "/h", "/x/@HOME@/T.app|/h|8011"},
        RenderCase{"bundle_path_with_port", "/@PORT@@APP@", "/h", "/@PORT@@APP@|/h|8011"},
        RenderCase{"home_with_port", "/a", "/home/@PORT@", "/a|/home/@PORT@|8011"},
        RenderCase{"half_a_placeholder_on_each_side", "/a/@HO", "ME@/h", "/a/@HO|ME@/h|8011"}),
    testing::CaseName());

TEST(RenderTemplateTest, ReplacesEveryPlaceholderInOrderAndNothingElse) {
    EXPECT_EQ(renderTemplate("@APP@|@APP@|@HOME@|@PORT@|@PORT@|@OTHER@", "/A", "/H", 8011),
              "/A|/A|/H|8011|8011|@OTHER@");
    EXPECT_EQ(renderTemplate("no placeholders <&>", "/A", "/H", 1), "no placeholders <&>");
    EXPECT_EQ(renderTemplate("<string>@APP@</string>", "/Apps/Tom & Jerry's <x>", "/H", 1),
              "<string>/Apps/Tom &amp; Jerry&apos;s &lt;x&gt;</string>");
}

}  // namespace
}  // namespace tessaway
