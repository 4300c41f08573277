#include "launchctl/systemd/unit_file.h"

#include <signal.h>
#include <string.h>

#include <algorithm>
#include <array>

namespace tessaway::launchd {
namespace {

// systemd takes unit names of up to 255 bytes.
constexpr size_t kMaxUnitName = 255;
constexpr std::string_view kSuffix = ".service";
// Restarts of a program that ends at once are spaced this far apart at the least, as under the
// supervisors.
constexpr int64_t kMinimumRestartSeconds = 1;

bool unitNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
           c == '_' || c == '.' || c == '-';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/// Why `text` cannot stand in a unit file, or empty when it can. `what` names it for the user.
std::string unwritable(std::string_view text, const std::string& what) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return what +
                   " holds a line break or another control character, which a systemd "
                   "unit cannot hold";
        }
    }
    if (!validUtf8(text)) return what + " holds bytes that are not UTF-8, which systemd refuses";
    return {};
}

/// `%` doubled, since systemd expands specifiers in nearly every setting.
std::string specifiersEscaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

/// A word in double quotes, as ExecStart= and Environment= unquote it: backslash and quote
/// escaped, `%` doubled, and with `variables` `$` doubled (ExecStart= expands variables).
std::string quotedWord(std::string_view text, bool variables) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
        if (c == '%' || (variables && c == '$')) out += c;
    }
    return out + '"';
}

/// A value that systemd takes as the rest of the line: the line must not end in a backslash
/// (a continuation) or in white space (trimmed).
std::string rawValueProblem(std::string_view text, const std::string& what) {
    if (auto problem = unwritable(text, what); !problem.empty()) return problem;
    if (!text.empty() && (text.back() == '\\' || text.back() == ' ')) {
        return what + " ends in a backslash or a space, which systemd would read differently";
    }
    return {};
}

/// A path as the supervisors would use it: relative ones start from the root folder.
std::string fromRoot(const std::string& path) {
    return path.empty() || path.front() == '/' ? path : "/" + path;
}

bool environmentName(std::string_view name) {
    if (name.empty() || (name.front() >= '0' && name.front() <= '9')) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    });
}

/// Restart= and whether crash signals must prevent a restart, for the ends after which the
/// definition asks for a restart.
struct RestartPolicy {
    std::string_view restart;
    bool preventCrashes = false;
};

RestartPolicy restartPolicy(const KeepAlive& keepAlive) {
    const bool success = shouldRestart(keepAlive, {false, 0});
    const bool failure = shouldRestart(keepAlive, {false, 1});
    const bool crash = shouldRestart(keepAlive, {true, SIGSEGV});
    const bool otherSignal = shouldRestart(keepAlive, {true, SIGKILL});
    if (success && failure && crash && otherSignal) return {"always"};
    if (success && failure && otherSignal) return {"always", true};
    if (failure) return {"on-failure"};
    if (success && crash) return {"always"};
    if (success) return {"on-success"};
    if (crash) return {"on-abort"};
    return {"no"};
}

std::string crashSignalNames() {
    std::string names;
    for (int signal = 1; signal < SIGRTMIN; ++signal) {
        if (!crashSignal(signal)) continue;
        if (const char* name = sigabbrev_np(signal)) {
            names += (names.empty() ? "SIG" : " SIG") + std::string(name);
        }
    }
    return names;
}

/// The program's problem for ExecStart=, or empty.
std::string executableProblem(const std::string& executable) {
    if (auto problem = unwritable(executable, "The program's path"); !problem.empty()) {
        return problem;
    }
    if (executable.find_first_of("\\'\"") != std::string::npos) {
        return "The program's path holds a backslash or a quote, which systemd does not take in "
               "the path of a program";
    }
    constexpr std::string_view kPrefixes = "@-:+!|";
    if (executable.front() != '/' && (executable.find('/') != std::string::npos ||
                                      kPrefixes.find(executable.front()) != std::string::npos)) {
        return "The program is neither an absolute path nor a plain name that systemd can "
               "search for";
    }
    return {};
}

}  // namespace

std::optional<std::string> unitName(std::string_view label) {
    std::string name;
    for (size_t i = 0; i < label.size(); ++i) {
        const char c = label[i];
        if (unitNameByte(c) && !(i == 0 && c == '.')) {
            name += c;
        } else {
            constexpr std::string_view kHex = "0123456789abcdef";
            const auto byte = static_cast<unsigned char>(c);
            name += "\\x";
            name += kHex[byte >> 4];
            name += kHex[byte & 0xF];
        }
    }
    name += kSuffix;
    if (label.empty() || name.size() > kMaxUnitName) return std::nullopt;
    return name;
}

std::optional<std::string> labelOfUnit(std::string_view name) {
    if (name.size() <= kSuffix.size() || name.substr(name.size() - kSuffix.size()) != kSuffix) {
        return std::nullopt;
    }
    name.remove_suffix(kSuffix.size());
    std::string label;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\') {
            if (i + 3 >= name.size() || name[i + 1] != 'x') return std::nullopt;
            const int high = hexDigit(name[i + 2]);
            const int low = hexDigit(name[i + 3]);
            if (high < 0 || low < 0) return std::nullopt;
            label += static_cast<char>(high * 16 + low);
            i += 3;
        } else {
            label += name[i];
        }
    }
    // Only the one spelling that unitName makes names a label.
    if (unitName(label) != std::string(name) + std::string(kSuffix)) return std::nullopt;
    return label;
}

