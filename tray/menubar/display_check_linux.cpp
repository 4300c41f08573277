#include <dlfcn.h>

#include <cstdlib>
#include <string_view>

#include "menubar/display_check.h"

namespace tessaway {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

/// Connects to the X display named by DISPLAY and disconnects again. libxcb is looked up at
/// run time, the way the toolkit's own X plugin uses it; without it, nothing is known.
std::optional<bool> xDisplayOpens() {
    void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr) return std::nullopt;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    std::optional<bool> opens;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* connection = connect(nullptr, nullptr);
        opens = connection != nullptr && hasError(connection) == 0;
        if (connection != nullptr) disconnect(connection);
    }
    dlclose(xcb);
    return opens;
}

std::optional<std::string> xProblem() {
    const std::string display = environment("DISPLAY");
    if (display.empty()) return "no display: DISPLAY is not set";
    if (xDisplayOpens() == false) return "cannot open the display " + display;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> displayProblem() {
    std::string platform = environment("QT_QPA_PLATFORM");
    platform = platform.substr(0, platform.find_first_of(":;"));
    if (platform == "xcb") return xProblem();
    if (platform.rfind("wayland", 0) == 0) {
        if (environment("WAYLAND_DISPLAY").empty()) return "no display: WAYLAND_DISPLAY is not set";
        return std::nullopt;
    }
    if (!platform.empty()) return std::nullopt;
    // The toolkit's own choice: Wayland when a compositor is named, X otherwise.
    if (!environment("WAYLAND_DISPLAY").empty()) return std::nullopt;
    if (environment("DISPLAY").empty()) {
        return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
    }
    return xProblem();
}

}  // namespace tessaway
