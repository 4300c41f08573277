#include "launchctl/systemd/user_manager.h"

#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>

namespace tessaway::launchd {
namespace {

constexpr const char* kService = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
// A reload on a busy machine may take long; nothing waits longer than this for an answer.
constexpr uint64_t kCallTimeoutMicroseconds = 30'000'000;

/// An sd_bus_error that frees itself.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }
    std::string text(int status) const {
        if (error.message != nullptr) return error.message;
        return std::strerror(status < 0 ? -status : status);
    }
};

/// An sd_bus_message reference that is dropped with it.
struct Message {
    sd_bus_message* message = nullptr;
    Message() = default;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    ~Message() { sd_bus_message_unref(message); }
};

/// A D-Bus address value: bytes other than the few plain ones as %XX.
std::string addressEscaped(std::string_view text) {
    std::string out;
    constexpr std::string_view kHex = "0123456789abcdef";
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || std::strchr("-_/.\\*", c) != nullptr;
        if (plain && c != '\0') {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

std::string unitPathOf(const std::string& name) {
    char* path = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/systemd1/unit", name.c_str(), &path) < 0) return {};
    std::string result(path);
    std::free(path);
    return result;
}

/// Calls `read` for each property of `interface` on `path`; the callback reads the value of the
/// names it knows and returns true, or returns false to have it skipped.
bool readAll(sd_bus* bus, const std::string& path, const char* interface,
             const std::function<bool(std::string_view, sd_bus_message*)>& read) {
    BusError error;
    Message reply;
    if (sd_bus_call_method(bus, kService, path.c_str(), kProperties, "GetAll", &error.error,
                           &reply.message, "s", interface) < 0) {
        return false;
    }
    sd_bus_message* m = reply.message;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read(m, "s", &name) < 0) return false;
        if (!read(name, m) && sd_bus_message_skip(m, "v") < 0) return false;
        if (sd_bus_message_exit_container(m) < 0) return false;
    }
    return sd_bus_message_exit_container(m) >= 0;
}

bool readString(sd_bus_message* m, std::string& out) {
    const char* value = nullptr;
    if (sd_bus_message_read(m, "v", "s", &value) < 0) return false;
    out = value != nullptr ? value : "";
    return true;
}

bool readStrings(sd_bus_message* m, std::vector<std::string>& out) {
    if (sd_bus_message_enter_container(m, 'v', "as") < 0) return false;
    char** values = nullptr;
    const bool read = sd_bus_message_read_strv(m, &values) >= 0;
    for (char** value = values; value != nullptr && *value != nullptr; ++value) {
        out.emplace_back(*value);
        std::free(*value);
    }
    std::free(static_cast<void*>(values));
    return read && sd_bus_message_exit_container(m) >= 0;
}

/// The first command of ExecStart: its program and arguments.
bool readExecStart(sd_bus_message* m, UnitProperties& unit) {
    if (sd_bus_message_enter_container(m, 'v', "a(sasbttttuii)") < 0) return false;
    if (sd_bus_message_enter_container(m, 'a', "(sasbttttuii)") < 0) return false;
    bool first = true;
    while (sd_bus_message_enter_container(m, 'r', "sasbttttuii") > 0) {
        const char* path = nullptr;
        char** argv = nullptr;
        if (sd_bus_message_read(m, "s", &path) < 0 || sd_bus_message_read_strv(m, &argv) < 0 ||
            sd_bus_message_skip(m, "bttttuii") < 0) {
            return false;
        }
        for (char** arg = argv; arg != nullptr && *arg != nullptr; ++arg) {
            if (first) unit.execArguments.emplace_back(*arg);
            std::free(*arg);
        }
        std::free(static_cast<void*>(argv));
        if (first) unit.execPath = path != nullptr ? path : "";
        first = false;
        if (sd_bus_message_exit_container(m) < 0) return false;
    }
    return sd_bus_message_exit_container(m) >= 0 && sd_bus_message_exit_container(m) >= 0;
}

template <typename T>
bool readTrivial(sd_bus_message* m, const char* type, T& out) {
    return sd_bus_message_read(m, "v", type, &out) >= 0;
}

bool readUnitProperty(std::string_view name, sd_bus_message* m, UnitProperties& unit) {
    if (name == "LoadState") return readString(m, unit.loadState);
    if (name == "ActiveState") return readString(m, unit.activeState);
    if (name == "SubState") return readString(m, unit.subState);
    if (name == "SourcePath") return readString(m, unit.sourcePath);
    if (name == "Job") {
        const char* path = nullptr;
        return sd_bus_message_read(m, "v", "(uo)", &unit.job, &path) >= 0;
    }
    return false;
}

bool readServiceProperty(std::string_view name, sd_bus_message* m, UnitProperties& unit) {
    if (name == "MainPID") return readTrivial(m, "u", unit.mainPid);
    if (name == "ExecMainCode") return readTrivial(m, "i", unit.execMainCode);
    if (name == "ExecMainStatus") return readTrivial(m, "i", unit.execMainStatus);
    if (name == "ExecMainStartTimestampMonotonic") return readTrivial(m, "t", unit.startedAt);
    if (name == "ExecMainExitTimestampMonotonic") return readTrivial(m, "t", unit.exitedAt);
    if (name == "NRestarts") return readTrivial(m, "u", unit.restarts);
    if (name == "TimeoutStopUSec") return readTrivial(m, "t", unit.timeoutStopMicroseconds);
    if (name == "RestartUSec") return readTrivial(m, "t", unit.restartMicroseconds);
    if (name == "WorkingDirectory") return readString(m, unit.workingDirectory);
    if (name == "Restart") return readString(m, unit.restart);
    if (name == "Environment") return readStrings(m, unit.environment);
    if (name == "ExecStart") return readExecStart(m, unit);
    return false;
}

/// Whether the bus has the manager on it, without starting anything to answer.
bool managerOnBus(sd_bus* bus) {
    BusError error;
    Message reply;
    int owned = 0;
    return sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "NameHasOwner", &error.error, &reply.message,
                              "s", kService) >= 0 &&
           sd_bus_message_read(reply.message, "b", &owned) >= 0 && owned != 0;
}

}  // namespace

