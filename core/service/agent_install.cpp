#include "core/service/agent_install.h"

#include <filesystem>

#include "core/identity.h"
#include "core/service/agent_control.h"
#include "core/service/launchctl_runner.h"
#include "core/service/port_config.h"
#include "core/text.h"
#include "platform/atomic_file.h"
#include "platform/bundle.h"
#include "platform/control_lock.h"
#include "platform/file_read.h"
#include "platform/system.h"

namespace tessaway {
namespace {

// Templates are small text files; anything larger is not one of ours.
constexpr size_t kMaxTemplateBytes = 1 << 20;

std::string xmlEscaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void replaceAll(std::string& text, const std::string& placeholder, const std::string& value) {
    for (size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
}

/// The template of a label, when it exists and is UTF-8 text.
std::optional<std::string> readTemplate(const std::string& label) {
    const auto path = platform::pathForResource(label + ".plist", "in");
    std::string text;
    if (!path || !platform::readFile(*path, text, kMaxTemplateBytes)) return std::nullopt;
    if (repairUtf8(text) != text) return std::nullopt;
    return text;
}

}  // namespace

std::string renderTemplate(std::string text, const std::string& app, const std::string& home,
                           int64_t port) {
    replaceAll(text, "@APP@", xmlEscaped(app));
    replaceAll(text, "@HOME@", xmlEscaped(home));
    replaceAll(text, "@PORT@", std::to_string(port));
    return text;
}

std::optional<InstallResult> installAgents() {
    const platform::ControlLock lock;
    if (!lock.held()) return std::nullopt;
    const std::string home = platform::homeDirectory();
    std::error_code ec;
    const bool existed = std::filesystem::exists(serverPlist, ec);
    InstallResult result;
    result.fresh = !existed;
    result.port = serverPort();
    if (!existed || result.port < 1 || result.port > 65535) {
        stopServer();
        result.port = freePort();
    }
    std::filesystem::create_directories(agentsDir, ec);
    std::filesystem::create_directories(logFolder(), ec);
    const bool atLogin = startAtLogin();

    for (const std::string& label : {serverLabel, trayLabel}) {
        const auto text = readTemplate(label);
        if (!text) {
            platform::writeStandardError("missing template for " + label + "\n");
            return std::nullopt;
        }
        const std::string rendered =
            renderTemplate(*text, platform::mainBundle().path, home, result.port);
        const std::string destination = agentPlist(label).string();
        if (loaded(label)) launchctl({"bootout", serviceTarget(label)});
        std::string error;
        if (!platform::writeFileAtomically(destination, rendered, error)) {
            platform::writeStandardError("cannot write " + destination + ": " + error + "\n");
            return std::nullopt;
        }
        const LaunchctlResult bootstrap = bootstrapAgent(label, destination, atLogin);
        if (bootstrap.status != 0 && !loaded(label)) {
            platform::writeStandardError("bootstrap " + label + ": " + bootstrap.output);
        }
    }
    return result;
}

}  // namespace tessaway
