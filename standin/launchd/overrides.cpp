#include "standin/launchd/overrides.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/atomic_file.h"
#include "platform/property_list.h"
#include "standin/launchd/locations.h"

namespace tessaway::launchd {
namespace {

constexpr size_t kMaxOverridesBytes = 4 << 20;

std::string toXml(const Overrides& overrides) {
    plist_t dict = plist_new_dict();
    for (const auto& [label, disabled] : overrides) {
        plist_dict_set_item(dict, label.c_str(), plist_new_bool(disabled ? 1 : 0));
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(dict, &xml, &length);
    plist_free(dict);
    std::string text = xml != nullptr ? std::string(xml, length) : std::string();
    if (xml != nullptr) plist_to_xml_free(xml);
    return text;
}

}  // namespace

Overrides readOverrides(const std::string& path) {
    Overrides overrides;
    std::string data;
    if (!platform::readFile(path, data, kMaxOverridesBytes)) return overrides;
    const platform::PlistPtr root = platform::parsePropertyList(data);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return overrides;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root.get(), &iter);
    if (iter == nullptr) return overrides;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root.get(), iter, &key, &value);
        if (key == nullptr) break;
        if (value != nullptr && plist_get_node_type(value) == PLIST_BOOLEAN) {
            uint8_t flag = 0;
            plist_get_bool_val(value, &flag);
            overrides.emplace_back(key, flag != 0);
        }
        std::free(key);
    }
    std::free(iter);
    std::sort(overrides.begin(), overrides.end());
    return overrides;
}

std::optional<bool> overrideFor(const Overrides& overrides, const std::string& label) {
    const auto it = std::lower_bound(
        overrides.begin(), overrides.end(), label,
        [](const auto& entry, const std::string& key) { return entry.first < key; });
    if (it == overrides.end() || it->first != label) return std::nullopt;
    return it->second;
}

bool setOverride(const std::string& path, const std::string& label, bool disabled) {
    if (!createFolders(parentFolder(path), 0700)) return false;
    // The lock file sits beside the overrides and is never removed, so every writer locks the
    // same file; the overrides themselves are replaced by rename.
    const std::string lockPath = path + ".lock";
    const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) return false;
    while (flock(lock, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(lock);
            return false;
        }
    }
    Overrides overrides = readOverrides(path);
    const auto it = std::find_if(overrides.begin(), overrides.end(),
                                 [&](const auto& entry) { return entry.first == label; });
    if (it != overrides.end()) {
        it->second = disabled;
    } else {
        overrides.emplace_back(label, disabled);
        std::sort(overrides.begin(), overrides.end());
    }
    std::string error;
    const bool written = platform::writeFileAtomically(path, toXml(overrides), error);
    close(lock);
    return written;
}

}  // namespace tessaway::launchd
