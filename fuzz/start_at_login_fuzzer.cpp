// Whatever the service manager prints for print-disabled, read for start at login.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/identity.h"
#include "core/service/agent_control.h"
#include "core/service/launchctl_runner.h"
#include "core/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessaway;
    const std::string output(reinterpret_cast<const char*>(data), size);
    // The runner hands on the tool's output as the real one does: as repaired UTF-8.
    setLaunchctlRunnerForTesting([&output](const std::vector<std::string>&) {
        return LaunchctlResult{0, repairUtf8(output)};
    });
    (void)startAtLogin();
    setLaunchctlRunnerForTesting({});
    return 0;
}
