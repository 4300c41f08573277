#include "launchctl/environment.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <map>

namespace tessaway::launchd {
namespace {

// The caller's environment as the lookup sees it; set per test.
std::map<std::string, std::string>* callerVariables = nullptr;

const char* lookup(const char* name) {
    const auto it = callerVariables->find(name);
    return it == callerVariables->end() ? nullptr : it->second.c_str();
}

class ServiceEnvironmentTest : public ::testing::Test {
protected:
    ServiceEnvironmentTest() { callerVariables = &caller_; }
    ~ServiceEnvironmentTest() override { callerVariables = nullptr; }

    std::map<std::string, std::string> build() {
        const Environment env = serviceEnvironment(def_, lookup);
        return {env.begin(), env.end()};
    }

    std::map<std::string, std::string> caller_;
    ServiceDefinition def_;
};

TEST_F(ServiceEnvironmentTest, StartsFromAFixedBaseNotFromTheCaller) {
    def_.label = "com.x";
    caller_ = {{"HOME", "/home/t"}, {"PATH", "/opt/bin"}, {"SECRET", "1"}, {"TMPDIR", "/t"}};
    const auto env = build();
    EXPECT_EQ(env.at("PATH"), "/usr/bin:/bin:/usr/sbin:/sbin");
    EXPECT_EQ(env.at("HOME"), "/home/t");
    EXPECT_EQ(env.at("TMPDIR"), "/t");
    EXPECT_EQ(env.at("XPC_SERVICE_NAME"), "com.x");
    EXPECT_EQ(env.count("SECRET"), 0u);
    const passwd* account = getpwuid(getuid());
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(env.at("USER"), account->pw_name);
    EXPECT_EQ(env.at("LOGNAME"), account->pw_name);
}

TEST_F(ServiceEnvironmentTest, SessionVariablesPassOnlyWhenTheCallerHasThem) {
    caller_ = {{"DISPLAY", ":1"},
               {"WAYLAND_DISPLAY", ""},
               {"DBUS_SESSION_BUS_ADDRESS", "unix:x"},
               {"XDG_SESSION_TYPE", "x11"}};
    const auto env = build();
    EXPECT_EQ(env.at("DISPLAY"), ":1");
    EXPECT_EQ(env.at("DBUS_SESSION_BUS_ADDRESS"), "unix:x");
    for (const char* absent : {"WAYLAND_DISPLAY", "XAUTHORITY", "LANG", "QT_QPA_PLATFORM",
                               "XDG_RUNTIME_DIR", "XDG_SESSION_TYPE"}) {
        EXPECT_EQ(env.count(absent), 0u) << absent;
    }
}

TEST_F(ServiceEnvironmentTest, DefinitionVariablesComeLast) {
    def_.label = "com.x";
    caller_ = {{"LANG", "C"}};
    def_.environmentVariables = {
        {"LANG", "de_DE.UTF-8"}, {"PATH", "/opt"}, {"XPC_SERVICE_NAME", "y"}};
    const auto env = build();
    EXPECT_EQ(env.at("LANG"), "de_DE.UTF-8");
    EXPECT_EQ(env.at("PATH"), "/opt");
    EXPECT_EQ(env.at("XPC_SERVICE_NAME"), "y");
}

TEST_F(ServiceEnvironmentTest, TemporaryFolderDefaultsWhenTheCallerHasNone) {
    EXPECT_EQ(build().at("TMPDIR"), "/tmp");
}

TEST_F(ServiceEnvironmentTest, IsSortedWithEachNameOnce) {
    def_.environmentVariables = {{"HOME", "/h"}, {"AAA", "1"}};
    const Environment env = serviceEnvironment(def_, lookup);
    for (size_t i = 1; i < env.size(); ++i)
        EXPECT_LT(env[i - 1].first, env[i].first);
}

}  // namespace
}  // namespace tessaway::launchd
