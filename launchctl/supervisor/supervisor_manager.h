#pragma once

#include <memory>
#include <string>

#include "launchctl/service_manager.h"

namespace tessaway::launchd {

/// The supervisors of our own, whose records live in the runtime folder `folder`.
std::unique_ptr<ServiceManager> supervisorManager(std::string folder, unsigned long uid);

}  // namespace tessaway::launchd
