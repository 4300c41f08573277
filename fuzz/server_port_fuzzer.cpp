// The installed server definition, XML or binary, read for its port.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/service/port_config.h"
#include "platform/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto root = tessaway::platform::parsePropertyList(bytes);
    (void)tessaway::definitionPort(root ? &*root : nullptr);
    return 0;
}
