#include "platform/bundle.h"

#include <filesystem>

#include "platform/property_list.h"
#include "platform/system.h"

namespace tessaway::platform {

Bundle bundleForExecutable(const std::string& executable) {
    namespace fs = std::filesystem;
    const fs::path exe(executable);
    const fs::path macos = exe.parent_path();
    const fs::path contents = macos.parent_path();
    const fs::path app = contents.parent_path();
    Bundle bundle;
    if (macos.filename() == "MacOS" && contents.filename() == "Contents" &&
        app.extension() == ".app") {
        bundle.path = app.string();
        bundle.resources = (contents / "Resources").string();
        bundle.plugins = (contents / "PlugIns").string();
        const auto info = readPropertyList((contents / "Info.plist").string());
        if (info) bundle.identifier = stringValue(dictionaryItem(&*info, "CFBundleIdentifier"));
    } else {
        bundle.path = macos.string();
        bundle.resources = macos.string();
        bundle.plugins = macos.string();
    }
    return bundle;
}

namespace {

std::optional<Bundle>& bundleOverride() {
    static std::optional<Bundle> bundle;
    return bundle;
}

}  // namespace

const Bundle& mainBundle() {
    if (bundleOverride()) return *bundleOverride();
    static const Bundle bundle = bundleForExecutable(executablePath());
    return bundle;
}

void setMainBundleForTesting(std::optional<Bundle> bundle) {
    bundleOverride() = std::move(bundle);
}

std::optional<std::string> pathForResource(const std::string& name, const std::string& type) {
    std::error_code ec;
    const auto path = std::filesystem::path(mainBundle().resources) / (name + "." + type);
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    return path.string();
}

}  // namespace tessaway::platform
