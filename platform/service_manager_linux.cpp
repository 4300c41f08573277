#include <cstdlib>
#include <filesystem>

#include "platform/service_manager.h"
#include "platform/system.h"

namespace tessaway::platform {

std::string serviceManagerTool() {
    if (const char* tool = std::getenv("TESSAWAY_LAUNCHCTL"); tool != nullptr && *tool != '\0') {
        return tool;
    }
    return (std::filesystem::path(executablePath()).parent_path() / "launchctl").string();
}

}  // namespace tessaway::platform
