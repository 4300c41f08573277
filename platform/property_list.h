#pragma once

#include <plist/plist.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessaway::platform {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
/// An owned property-list tree.
using PlistPtr = std::unique_ptr<void, PlistFree>;

/// Parses an XML or binary property list held in memory. Empty when it is not one.
PlistPtr parsePropertyList(std::string_view data);

/// Reads a property list file of a sensible size. Empty when it is missing, too large or damaged.
PlistPtr readPropertyList(const std::string& path);

/// The dictionary under `key` of a dictionary node, or nullptr.
plist_t dictionaryItem(plist_t dict, const char* key);

/// The text of a string node.
std::optional<std::string> stringValue(plist_t node);

}  // namespace tessaway::platform
