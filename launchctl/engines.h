#pragma once

#include <memory>
#include <optional>
#include <string>

#include "launchctl/service_manager.h"

namespace tessaway::launchd {

/// The engines a command works with: `primary` runs what the command loads; `other`, when it
/// answers, is asked too, so that a label loaded under either counts as loaded and is never
/// started a second time, and a bootout reaches it wherever it runs.
struct Engines {
    std::unique_ptr<ServiceManager> primary;
    std::unique_ptr<ServiceManager> other;
    /// The primary engine is systemd's user manager.
    bool userManager = false;
};

/// systemd's user manager where one answers, else the supervisors; TESSAWAY_SERVICE_MANAGER
/// set to "systemd" or "standin" forces one. `folder` is the runtime folder. Empty, after a
/// line on standard error, when the forced one cannot be had.
std::optional<Engines> chooseEngines(const std::string& folder, unsigned long uid);

/// Whether commands would run services under systemd's user manager, by the same choice as
/// `chooseEngines`, without a word on standard error.
bool userManagerChosen();

}  // namespace tessaway::launchd