std::string_view loginTarget(const ServiceDefinition& def) {
    return def.keepAlive.present() ? "default.target" : "graphical-session.target";
}

UnitText renderUnit(const ServiceDefinition& def, const Environment& env,
                    const std::string& endRecord) {
    const auto fail = [](std::string problem) { return UnitText{{}, std::move(problem)}; };
    if (!unitName(def.label)) return fail("The Label is too long for the name of a systemd unit");
    if (auto problem = executableProblem(def.executable()); !problem.empty()) return fail(problem);
    for (size_t i = 0; i < def.arguments.size(); ++i) {
        const std::string what = "ProgramArguments item " + std::to_string(i + 1);
        if (auto problem = unwritable(def.arguments[i], what); !problem.empty())
            return fail(problem);
    }
    for (const auto& [name, value] : env) {
        if (auto problem = unwritable(name + value, "EnvironmentVariables"); !problem.empty()) {
            return fail(problem);
        }
        if (!environmentName(name)) {
            return fail("The EnvironmentVariables name \"" + name +
                        "\" is not one that systemd takes: letters, digits and _ only");
        }
    }
    const std::string workingDirectory = def.workingDirectory.empty() ? "/" : def.workingDirectory;
    const std::array<std::pair<const char*, std::string>, 4> paths = {{
        {"The definition's path", def.path},
        {"WorkingDirectory", fromRoot(workingDirectory)},
        {"StandardOutPath", fromRoot(def.standardOutPath)},
        {"StandardErrorPath", fromRoot(def.standardErrorPath)},
    }};
    for (const auto& [what, path] : paths) {
        if (auto problem = rawValueProblem(path, what); !problem.empty()) return fail(problem);
    }
    if (auto problem = unwritable(endRecord, "The runtime folder"); !problem.empty()) {
        return fail(problem);
    }

    const bool desktop = loginTarget(def) == "graphical-session.target";
    // A label that ends in a backslash would continue the line of the description.
    const std::string description =
        specifiersEscaped(def.label) + (def.label.back() == '\\' ? " (launchd agent)" : "");
    std::string text(kUnitHeader);
    text += "[Unit]\nDescription=" + description + "\n";
    text += "SourcePath=" + specifiersEscaped(def.path) + "\n";
    text += "StartLimitIntervalSec=0\n";
    if (desktop) text += "PartOf=graphical-session.target\nAfter=graphical-session.target\n";

    text += "\n[Service]\nType=exec\n";
    // "@" gives the program apart from the first argument, as Program and ProgramArguments do.
    text += "ExecStart=@" + quotedWord(def.executable(), false);
    for (const auto& argument : def.arguments)
        text += " " + quotedWord(argument, true);
    text += "\nWorkingDirectory=" + specifiersEscaped(paths[1].second) + "\n";
    for (const auto& assignment : assignments(env))
        text += "Environment=" + quotedWord(assignment, false) + "\n";
    const auto output = [&](const char* key, const std::string& path) {
        if (!path.empty()) text += std::string(key) + "=append:" + specifiersEscaped(path) + "\n";
    };
    output("StandardOutput", paths[2].second);
    output("StandardError", paths[3].second);
    if (!endRecord.empty()) {
        // The manager gives the end's kind and status in these variables; a bootout removes
        // the record first, so the stop it makes is not counted.
        text += "ExecStopPost=-/bin/sh " + quotedWord("-c", true) + " " +
                quotedWord(
                    "[ -e \"$0\" ] || exit 0; read n rest < \"$0\"; "
                    "echo \"$((n + 1)) $1 $2\" > \"$0\"",
                    true) +
                " " + quotedWord(endRecord, true) + " \"${EXIT_CODE}\" \"${EXIT_STATUS}\"\n";
    }
    const RestartPolicy policy = restartPolicy(def.keepAlive);
    text += "Restart=" + std::string(policy.restart) + "\n";
    if (policy.preventCrashes) text += "RestartPreventExitStatus=" + crashSignalNames() + "\n";
    text += "RestartSec=" + std::to_string(std::max(def.throttleInterval, kMinimumRestartSeconds)) +
            "\n";
    // SIGTERM to every process of the unit, as the supervisors send it to the program's group,
    // and after the time-out SIGKILL to whatever is left; also when the program ends by itself,
    // so that nothing it started outlives it.
    text += "TimeoutStopSec=" +
            (def.exitTimeOut > 0 ? std::to_string(def.exitTimeOut) : std::string("infinity")) +
            "\nKillMode=control-group\n";
    if (def.processType == "Background") {
        text +=
            "Slice=background.slice\nNice=10\nCPUWeight=20\nIOWeight=20\n"
            "IOSchedulingClass=best-effort\nIOSchedulingPriority=7\n";
    }
    text += "\n[Install]\nWantedBy=" + std::string(loginTarget(def)) + "\n";
    return {text, {}};
}

std::string execArgumentValue(std::string_view stored) {
    std::string out;
    for (size_t i = 0; i < stored.size(); ++i) {
        out += stored[i];
        if (stored[i] == '$' && i + 1 < stored.size() && stored[i + 1] == '$') ++i;
    }
    return out;
}

}  // namespace tessaway::launchd
