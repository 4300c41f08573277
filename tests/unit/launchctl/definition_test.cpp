#include "launchctl/definition.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/doubles/temp_home.h"

namespace tessaway::launchd {
namespace {

std::string plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body +
           "</dict></plist>\n";
}

const std::string kMinimal =
    "<key>Label</key><string>com.x</string>"
    "<key>ProgramArguments</key><array><string>/bin/sleep</string><string>1</string></array>";

DefinitionResult parse(const std::string& body) {
    return parseDefinition(plist(body), "/p");
}

struct RejectCase {
    std::string name;
    std::string data;
    std::string reason;
};

class RejectedDefinitionTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectedDefinitionTest, NamesTheReason) {
    const auto result = parseDefinition(GetParam().data, "/p");
    EXPECT_FALSE(result.definition.has_value());
    EXPECT_EQ(result.reason, GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RejectedDefinitionTest,
    ::testing::Values(
        RejectCase{"Empty", "", "Invalid property list"},
        RejectCase{"NotAPlist", "Label=x", "Invalid property list"},
        RejectCase{"ArrayRoot", "<plist><array><string>x</string></array></plist>",
                   "Invalid property list"},
        RejectCase{"NoLabel", plist("<key>Program</key><string>/bin/true</string>"),
                   "Missing required key: Label"},
        RejectCase{"EmptyLabel",
                   plist("<key>Label</key><string></string><key>Program</key><string>/x</string>"),
                   "Missing required key: Label"},
        RejectCase{
            "LabelWithSlash",
            plist("<key>Label</key><string>a/b</string><key>Program</key><string>/x</string>"),
            "Invalid Label: a/b"},
        RejectCase{"LabelTooLong",
                   plist("<key>Label</key><string>" + std::string(201, 'x') +
                         "</string><key>Program</key><string>/x</string>"),
                   "Invalid Label: " + std::string(201, 'x')},
        RejectCase{"NoProgram", plist("<key>Label</key><string>com.x</string>"),
                   "Missing required key: Program or ProgramArguments"},
        RejectCase{
            "EmptyProgram",
            plist("<key>Label</key><string>com.x</string><key>Program</key><string></string>"),
            "Missing required key: Program or ProgramArguments"},
        RejectCase{"ProgramNotAString",
                   plist("<key>Label</key><string>com.x</string><key>Program</key><true/>"),
                   "Invalid Program"},
        RejectCase{"ArgumentsNotAnArray",
                   plist("<key>Label</key><string>com.x</string>"
                         "<key>ProgramArguments</key><string>/bin/true</string>"),
                   "Invalid ProgramArguments"},
        RejectCase{"ArgumentNotAString",
                   plist("<key>Label</key><string>com.x</string><key>ProgramArguments</key>"
                         "<array><string>/bin/true</string><integer>1</integer></array>"),
                   "Invalid ProgramArguments"}),
    testing::CaseName());

TEST(DefinitionTest, DefaultsOfAMinimalDefinition) {
    const auto result = parse(kMinimal);
    ASSERT_TRUE(result.definition) << result.reason;
    const auto& def = *result.definition;
    EXPECT_EQ(def.path, "/p");
    EXPECT_EQ(def.label, "com.x");
    EXPECT_EQ(def.executable(), "/bin/sleep");
    EXPECT_EQ(def.arguments, (std::vector<std::string>{"/bin/sleep", "1"}));
    EXPECT_FALSE(def.runAtLoad);
    EXPECT_FALSE(def.keepAlive.present());
    EXPECT_FALSE(def.startsAtLoad());
    EXPECT_EQ(def.throttleInterval, 10);
    EXPECT_EQ(def.exitTimeOut, 20);
    EXPECT_TRUE(def.environmentVariables.empty());
}

struct ProgramCase {
    std::string name;
    std::string keys;
    std::string executable;
    std::vector<std::string> arguments;
};

class ProgramTest : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramTest, DecidesExecutableAndArguments) {
    const auto result = parse("<key>Label</key><string>com.x</string>" + GetParam().keys);
    ASSERT_TRUE(result.definition);
    EXPECT_EQ(result.definition->executable(), GetParam().executable);
    EXPECT_EQ(result.definition->arguments, GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProgramTest,
    ::testing::Values(ProgramCase{"ProgramAloneIsAlsoTheOnlyArgument",
                                  "<key>Program</key><string>/bin/true</string>",
                                  "/bin/true",
                                  {"/bin/true"}},
                      ProgramCase{
                          "ProgramWinsOverTheFirstArgument",
                          "<key>Program</key><string>/bin/real</string>"
                          "<key>ProgramArguments</key><array><string>shown</string></array>",
                          "/bin/real",
                          {"shown"}}),
    testing::CaseName());

TEST(DefinitionTest, EnvironmentKeepsStringValuesOnly) {
    const auto result = parse(kMinimal +
                              "<key>EnvironmentVariables</key><dict>"
                              "<key>A</key><string>1</string>"
                              "<key>B</key><integer>2</integer>"
                              "<key>C=D</key><string>3</string>"
                              "<key>E</key><string></string>"
                              "</dict>");
    ASSERT_TRUE(result.definition);
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(result.definition->environmentVariables, (Pairs{{"A", "1"}, {"E", ""}}));
}

TEST(DefinitionTest, TimesAndFlags) {
    const auto result = parse(kMinimal +
                              "<key>RunAtLoad</key><true/>"
                              "<key>ThrottleInterval</key><integer>1</integer>"
                              "<key>ExitTimeOut</key><integer>0</integer>"
                              "<key>WorkingDirectory</key><string>/w</string>"
                              "<key>StandardOutPath</key><string>/o</string>"
                              "<key>StandardErrorPath</key><string>/e</string>");
    ASSERT_TRUE(result.definition);
    const auto& def = *result.definition;
    EXPECT_TRUE(def.runAtLoad);
    EXPECT_EQ(def.throttleInterval, 1);
    EXPECT_EQ(def.exitTimeOut, 0);
    EXPECT_EQ(def.workingDirectory, "/w");
    EXPECT_EQ(def.standardOutPath, "/o");
    EXPECT_EQ(def.standardErrorPath, "/e");
}

TEST(DefinitionTest, UnusableValuesFallBackToDefaults) {
    const auto result = parse(kMinimal +
                              "<key>RunAtLoad</key><string>yes</string>"
                              "<key>ThrottleInterval</key><integer>-4</integer>"
                              "<key>ExitTimeOut</key><string>9</string>"
                              "<key>KeepAlive</key><string>always</string>");
    ASSERT_TRUE(result.definition);
    const auto& def = *result.definition;
    EXPECT_FALSE(def.runAtLoad);
    EXPECT_EQ(def.throttleInterval, 10);
    EXPECT_EQ(def.exitTimeOut, 20);
    EXPECT_FALSE(def.keepAlive.present());
}

struct KeepAliveCase {
    std::string name;
    std::string xml;
    bool startsAtLoad;
};

class KeepAliveParseTest : public ::testing::TestWithParam<KeepAliveCase> {};

TEST_P(KeepAliveParseTest, DecidesTheStartAtLoad) {
    const auto result = parse(kMinimal + "<key>KeepAlive</key>" + GetParam().xml);
    ASSERT_TRUE(result.definition);
    EXPECT_EQ(result.definition->startsAtLoad(), GetParam().startsAtLoad);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, KeepAliveParseTest,
    ::testing::Values(
        KeepAliveCase{"True", "<true/>", true}, KeepAliveCase{"False", "<false/>", false},
        KeepAliveCase{"SuccessfulExit", "<dict><key>SuccessfulExit</key><false/></dict>", true},
        KeepAliveCase{"Crashed", "<dict><key>Crashed</key><true/></dict>", true},
        KeepAliveCase{"OtherConditionsOnly", "<dict><key>NetworkState</key><true/></dict>", true}),
    testing::CaseName());

struct RestartCase {
    std::string name;
    KeepAlive keepAlive;
    Termination end;
    bool restarts;
};

class RestartTest : public ::testing::TestWithParam<RestartCase> {};

TEST_P(RestartTest, Decides) {
    EXPECT_EQ(shouldRestart(GetParam().keepAlive, GetParam().end), GetParam().restarts);
}

KeepAlive conditions(std::optional<bool> successfulExit, std::optional<bool> crashed) {
    KeepAlive k;
    k.conditional = true;
    k.successfulExit = successfulExit;
    k.crashed = crashed;
    return k;
}

const Termination kClean{false, 0};
const Termination kFailed{false, 1};
const Termination kCrashed{true, SIGSEGV};
const Termination kAborted{true, SIGABRT};
const Termination kTerminated{true, SIGTERM};

INSTANTIATE_TEST_SUITE_P(
    Rows, RestartTest,
    ::testing::Values(
        RestartCase{"NoKeepAlive", KeepAlive{}, kFailed, false},
        RestartCase{"AlwaysAfterClean", KeepAlive{true, {}, {}, false}, kClean, true},
        RestartCase{"AlwaysAfterSignal", KeepAlive{true, {}, {}, false}, kTerminated, true},
        RestartCase{"SuccessfulExitTrueAfterClean", conditions(true, {}), kClean, true},
        RestartCase{"SuccessfulExitTrueAfterFailure", conditions(true, {}), kFailed, false},
        RestartCase{"SuccessfulExitFalseAfterClean", conditions(false, {}), kClean, false},
        RestartCase{"SuccessfulExitFalseAfterFailure", conditions(false, {}), kFailed, true},
        RestartCase{"SuccessfulExitFalseAfterSignal", conditions(false, {}), kTerminated, true},
        RestartCase{"CrashedTrueAfterSegv", conditions({}, true), kCrashed, true},
        RestartCase{"CrashedTrueAfterAbort", conditions({}, true), kAborted, true},
        RestartCase{"CrashedTrueAfterTerm", conditions({}, true), kTerminated, false},
        RestartCase{"CrashedTrueAfterFailure", conditions({}, true), kFailed, false},
        RestartCase{"CrashedFalseAfterClean", conditions({}, false), kClean, true},
        RestartCase{"CrashedFalseAfterSegv", conditions({}, false), kCrashed, false},
        RestartCase{"BothAfterClean", conditions(false, true), kClean, false},
        RestartCase{"BothAfterCrash", conditions(false, true), kCrashed, true},
        RestartCase{"NoConditionsAfterFailure", conditions({}, {}), kFailed, false}),
    testing::CaseName());

TEST(DefinitionFileTest, MissingFileNamesTheSystemError) {
    const auto result = readDefinition("/nonexistent/definition.plist");
    EXPECT_FALSE(result.definition);
    EXPECT_EQ(result.reason, "No such file or directory");
}

TEST(DefinitionFileTest, RelativePathIsRecordedAbsolute) {
    testing::TempDir dir;
    testing::writeFile(dir.path() / "d.plist", plist(kMinimal));
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const auto result = readDefinition("d.plist");
    std::filesystem::current_path(previous);
    ASSERT_TRUE(result.definition) << result.reason;
    EXPECT_EQ(result.definition->path, (dir.path() / "d.plist").string());
}

}  // namespace
}  // namespace tessaway::launchd
