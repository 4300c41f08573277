#pragma once

#include <memory>
#include <string>

#include "launchctl/service_manager.h"
#include "launchctl/systemd/user_manager.h"

namespace tessaway::launchd {

/// systemd's user manager, reached through `manager`. `folder` is the runtime folder, where
/// the services loaded without a start are marked.
std::unique_ptr<ServiceManager> systemdManager(UserManager manager, std::string folder,
                                               unsigned long uid);

}  // namespace tessaway::launchd
