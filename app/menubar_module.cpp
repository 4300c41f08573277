#include "app/menubar_module.h"

#include <dlfcn.h>

#include <string>

#include "platform/bundle.h"
#include "platform/system.h"

namespace tessaway {

int runMenuBarApplication(int argc, char** argv) {
    const std::string path = platform::mainBundle().plugins + "/tessaway-menubar.so";
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = dlerror();
        platform::writeStandardError("tessaway-tray: cannot load the menu bar: " +
                                     std::string(why != nullptr ? why : path) + "\n");
        return 0;
    }
    using Entry = int (*)(int, char**);
    auto entry = reinterpret_cast<Entry>(dlsym(module, kMenuBarEntry));
    if (entry == nullptr) {
        platform::writeStandardError("tessaway-tray: the menu bar module " + path +
                                     " has no entry point\n");
        return 0;
    }
    // The module stays loaded until the process ends.
    return entry(argc, argv);
}

}  // namespace tessaway
