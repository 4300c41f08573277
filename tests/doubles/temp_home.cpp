#include "tests/doubles/temp_home.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
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

}  // namespace tessaway::testing
