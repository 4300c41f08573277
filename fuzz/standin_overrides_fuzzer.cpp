// The stand-in launchctl's overrides file, as print-disabled and bootstrap read it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "launchctl/definition.h"
#include "launchctl/overrides.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessaway::launchd;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto overrides = parseOverrides(bytes);
    if (!overrides) return 0;
    for (const auto& entry : *overrides) {
        if (usableLabel(entry.first)) (void)overrideFor(*overrides, entry.first);
    }
    return 0;
}
