#include "platform/browser.h"

#include "platform/process.h"

namespace tessaway::platform {

bool openAddress(const std::string& address) {
    return spawnDetached("xdg-open", {address});
}

}  // namespace tessaway::platform
