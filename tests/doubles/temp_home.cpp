#include "tests/doubles/temp_home.h"

#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "core/identity.h"
#include "core/service/launchctl_runner.h"
#include "platform/bundle.h"
#include "platform/clock.h"

namespace tessaway::testing {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tessaway-test-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string serverDefinitionXml(const std::string& portElement) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>Label</key>\n\t<string>com.quorvel.tessaway-server</string>\n"
           "\t<key>EnvironmentVariables</key>\n\t<dict>\n\t\t<key>TESSAWAY_PORT</key>\n\t\t" +
           portElement + "\n\t</dict>\n</dict>\n</plist>\n";
}

void installServerDefinition(int64_t port) {
    writeFile(serverPlist, serverDefinitionXml("<string>" + std::to_string(port) + "</string>"));
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        had_ = true;
        old_ = old;
    }
    setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_) {
        setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

HomeTest::HomeTest()
    : env_("HOME", home_.path().string()),
      runtimeEnv_("XDG_RUNTIME_DIR", runtime_.path().string()) {
    fillIdentity();
}

HomeTest::~HomeTest() {
    setLaunchctlRunnerForTesting({});
    platform::setClockForTesting({}, {});
    platform::setMainBundleForTesting(std::nullopt);
}

namespace {

int listenOnce(int64_t port, int family) {
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a4{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    sockaddr_in6 a6{AF_INET6, htons(static_cast<uint16_t>(port)), 0, in6addr_loopback, 0};
    if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    const bool bound = family == AF_INET6
                           ? bind(fd, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0
                           : bind(fd, reinterpret_cast<sockaddr*>(&a4), sizeof a4) == 0;
    if (fd >= 0 && bound && listen(fd, 1) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

}  // namespace

Listener::Listener(int64_t port, int family, double waitSeconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(waitSeconds);
    while ((fd_ = listenOnce(port, family)) < 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

Listener::~Listener() {
    if (fd_ >= 0) close(fd_);
}

}  // namespace tessaway::testing
