#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "launchctl/systemd/unit_status.h"

struct sd_bus;

// systemd's user manager over its D-Bus interface (org.freedesktop.systemd1), through sd-bus.
// Every call is bounded by the connection's time-out; none starts a process.

namespace tessaway::launchd {

class UserManager {
public:
    /// The user's manager when one answers: on its private socket in $XDG_RUNTIME_DIR/systemd,
    /// else on the session bus. Empty when neither has one.
    static std::optional<UserManager> connect();

    UserManager(UserManager&&) noexcept = default;
    UserManager& operator=(UserManager&&) noexcept = default;
    ~UserManager();

    /// The unit's properties (loading its file when the manager has not yet); empty when the
    /// manager does not answer.
    std::optional<UnitProperties> unit(const std::string& name);

    /// The load state of a unit the manager holds in memory; empty when it holds none.
    std::optional<std::string> loadStateInMemory(const std::string& name);

    /// Starts, restarts or stops the unit with a job that replaces pending ones. False when the
    /// manager refused the job.
    bool start(const std::string& name);
    bool restart(const std::string& name);
    bool stop(const std::string& name);
    /// Forgets that the unit failed, so that it reads as inactive.
    void resetFailed(const std::string& name);

    /// Reads all unit files again. Manager-wide: only after a unit file changed.
    bool reload();

    /// Sets `assignments` ("NAME=value") in the environment the manager gives its services.
    bool setEnvironment(const std::vector<std::string>& assignments);

    /// The folders the manager reads units from.
    std::vector<std::string> unitPath();

    /// The last error the manager answered with, for a message.
    const std::string& lastError() const { return error_; }

private:
    struct Closer {
        void operator()(sd_bus* bus) const;
    };
    explicit UserManager(sd_bus* bus);

    bool job(const char* method, const std::string& name);

    std::unique_ptr<sd_bus, Closer> bus_;
    std::string error_;
};

}  // namespace tessaway::launchd
