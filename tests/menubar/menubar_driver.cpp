// Starts like tessaway-tray on its way to the menu-bar application (identity values, the
// single-instance decision), then loads the menu-bar module from its bundle and runs it.

#include <unistd.h>

#include <algorithm>
#include <string>

#include "identity.h"
#include "menubar_module.h"
#include "platform/bundle.h"
#include "platform/running_apps.h"

int main(int argc, char** argv) {
    using namespace tessaway;
    fillIdentity();
    launchedByAgent =
        std::any_of(argv, argv + argc, [](const char* a) { return std::string(a) == "--agent"; });
    me = getpid();
    bundleID = platform::mainBundle().identifier.value_or(serverLabel);
    others = platform::runningApplications(bundleID);
    others.erase(std::remove(others.begin(), others.end(), me), others.end());
    if (!others.empty()) return 0;
    return runMenuBarApplication(argc, argv);
}
