#include "core/identity.h"

#include <unistd.h>

#include "platform/system.h"

namespace tessaway {

uint32_t uid = 0;
std::string domain;
std::filesystem::path agentsDir;
std::filesystem::path serverPlist;

bool launchedByAgent = false;
std::string bundleID;
std::vector<pid_t> others;

void fillIdentity() {
    uid = getuid();
    domain = "gui/" + std::to_string(uid);
    agentsDir = std::filesystem::path(platform::homeDirectory()) / "Library" / "LaunchAgents";
    serverPlist = agentPlist(serverLabel);
}

std::string serviceTarget(const std::string& label) {
    return domain + "/" + label;
}

std::filesystem::path agentPlist(const std::string& label) {
    return agentsDir / (label + ".plist");
}

std::string logFolder() {
    return platform::homeDirectory() + "/Library/Logs/Tessaway";
}

std::string probeBase(int64_t port) {
    return "http://127.0.0.1:" + std::to_string(port);
}

std::string browserBase(int64_t port) {
    return "http://localhost:" + std::to_string(port);
}

}  // namespace tessaway
