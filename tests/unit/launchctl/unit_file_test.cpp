#include "launchctl/systemd/unit_file.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <map>

#include "launchctl/systemd/unit_status.h"

namespace tessaway::launchd {
namespace {

// systemd's reading of the settings we write, done here independently of the writer: words of
// ExecStart= and Environment= unquoted with C escapes, specifiers (%%) undone, and for the
// arguments of ExecStart= variables ($$) too; the other settings are raw values.

std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> found;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        if (i == line.size()) break;
        std::string word;
        char quote = 0;
        for (; i < line.size() && (quote != 0 || line[i] != ' '); ++i) {
            const char c = line[i];
            if (quote == 0 && (c == '"' || c == '\'')) {
                quote = c;
            } else if (c == quote) {
                quote = 0;
            } else if (c == '\\' && i + 1 < line.size()) {
                const char next = line[++i];
                word += next == 't' ? '\t' : next == 'n' ? '\n' : next;
            } else {
                word += c;
            }
        }
        found.push_back(word);
    }
    return found;
}

std::string undone(std::string text, const std::string& doubled) {
    for (size_t i = text.find(doubled); i != std::string::npos; i = text.find(doubled, i + 1))
        text.erase(i, 1);
    return text;
}

/// The values of each key of the unit, in order.
std::multimap<std::string, std::string> settings(const std::string& text) {
    std::multimap<std::string, std::string> found;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        EXPECT_TRUE(line.empty() || line.back() != '\\') << "continued line: " << line;
        const auto equals = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == '[' || equals == std::string::npos) {
            continue;
        }
        found.emplace(line.substr(0, equals), line.substr(equals + 1));
    }
    return found;
}

std::string value(const std::string& text, const std::string& key) {
    const auto all = settings(text);
    const auto it = all.find(key);
    return it == all.end() ? "(none)" : undone(it->second, "%%");
}

ServiceDefinition definition() {
    ServiceDefinition def;
    def.path = "/home/u/Library/LaunchAgents/com.x.plist";
    def.label = "com.x";
    def.arguments = {"/bin/sh", "-c", "exec sleep 60"};
    return def;
}

const char* const kHostile[] = {
    "plain", "two words",   "100%",    "%n%%",        "$HOME",       "$$",
    "${X}",  "back\\slash", "\\",      "\"quoted\"",  "'single'",    "",
    ";",     "a;b",         "ü 🙂", "trailing\\ ", " lead space", "-dash",
};

TEST(UnitFileTest, HostileArgumentsAndVariablesRoundTrip) {
    ServiceDefinition def = definition();
    def.arguments.assign(std::begin(kHostile), std::end(kHostile));
    def.program = "/opt/odd dir$ 100%/prog";
    Environment env;
    for (size_t i = 0; i < std::size(kHostile); ++i)
        env.emplace_back("V" + std::to_string(i), kHostile[i]);
    const std::string record = "/run/odd \"dir\" $X 100%/tessaway-launchd/com.x.unit-loaded";
    const UnitText unit = renderUnit(def, env, record);
    ASSERT_EQ(unit.problem, "");

    const auto all = settings(unit.text);
    std::vector<std::string> stopPost;
    for (const auto& word : words(all.find("ExecStopPost")->second))
        stopPost.push_back(undone(undone(word, "%%"), "$$"));
    EXPECT_EQ(stopPost, (std::vector<std::string>{"-/bin/sh", "-c", stopPost.at(2), record,
                                                  "${EXIT_CODE}", "${EXIT_STATUS}"}));
    const auto exec = words(all.find("ExecStart")->second);
    ASSERT_EQ(exec.size(), def.arguments.size() + 1);
    EXPECT_EQ(undone(exec[0], "%%"), "@" + def.program);
    for (size_t i = 0; i < def.arguments.size(); ++i) {
        EXPECT_EQ(undone(undone(exec[i + 1], "%%"), "$$"), def.arguments[i]) << i;
        EXPECT_EQ(execArgumentValue(undone(exec[i + 1], "%%")), def.arguments[i]) << i;
    }
    Environment read;
    for (auto [it, end] = all.equal_range("Environment"); it != end; ++it) {
        const auto assignment = undone(words(it->second).at(0), "%%");
        read.emplace_back(assignment.substr(0, assignment.find('=')),
                          assignment.substr(assignment.find('=') + 1));
    }
    EXPECT_EQ(read, env);
}

