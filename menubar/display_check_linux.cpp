#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "menubar/display_check.h"

namespace tessaway {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

/// The few libxcb calls asked of the display, looked up at run time, the way the toolkit's own
/// X plugin uses the library. Loaded once and kept; absent without libxcb.
struct Xcb {
    struct InternAtomCookie {
        unsigned sequence;
    };
    struct InternAtomReply {
        uint8_t responseType, pad0;
        uint16_t sequence;
        uint32_t length;
        uint32_t atom;
    };
    struct SelectionOwnerCookie {
        unsigned sequence;
    };
    struct SelectionOwnerReply {
        uint8_t responseType, pad0;
        uint16_t sequence;
        uint32_t length;
        uint32_t owner;
    };
    struct ScreenIterator {
        const uint32_t* data;  ///< a screen's description, which starts with its root window
        int rem;
        int index;
    };
    struct TranslateCookie {
        unsigned sequence;
    };
    struct TranslateReply {
        uint8_t responseType, sameScreen;
        uint16_t sequence;
        uint32_t length;
        uint32_t child;
        int16_t x, y;
    };
    struct GeometryCookie {
        unsigned sequence;
    };
    struct GeometryReply {
        uint8_t responseType, depth;
        uint16_t sequence;
        uint32_t length;
        uint32_t root;
        int16_t x, y;
        uint16_t width, height, borderWidth;
    };

    void* (*connect)(const char*, int*);
    int (*hasError)(void*);
    void (*disconnect)(void*);
    InternAtomCookie (*internAtom)(void*, uint8_t, uint16_t, const char*);
    InternAtomReply* (*internAtomReply)(void*, InternAtomCookie, void**);
    SelectionOwnerCookie (*getSelectionOwner)(void*, uint32_t);
    SelectionOwnerReply* (*getSelectionOwnerReply)(void*, SelectionOwnerCookie, void**);
    const void* (*getSetup)(void*);
    ScreenIterator (*rootsIterator)(const void*);
    void (*nextScreen)(ScreenIterator*);
    TranslateCookie (*translateCoordinates)(void*, uint32_t, uint32_t, int16_t, int16_t);
    TranslateReply* (*translateCoordinatesReply)(void*, TranslateCookie, void**);
    GeometryCookie (*getGeometry)(void*, uint32_t);
    GeometryReply* (*getGeometryReply)(void*, GeometryCookie, void**);
};

const Xcb* xcb() {
    static const Xcb* const loaded = []() -> const Xcb* {
        void* library = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return nullptr;
        static Xcb functions;
        bool found = true;
        auto resolve = [&](auto& function, const char* name) {
            function =
                reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
            found = found && function != nullptr;
        };
        resolve(functions.connect, "xcb_connect");
        resolve(functions.hasError, "xcb_connection_has_error");
        resolve(functions.disconnect, "xcb_disconnect");
        resolve(functions.internAtom, "xcb_intern_atom");
        resolve(functions.internAtomReply, "xcb_intern_atom_reply");
        resolve(functions.getSelectionOwner, "xcb_get_selection_owner");
        resolve(functions.getSelectionOwnerReply, "xcb_get_selection_owner_reply");
        resolve(functions.getSetup, "xcb_get_setup");
        resolve(functions.rootsIterator, "xcb_setup_roots_iterator");
        resolve(functions.nextScreen, "xcb_screen_next");
        resolve(functions.translateCoordinates, "xcb_translate_coordinates");
        resolve(functions.translateCoordinatesReply, "xcb_translate_coordinates_reply");
        resolve(functions.getGeometry, "xcb_get_geometry");
        resolve(functions.getGeometryReply, "xcb_get_geometry_reply");
        return found ? &functions : nullptr;
    }();
    return loaded;
}

/// A connection to the X display named by DISPLAY, for the life of the object.
class XConnection {
public:
    explicit XConnection(const Xcb& x) : x_(x), connection_(x.connect(nullptr, &screen_)) {}
    ~XConnection() {
        if (connection_ != nullptr) x_.disconnect(connection_);
    }
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    bool opened() const { return connection_ != nullptr && x_.hasError(connection_) == 0; }
    int screen() const { return screen_; }
    void* get() const { return connection_; }

private:
    const Xcb& x_;
    int screen_ = 0;
    void* connection_;
};

/// The connection of the last check that opened the display.
std::unique_ptr<XConnection>& heldConnection() {
    static std::unique_ptr<XConnection> held;
    return held;
}

std::optional<std::string> xProblem() {
    const std::string display = environment("DISPLAY");
    if (display.empty()) return "no display: DISPLAY is not set";
    const Xcb* x = xcb();
    if (x == nullptr) return std::nullopt;
    auto connection = std::make_unique<XConnection>(*x);
    if (!connection->opened()) return "cannot open the display " + display;
    heldConnection() = std::move(connection);
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

void releaseDisplayCheck() {
    heldConnection().reset();
}

bool xSystemTrayPresent() {
    const Xcb* x = xcb();
    if (x == nullptr || environment("DISPLAY").empty()) return false;
    const XConnection connection(*x);
    if (!connection.opened()) return false;
    // The tray manager of a screen owns the selection named after the screen's number.
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(connection.screen());
    Xcb::InternAtomReply* atom = x->internAtomReply(
        connection.get(),
        x->internAtom(connection.get(), 0, static_cast<uint16_t>(name.size()), name.c_str()),
        nullptr);
    if (atom == nullptr) return false;
    const uint32_t selection = atom->atom;
    std::free(atom);
    Xcb::SelectionOwnerReply* owner = x->getSelectionOwnerReply(
        connection.get(), x->getSelectionOwner(connection.get(), selection), nullptr);
    if (owner == nullptr) return false;
    const bool owned = owner->owner != 0;
    std::free(owner);
    return owned;
}

std::optional<XWindowBox> xWindowAt(int x, int y) {
    const Xcb* xcbFunctions = xcb();
    if (xcbFunctions == nullptr || environment("DISPLAY").empty()) return std::nullopt;
    const Xcb& f = *xcbFunctions;
    const XConnection connection(f);
    if (!connection.opened()) return std::nullopt;
    void* c = connection.get();
    Xcb::ScreenIterator screen = f.rootsIterator(f.getSetup(c));
    for (int i = 0; i < connection.screen() && screen.rem > 0; ++i)
        f.nextScreen(&screen);
    if (screen.rem <= 0) return std::nullopt;
    const uint32_t root = *screen.data;
    // The root's child under the point is the top-level window that shows there.
    Xcb::TranslateReply* under = f.translateCoordinatesReply(
        c, f.translateCoordinates(c, root, root, static_cast<int16_t>(x), static_cast<int16_t>(y)),
        nullptr);
    if (under == nullptr) return std::nullopt;
    const uint32_t window = under->child;
    std::free(under);
    if (window == 0) return std::nullopt;
    Xcb::GeometryReply* box = f.getGeometryReply(c, f.getGeometry(c, window), nullptr);
    if (box == nullptr) return std::nullopt;
    const XWindowBox found{box->x, box->y, box->width + 2 * box->borderWidth,
                           box->height + 2 * box->borderWidth};
    std::free(box);
    return found;
}

}  // namespace tessaway
