#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tessaway::testing {

/// A private temporary folder, removed with everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

/// Names each row of a parameterised test after the `name` field of its case.
struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

/// Writes `content` to `path`, creating parent folders.
void writeFile(const std::filesystem::path& path, const std::string& content);
std::string readFile(const std::filesystem::path& path);

/// A server agent definition whose EnvironmentVariables/TESSAWAY_PORT holds `portElement`
/// (a property-list element such as "<string>8123</string>").
std::string serverDefinitionXml(const std::string& portElement);

/// Installs a server definition with `port` as text at serverPlist.
void installServerDefinition(int64_t port);

/// Sets an environment variable for the life of the object, then restores the old value.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

/// A socket listening on `port` of 127.0.0.1 (AF_INET) or of [::1] alone (AF_INET6), closed
/// with the object. Connections that other suites left behind on the port do not keep it out;
/// another listener does: while one holds the port, it tries again until `waitSeconds` have
/// passed, so that a suite that has just ended has time to let the port go.
class Listener {
public:
    explicit Listener(int64_t port, int family = AF_INET, double waitSeconds = 0.0);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

/// How long a test waits for a port of the default range that another suite still holds.
inline constexpr double kPortWaitSeconds = 60.0;

/// Base fixture: a temporary HOME and runtime folder (where the control lock lives) with the
/// identity values filled from them; resets every test hook of the core when the test ends.
class HomeTest : public ::testing::Test {
protected:
    HomeTest();
    ~HomeTest() override;
    const std::filesystem::path& home() const { return home_.path(); }
    const std::filesystem::path& runtime() const { return runtime_.path(); }

private:
    TempDir home_;
    TempDir runtime_;
    ScopedEnv env_;
    ScopedEnv runtimeEnv_;
};

}  // namespace tessaway::testing