TEST(UnitFileTest, PathsAreRawValuesFromTheRoot) {
    ServiceDefinition def = definition();
    def.path = "/defs/a b%$\\x.plist";
    def.workingDirectory = "rel dir";
    def.standardOutPath = "/logs/o u%t.log";
    def.standardErrorPath = "err.log";
    const UnitText unit = renderUnit(def, {}, "");
    ASSERT_EQ(unit.problem, "");
    EXPECT_EQ(value(unit.text, "SourcePath"), def.path);
    EXPECT_EQ(value(unit.text, "WorkingDirectory"), "/rel dir");
    EXPECT_EQ(value(unit.text, "StandardOutput"), "append:/logs/o u%t.log");
    EXPECT_EQ(value(unit.text, "StandardError"), "append:/err.log");
    EXPECT_EQ(value(renderUnit(definition(), {}, "").text, "WorkingDirectory"), "/");
    EXPECT_EQ(value(renderUnit(definition(), {}, "").text, "StandardOutput"), "(none)");
}

struct Refusal {
    const char* name;
    void (*change)(ServiceDefinition&, Environment&);
    const char* problem;
};

class RefusedUnitTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedUnitTest, NothingIsWrittenAndTheReasonIsSaid) {
    ServiceDefinition def = definition();
    Environment env = {{"A", "1"}};
    GetParam().change(def, env);
    const UnitText unit = renderUnit(def, env, "");
    EXPECT_EQ(unit.text, "");
    EXPECT_NE(unit.problem.find(GetParam().problem), std::string::npos) << unit.problem;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RefusedUnitTest,
    ::testing::Values(
        Refusal{"LineFeed", [](auto& d, auto&) { d.arguments[2] = "a\nb"; },
                "ProgramArguments item 3 holds a line break"},
        Refusal{"Tab", [](auto& d, auto&) { d.arguments[1] = "a\tb"; }, "control character"},
        Refusal{"Delete", [](auto& d, auto&) { d.arguments[1] = "a\x7f"; }, "control character"},
        Refusal{"NotUtf8", [](auto& d, auto&) { d.arguments[1] = "\xff\xfe"; }, "not UTF-8"},
        Refusal{"ValueNotUtf8", [](auto&, auto& e) { e[0].second = "\xc3"; }, "not UTF-8"},
        Refusal{"ValueLineFeed", [](auto&, auto& e) { e[0].second = "a\nb"; }, "line break"},
        Refusal{"NameWithSpace", [](auto&, auto& e) { e[0].first = "A B"; }, "\"A B\""},
        Refusal{"NameWithDigitFirst", [](auto&, auto& e) { e[0].first = "1A"; }, "\"1A\""},
        Refusal{"ProgramWithQuote", [](auto& d, auto&) { d.program = "/o'dd/p"; },
                "backslash or a quote"},
        Refusal{"ProgramWithBackslash", [](auto& d, auto&) { d.arguments[0] = "/a\\b"; },
                "backslash or a quote"},
        Refusal{"RelativeWithSlash", [](auto& d, auto&) { d.arguments[0] = "bin/x"; },
                "neither an absolute path"},
        Refusal{"PrefixCharacter", [](auto& d, auto&) { d.arguments[0] = "-x"; },
                "neither an absolute path"},
        Refusal{"PathEndsInBackslash", [](auto& d, auto&) { d.standardOutPath = "/l\\"; },
                "StandardOutPath ends in a backslash"},
        Refusal{"FolderLineFeed", [](auto& d, auto&) { d.workingDirectory = "/a\nb"; },
                "WorkingDirectory holds a line break"},
        Refusal{"LabelTooLong", [](auto& d, auto&) { d.label = std::string(80, ' '); },
                "too long"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(UnitFileTest, UnitNamesKeepLabelsApart) {
    const std::pair<const char*, const char*> rows[] = {
        {"com.quorvel.tessaway-server", "com.quorvel.tessaway-server.service"},
        {"a b", "a\\x20b.service"},
        {"a\\x20b", "a\\x5cx20b.service"},
        {".hidden", "\\x2ehidden.service"},
        {"x@y", "x\\x40y.service"},
        {"ü", "\\xc3\\xbc.service"},
    };
    for (const auto& [label, name] : rows) {
        EXPECT_EQ(unitName(label), name);
        EXPECT_EQ(labelOfUnit(name), label);
    }
    for (const char* other :
         {"a\\x20b", "a\\X20b.service", "a\\x2.service", "a.socket", "a\\x61.service"}) {
        EXPECT_EQ(labelOfUnit(other), std::nullopt) << other;
    }
    EXPECT_TRUE(unitName(std::string(200, 'x')).has_value());
    EXPECT_FALSE(unitName(std::string(70, '%')).has_value());
}

TEST(UnitFileTest, KeepAliveBecomesRestartPolicyAndLoginTarget) {
    struct Row {
        KeepAlive keepAlive;
        const char* restart;
        const char* prevented;
        const char* target;
    };
    const Row rows[] = {
        {{false, std::nullopt, std::nullopt, false}, "no", "(none)", "graphical-session.target"},
        {{true, std::nullopt, std::nullopt, false}, "always", "(none)", "default.target"},
        {{false, false, std::nullopt, true}, "on-failure", "(none)", "default.target"},
        {{false, true, std::nullopt, true}, "on-success", "(none)", "default.target"},
        {{false, std::nullopt, true, true}, "on-abort", "(none)", "default.target"},
        {{false, std::nullopt, false, true},
         "always",
         "SIGILL SIGTRAP SIGABRT SIGBUS SIGFPE SIGSEGV SIGSYS",
         "default.target"},
        {{false, std::nullopt, std::nullopt, true}, "no", "(none)", "default.target"},
    };
    for (const auto& row : rows) {
        ServiceDefinition def = definition();
        def.keepAlive = row.keepAlive;
        def.throttleInterval = 0;
        const std::string text = renderUnit(def, {}, "").text;
        EXPECT_EQ(value(text, "Restart"), row.restart);
        EXPECT_EQ(value(text, "RestartPreventExitStatus"), row.prevented);
        EXPECT_EQ(value(text, "WantedBy"), row.target);
        EXPECT_EQ(value(text, "RestartSec"), "1");
    }
}

TEST(UnitStatusTest, PropertiesReadAsPrintShowsThem) {
    struct Row {
        const char* name;
        UnitProperties unit;
        bool marked;
        bool loaded;
        const char* lines;
        const char* lastStatus;
    };
    UnitProperties running;
    running.loadState = "loaded";
    running.activeState = "active";
    running.subState = "running";
    running.mainPid = 42;
    running.startedAt = 5;
    running.restarts = 2;
    running.timeoutStopMicroseconds = 20'000'000;
    running.restartMicroseconds = 10'000'000;
    running.execPath = "/bin/sh";
    running.execArguments = {"sh", "-c", "echo $$$$"};
    running.environment = {"B=2", "A=1"};
    running.workingDirectory = "/";
    const auto ended = [&](int32_t code, int32_t status, const char* state) {
        UnitProperties unit = running;
        unit.activeState = state;
        unit.subState = "exited";
        unit.mainPid = 0;
        unit.exitedAt = 9;
        unit.execMainCode = code;
        unit.execMainStatus = status;
        return unit;
    };
    UnitProperties stopping = running;
    stopping.activeState = "deactivating";
    UnitProperties idle;
    idle.loadState = "loaded";
    idle.activeState = "inactive";
    const Row rows[] = {
        {"running", running, false, true,
         "\tstate = running\n|\tprogram = /bin/sh\n\targuments = {\n\t\tsh\n\t\t-c\n"
         "\t\techo $$\n\t}\n|\t\tA => 1\n\t\tB => 2\n|\tminimum runtime = 10\n\texit "
         "timeout = 20\n\truns = 3\n\tpid = 42\n\tlast exit code = (never exited)\n",
         "-"},
        {"exited", ended(CLD_EXITED, 3, "failed"), false, true,
         "\tstate = not running\n|\tlast exit code = 3\n", "3"},
        {"could not start", ended(CLD_EXITED, 203, "failed"), false, true,
         "\tlast exit code = 78\n", "78"},
        {"killed", ended(CLD_KILLED, SIGKILL, "active"), false, true,
         "\tlast terminating signal = Killed: 9\n", "-9"},
        {"stopping", stopping, false, true, "\tstate = SIGTERMed\n", "-"},
        {"never started", idle, true, true, "\truns = 0\n", "-"},
        {"not loaded", idle, false, false, "", "-"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(unitLoaded(row.unit, row.marked), row.loaded);
        const LoadedService service = loadedService(row.unit, "com.x", 1000, std::nullopt);
        EXPECT_EQ(service.lastStatus, row.lastStatus);
        EXPECT_EQ(service.report.rfind("gui/1000/com.x = {\n", 0), 0u);
        std::string_view lines = row.lines;
        while (!lines.empty()) {
            const auto bar = lines.find('|');
            EXPECT_NE(service.report.find(lines.substr(0, bar)), std::string::npos)
                << lines.substr(0, bar) << "\nin\n"
                << service.report;
            lines = bar == std::string_view::npos ? "" : lines.substr(bar + 1);
        }
    }
    EXPECT_TRUE(unitEnded(ended(CLD_EXITED, 0, "inactive")));
    EXPECT_FALSE(unitEnded(running));

    // The end record of a bootstrap outlives the manager's memory of an inactive unit.
    const auto record = parseEndRecord("2 killed SEGV\n");
    ASSERT_TRUE(record.has_value());
    const LoadedService forgotten = loadedService(idle, "com.x", 1000, record);
    EXPECT_EQ(forgotten.lastStatus, "-11");
    EXPECT_NE(forgotten.report.find("\truns = 2\n"), std::string::npos);
    EXPECT_NE(loadedService(running, "com.x", 1000, record).report.find("\truns = 3\n"),
              std::string::npos);
}

TEST(UnitStatusTest, EndRecordsAreReadStrictly) {
    const std::pair<const char*, const char*> rows[] = {
        {"", "0 -"},
        {"1 exited 0\n", "1 0"},
        {"3 exited 203", "3 78"},
        {"4 dumped ABRT", "4 -6"},
        {"5 killed TERM", "5 -15"},
    };
    for (const auto& [text, expected] : rows) {
        const auto record = parseEndRecord(text);
        ASSERT_TRUE(record.has_value()) << text;
        UnitProperties unit;
        const auto service = loadedService(unit, "com.x", 0, record);
        EXPECT_EQ(std::to_string(record->ends) + " " + service.lastStatus, expected) << text;
    }
    for (const char* bad : {"x exited 0", "1 exited", "1 exited 0 9", "1 exited -1",
                            "1 killed NOSUCH", "1 gone 0", "1234567890 exited 0"}) {
        EXPECT_EQ(parseEndRecord(bad).has_value(), false) << bad;
    }
}

}  // namespace
}  // namespace tessaway::launchd