void UserManager::Closer::operator()(sd_bus* bus) const {
    sd_bus_flush_close_unref(bus);
}

UserManager::UserManager(sd_bus* bus) : bus_(bus) {
    sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds);
}

UserManager::~UserManager() = default;

std::optional<UserManager> UserManager::connect() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        const std::string socket = std::string(runtime) + "/systemd/private";
        struct stat st {};
        sd_bus* bus = nullptr;
        if (stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && sd_bus_new(&bus) >= 0) {
            UserManager manager(bus);
            const std::string address = "unix:path=" + addressEscaped(socket);
            if (sd_bus_set_address(bus, address.c_str()) >= 0 && sd_bus_start(bus) >= 0) {
                return manager;
            }
        }
    }
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return std::nullopt;
    UserManager manager(bus);
    if (!managerOnBus(bus)) return std::nullopt;
    return manager;
}

std::optional<UnitProperties> UserManager::unit(const std::string& name) {
    const std::string path = unitPathOf(name);
    if (path.empty()) return std::nullopt;
    UnitProperties unit;
    if (!readAll(bus_.get(), path, "org.freedesktop.systemd1.Unit",
                 [&](std::string_view property, sd_bus_message* m) {
                     return readUnitProperty(property, m, unit);
                 })) {
        return std::nullopt;
    }
    // A unit without a file has no properties of a service to tell.
    readAll(bus_.get(), path, "org.freedesktop.systemd1.Service",
            [&](std::string_view property, sd_bus_message* m) {
                return readServiceProperty(property, m, unit);
            });
    return unit;
}

std::optional<std::string> UserManager::loadStateInMemory(const std::string& name) {
    BusError error;
    Message reply;
    if (sd_bus_call_method(bus_.get(), kService, kManagerPath, kManager, "GetUnit", &error.error,
                           &reply.message, "s", name.c_str()) < 0) {
        return std::nullopt;
    }
    std::string state;
    char* value = nullptr;
    if (sd_bus_get_property_string(bus_.get(), kService, unitPathOf(name).c_str(),
                                   "org.freedesktop.systemd1.Unit", "LoadState", &error.error,
                                   &value) < 0) {
        return std::nullopt;
    }
    state = value;
    std::free(value);
    return state;
}

bool UserManager::job(const char* method, const std::string& name) {
    BusError error;
    const int status = sd_bus_call_method(bus_.get(), kService, kManagerPath, kManager, method,
                                          &error.error, nullptr, "ss", name.c_str(), "replace");
    if (status < 0) error_ = error.text(status);
    return status >= 0;
}

bool UserManager::start(const std::string& name) {
    return job("StartUnit", name);
}

bool UserManager::restart(const std::string& name) {
    return job("RestartUnit", name);
}

bool UserManager::stop(const std::string& name) {
    return job("StopUnit", name);
}

void UserManager::resetFailed(const std::string& name) {
    BusError error;
    sd_bus_call_method(bus_.get(), kService, kManagerPath, kManager, "ResetFailedUnit",
                       &error.error, nullptr, "s", name.c_str());
}

bool UserManager::reload() {
    BusError error;
    const int status = sd_bus_call_method(bus_.get(), kService, kManagerPath, kManager, "Reload",
                                          &error.error, nullptr, "");
    if (status < 0) error_ = error.text(status);
    return status >= 0;
}

bool UserManager::setEnvironment(const std::vector<std::string>& assignments) {
    Message call;
    if (sd_bus_message_new_method_call(bus_.get(), &call.message, kService, kManagerPath, kManager,
                                       "SetEnvironment") < 0) {
        return false;
    }
    std::vector<char*> strings;
    strings.reserve(assignments.size() + 1);
    for (const auto& assignment : assignments)
        strings.push_back(const_cast<char*>(assignment.c_str()));
    strings.push_back(nullptr);
    BusError error;
    return sd_bus_message_append_strv(call.message, strings.data()) >= 0 &&
           sd_bus_call(bus_.get(), call.message, 0, &error.error, nullptr) >= 0;
}

std::vector<std::string> UserManager::unitPath() {
    std::vector<std::string> folders;
    BusError error;
    Message reply;
    if (sd_bus_get_property(bus_.get(), kService, kManagerPath, kManager, "UnitPath", &error.error,
                            &reply.message, "as") < 0) {
        return folders;
    }
    char** values = nullptr;
    if (sd_bus_message_read_strv(reply.message, &values) < 0) return folders;
    for (char** value = values; value != nullptr && *value != nullptr; ++value) {
        folders.emplace_back(*value);
        std::free(*value);
    }
    std::free(static_cast<void*>(values));
    return folders;
}

}  // namespace tessaway::launchd
