#include "platform/property_list.h"

#include <cstdlib>
#include <limits>

#include "platform/atomic_file.h"

namespace tessaway::platform {
namespace {

// Agent definitions and bundle manifests are a few kilobytes; anything far larger is damage.
constexpr size_t kMaxPropertyListBytes = 1 << 20;

}  // namespace

PlistPtr parsePropertyList(std::string_view data) {
    if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
    plist_t root = nullptr;
    const auto length = static_cast<uint32_t>(data.size());
    if (plist_is_binary(data.data(), length)) {
        plist_from_bin(data.data(), length, &root);
    } else {
        plist_from_xml(data.data(), length, &root);
    }
    return PlistPtr(root);
}

PlistPtr readPropertyList(const std::string& path) {
    std::string data;
    if (!readFile(path, data, kMaxPropertyListBytes)) return nullptr;
    return parsePropertyList(data);
}

plist_t dictionaryItem(plist_t dict, const char* key) {
    if (dict == nullptr || plist_get_node_type(dict) != PLIST_DICT) return nullptr;
    return plist_dict_get_item(dict, key);
}

std::optional<std::string> stringValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    if (value == nullptr) return std::nullopt;
    std::string text(value);
    std::free(value);
    return text;
}

}  // namespace tessaway::platform
