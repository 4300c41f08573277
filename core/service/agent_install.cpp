#include "core/service/agent_install.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <utility>

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
    // One pass over the template: a value that holds a placeholder's text (a bundle in a folder
    // named "@HOME@") stays as it is.
    const std::pair<std::string_view, std::string> values[] = {
        {"@APP@", xmlEscaped(app)}, {"@HOME@", xmlEscaped(home)}, {"@PORT@", std::to_string(port)}};
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        const auto value = std::find_if(std::begin(values), std::end(values), [&](const auto& v) {
            return text.compare(at, v.first.size(), v.first) == 0;
        });
        if (value == std::end(values)) {
            out += text[at++];
        } else {
            out += value->second;
            at += value->first.size();
        }
    }
    return out;
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
        const auto free = freePort();
        result.port = free.value_or(defaultPort);
        if (!free) {
            platform::writeStandardError("no free port in " + std::to_string(defaultPort) + "-" +
                                         std::to_string(defaultPort + kPortSearchSpan) +
                                         "; using " + std::to_string(defaultPort) +
                                         ", which another program holds\n");
        }
    }
    // A folder that cannot be made shows up as a write that fails; its own error is the cause
    // then, not the missing folder.
    std::error_code folderError;
    std::filesystem::create_directories(agentsDir, folderError);
    std::filesystem::create_directories(logFolder(), ec);
    const bool atLogin = loginSetting().enabled;

    for (const std::string& label : {serverLabel, trayLabel}) {
        const auto text = readTemplate(label);
        if (!text) {
            platform::writeStandardError("missing template for " + label + "\n");
            return std::nullopt;
        }
        const std::string rendered =
            renderTemplate(*text, platform::mainBundle().path, home, result.port);
        const std::string destination = agentPlist(label).string();
        // The new definition is in place before the running agent is touched: when it cannot
        // be written, the agent keeps running from the old one.
        std::string error;
        if (!platform::writeFileAtomically(destination, rendered, error)) {
            if (folderError) {
                error = "cannot create " + agentsDir.string() + ": " + folderError.message() +
                        " (errno " + std::to_string(folderError.value()) + ")";
            }
            platform::writeStandardError("cannot write " + destination + ": " + error + "\n");
            return std::nullopt;
        }
        if (loaded(label)) launchctl({"bootout", serviceTarget(label)});
        const LaunchctlResult bootstrap = bootstrapAgent(label, destination, atLogin).bootstrap;
        if (bootstrap.status != 0 && !loaded(label)) {
            platform::writeStandardError("bootstrap " + label + ": " + bootstrap.output);
        }
    }
    return result;
}

}  // namespace tessaway
