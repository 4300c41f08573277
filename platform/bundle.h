#pragma once

#include <optional>
#include <string>

namespace tessaway::platform {

/// The application bundle of the running executable.
struct Bundle {
    std::string path;                       ///< X.app, or the executable's folder
    std::string resources;                  ///< X.app/Contents/Resources, or the same folder
    std::string plugins;                    ///< X.app/Contents/PlugIns, or the same folder
    std::optional<std::string> identifier;  ///< CFBundleIdentifier of Contents/Info.plist
};

/// The bundle that holds the running executable, worked out once.
const Bundle& mainBundle();

/// Makes mainBundle() answer `bundle` (tests only); std::nullopt restores the real one.
void setMainBundleForTesting(std::optional<Bundle> bundle);

/// The bundle layout around an executable at `executable` (a real path).
Bundle bundleForExecutable(const std::string& executable);

/// The path of resource `name`.`type` in the main bundle, when such a file exists.
std::optional<std::string> pathForResource(const std::string& name, const std::string& type);

}  // namespace tessaway::platform
