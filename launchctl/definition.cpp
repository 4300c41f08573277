#include "launchctl/definition.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/property_list.h"
#include "platform/unique_fd.h"

namespace tessaway::launchd {
namespace {

using platform::booleanValue;
using platform::PropertyList;
using platform::stringValue;
using Kind = PropertyList::Kind;

// Definitions are a few kilobytes; anything far larger is not one.
constexpr size_t kMaxDefinitionBytes = 1 << 20;
// Longer labels would not fit in a file name together with the record's suffixes.
constexpr size_t kMaxLabelBytes = 200;
// Keeps time arithmetic far from overflow; no real interval comes near a year.
constexpr int64_t kMaxSeconds = int64_t{365} * 24 * 3600;

const PropertyList* item(const PropertyList* dict, std::string_view key) {
    return platform::dictionaryItem(dict, key);
}

std::optional<int64_t> integerValue(const PropertyList* node) {
    if (node == nullptr) return std::nullopt;
    if (node->kind == Kind::integer) return node->integer;
    if (node->kind == Kind::real) {
        const double value = node->real;
        if (value != value || value < -kMaxSeconds || value > kMaxSeconds) return std::nullopt;
        return static_cast<int64_t>(value);
    }
    return std::nullopt;
}

std::optional<int64_t> secondsValue(const PropertyList* node) {
    const auto value = integerValue(node);
    if (!value || *value < 0) return std::nullopt;
    return *value > kMaxSeconds ? kMaxSeconds : *value;
}

void readKeepAlive(const PropertyList* node, KeepAlive& keepAlive) {
    if (node == nullptr) return;
    if (const auto flag = booleanValue(node)) {
        keepAlive.always = *flag;
        return;
    }
    if (node->kind != Kind::dictionary) return;
    keepAlive.conditional = true;
    keepAlive.successfulExit = booleanValue(item(node, "SuccessfulExit"));
    keepAlive.crashed = booleanValue(item(node, "Crashed"));
}

void readEnvironment(const PropertyList* node, ServiceDefinition& def) {
    if (node == nullptr || node->kind != Kind::dictionary) return;
    for (const auto& [key, value] : node->dictionary) {
        if (auto text = stringValue(&value);
            text && !key.empty() && key.find('=') == std::string::npos) {
            def.environmentVariables.emplace_back(key, std::move(*text));
        }
    }
}

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path.front() == '/') return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    std::string joined(cwd);
    if (joined.back() != '/') joined += '/';
    return joined + path;
}

/// The label with control characters shown as "?", for a message about it.
std::string printableLabel(std::string_view label) {
    std::string text;
    for (size_t i = 0; i < label.size(); ++i) {
        const size_t control = controlLength(label, i);
        text += control == 0 ? label[i] : '?';
        if (control == 2) ++i;
    }
    return text;
}

DefinitionResult failure(std::string reason) {
    return {std::nullopt, std::move(reason)};
}

}  // namespace

size_t controlLength(std::string_view text, size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return 1;
    if (c == 0xC2 && i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if (next >= 0x80 && next <= 0x9F) return 2;
    }
    return 0;
}

bool validUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 1;
        char32_t point = lead;
        if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07;
        } else if (lead >= 0xE0) {
            length = lead <= 0xEF ? 3 : 0;
            point = lead & 0x0F;
        } else if (lead >= 0xC2) {
            length = 2;
            point = lead & 0x1F;
        } else if (lead >= 0x80) {
            length = 0;
        }
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
        if (overlong || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) return false;
        i += length;
    }
    return true;
}

bool crashSignal(int signal) {
    switch (signal) {
        case SIGILL:
        case SIGTRAP:
        case SIGABRT:
        case SIGFPE:
        case SIGBUS:
        case SIGSEGV:
        case SIGSYS:
            return true;
        default:
            return false;
    }
}

bool shouldRestart(const KeepAlive& keepAlive, const Termination& end) {
    if (keepAlive.always) return true;
    const bool succeeded = !end.signaled && end.code == 0;
    const bool crashed = end.signaled && crashSignal(end.code);
    if (keepAlive.successfulExit && *keepAlive.successfulExit == succeeded) return true;
    if (keepAlive.crashed && *keepAlive.crashed == crashed) return true;
    return false;
}

bool usableLabel(std::string_view label) {
    if (label.empty() || label.size() > kMaxLabelBytes) return false;
    for (size_t i = 0; i < label.size(); ++i) {
        // A slash would leave the records' folder; control characters and double quotes could
        // forge lines of the reports that quote labels.
        if (label[i] == '"' || label[i] == '/' || controlLength(label, i) != 0) return false;
    }
    return true;
}

DefinitionResult parseDefinition(std::string_view data, const std::string& path) {
    const auto root = platform::parsePropertyList(data);
    if (!root || root->kind != Kind::dictionary) return failure("Invalid property list");
    const PropertyList* dict = &*root;
    ServiceDefinition def;
    def.path = path;

    const auto label = stringValue(item(dict, "Label"));
    if (!label || label->empty()) return failure("Missing required key: Label");
    if (!usableLabel(*label)) return failure("Invalid Label: " + printableLabel(*label));
    def.label = *label;

    if (const PropertyList* node = item(dict, "Program")) {
        const auto program = stringValue(node);
        if (!program) return failure("Invalid Program");
        def.program = *program;
    }
    if (const PropertyList* node = item(dict, "ProgramArguments")) {
        if (node->kind != Kind::array) return failure("Invalid ProgramArguments");
        for (const PropertyList& element : node->array) {
            const auto argument = stringValue(&element);
            if (!argument) return failure("Invalid ProgramArguments");
            def.arguments.push_back(*argument);
        }
    }
    if (def.arguments.empty() && !def.program.empty()) def.arguments.push_back(def.program);
    if (def.arguments.empty() || def.executable().empty()) {
        return failure("Missing required key: Program or ProgramArguments");
    }

    readEnvironment(item(dict, "EnvironmentVariables"), def);
    def.workingDirectory = stringValue(item(dict, "WorkingDirectory")).value_or("");
    def.standardOutPath = stringValue(item(dict, "StandardOutPath")).value_or("");
    def.standardErrorPath = stringValue(item(dict, "StandardErrorPath")).value_or("");
    def.runAtLoad = booleanValue(item(dict, "RunAtLoad")).value_or(false);
    readKeepAlive(item(dict, "KeepAlive"), def.keepAlive);
    def.throttleInterval = secondsValue(item(dict, "ThrottleInterval")).value_or(10);
    def.exitTimeOut = secondsValue(item(dict, "ExitTimeOut")).value_or(def.exitTimeOut);
    def.processType = stringValue(item(dict, "ProcessType")).value_or("");
    return {std::move(def), {}};
}

DefinitionResult readDefinition(const std::string& path) {
    const platform::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return failure(std::strerror(errno));
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return failure(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return failure(std::strerror(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    // A definition that another user owns or may change would run their program as this user.
    // The checks hold for the file itself, also when the path is a link to it.
    if (st.st_uid != geteuid()) return failure("Dubious ownership on file (skipping)");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return failure("Dubious permissions on file (skipping)");
    }
    if (static_cast<size_t>(st.st_size) > kMaxDefinitionBytes) return failure(std::strerror(EFBIG));
    std::string data;
    char buffer[16384];
    for (;;) {
        const ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failure(std::strerror(errno));
        if (n == 0) break;
        data.append(buffer, static_cast<size_t>(n));
        if (data.size() > kMaxDefinitionBytes) return failure(std::strerror(EFBIG));
    }
    return parseDefinition(data, absolutePath(path));
}

}  // namespace tessaway::launchd
