#include <optional>
#include <string>
#include <vector>

#include "ctl.h"
#include "identity.h"
#include "platform/system.h"

namespace {

/// The word after the first "--ctl" (empty when it is the last argument), if there is one.
std::optional<std::string> ctlWord(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--ctl") return i + 1 < args.size() ? args[i + 1] : std::string();
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tessaway;
    const std::vector<std::string> args(argv, argv + argc);
    fillIdentity();
    if (const auto word = ctlWord(args)) return runCtl(*word);
    platform::writeStandardError("tessaway-tray: the menu bar is not available in this build\n");
    return 0;
}
