#include "launchctl/autostart.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "launchctl/definition.h"
#include "launchctl/locations.h"
#include "platform/atomic_file.h"
#include "platform/file_read.h"
#include "platform/system.h"

namespace tessaway::launchd {
namespace {

// An entry is a few hundred bytes; a bigger file by that name is someone else's.
constexpr size_t kMaxEntryBytes = 1 << 16;
constexpr std::string_view kGroup = "[Desktop Entry]";

bool representable(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7F) return false;
    }
    return validUtf8(text);
}

/// Escapes a value of type string: backslash and the three white-space controls.
std::string escapedString(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

/// One argument of an Exec line before the string escaping: quoted in whole when it holds a
/// reserved character, and every `%` doubled, since field codes are expanded after unquoting.
std::string execArgument(std::string_view argument) {
    constexpr std::string_view kReserved = " \t\n\r\"'\\><~|&;$*?#()`";
    const bool quote =
        argument.empty() || argument.find_first_of(kReserved) != std::string_view::npos;
    std::string out = quote ? "\"" : "";
    for (char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
        out += c;
        if (c == '%') out += '%';
    }
    if (quote) out += '"';
    return out;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

/// What is at the entry's place now.
enum class Existing { missing, ours, switchedOff, other, unknown };

/// `problem` says what went wrong for `unknown`, and which key switched it off for
/// `switchedOff`.
Existing examine(const std::string& path, const std::string& exec, std::string& problem) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return Existing::missing;
        problem = "cannot examine " + path + ": " + std::strerror(errno);
        return Existing::unknown;
    }
    // A folder or a FIFO by that name is no entry; the replacement says whether it can go.
    if (!S_ISREG(st.st_mode)) return Existing::other;
    std::string text;
    if (!platform::readFile(path, text, kMaxEntryBytes)) {
        problem = "cannot read " + path;
        return Existing::unknown;
    }
    bool entry = false;
    bool inGroup = false;
    std::string execValue;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = trimmed(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line.front() == '[') {
            inGroup = line == kGroup;
            entry = entry || inGroup;
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = trimmed(std::string_view(line).substr(0, equals));
        const std::string value = trimmed(std::string_view(line).substr(equals + 1));
        // Switched off in the desktop's settings: Hidden by the standard, the other by GNOME.
        // Honoured wherever it appears, also in a file that is not an entry at all.
        if ((key == "Hidden" && value == "true") ||
            (key == "X-GNOME-Autostart-enabled" && value == "false")) {
            problem = key + "=" + value;
            return Existing::switchedOff;
        }
        if (inGroup && key == "Exec") execValue = value;
    }
    return entry && execValue == exec ? Existing::ours : Existing::other;
}

/// The command of the entry. GLib and systemd check that the program named by Exec exists
/// before they expand field codes, so they would look for a program path with a `%` under its
/// doubled name and skip the entry; systemd's generator also unescapes an argument twice and
/// skips one with a backslash. Such a path goes into a shell command instead, quoted for the
/// shell without a backslash (a quote closes, a single quote goes in double quotes, and a
/// backslash is matched by a `?` outside the quotes) and without a `$` (which systemd's reader
/// does not take escaped).
std::vector<std::string> sessionStartCommand(const std::string& program) {
    if (program.find_first_of("%\\") == std::string::npos) return {program, "session-start"};
    std::string quoted = "'";
    for (char c : program) {
        if (c == '\'') {
            quoted += "'\"'\"'";
        } else if (c == '\\') {
            quoted += "'?'";
        } else {
            quoted += c;
        }
    }
    return {"/bin/sh", "-c", "exec " + quoted + "' session-start"};
}

}  // namespace

std::optional<std::string> desktopExec(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& argument : argv) {
        if (!representable(argument)) return std::nullopt;
        if (!line.empty()) line += ' ';
        line += execArgument(argument);
    }
    return escapedString(line);
}

std::optional<std::string> autostartEntry(const std::string& program) {
    const auto exec = desktopExec(sessionStartCommand(program));
    if (!exec) return std::nullopt;
    return std::string(kGroup) +
           "\nType=Application\nName=Tessaway Server\n"
           "Comment=Starts the agents in ~/Library/LaunchAgents when you log in\n"
           "Exec=" +
           *exec + "\nTryExec=" + escapedString(program) + "\nNoDisplay=true\n";
}

std::string autostartPath() {
    return xdgFolder("XDG_CONFIG_HOME", ".config") + "/autostart/tessaway-launchd.desktop";
}

namespace {

/// Writes the entry unless ours is in place already; one switched off is left alone unless
/// `switchOn`.
std::optional<std::string> placeEntry(const std::string& program, bool switchOn) {
    if (program.empty()) return "cannot find the path of this program";
    const auto entry = autostartEntry(program);
    if (!entry) return "its path cannot be written in a desktop entry: " + program;
    const std::string path = autostartPath();
    const auto exec = desktopExec(sessionStartCommand(program));
    std::string problem;
    switch (examine(path, *exec, problem)) {
        case Existing::ours:
            return std::nullopt;
        case Existing::switchedOff:
            if (!switchOn) return std::nullopt;
            break;
        case Existing::unknown:
            return problem;
        case Existing::missing:
        case Existing::other:
            break;
    }
    const std::string folder = parentFolder(path);
    if (!createFolders(folder, 0700)) {
        return "cannot create " + folder + ": " + std::strerror(errno);
    }
    std::string error;
    if (!platform::writeFileAtomically(path, *entry, error)) {
        return "cannot write " + path + ": " + error;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> registerSessionStart(const std::string& program) {
    return placeEntry(program, false);
}

std::optional<std::string> switchSessionStartOn(const std::string& program) {
    return placeEntry(program, true);
}

std::optional<std::string> sessionStartSwitchedOff() {
    std::string problem;
    if (examine(autostartPath(), {}, problem) != Existing::switchedOff) return std::nullopt;
    return problem;
}

}  // namespace tessaway::launchd
