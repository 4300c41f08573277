#include "launchctl/overrides.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "launchctl/locations.h"
#include "platform/atomic_file.h"
#include "platform/file_read.h"
#include "platform/lock_file.h"
#include "platform/property_list.h"
#include "platform/system.h"
#include "platform/unique_fd.h"

namespace tessaway::launchd {
namespace {

constexpr size_t kMaxOverridesBytes = 4 << 20;
// A writer holds the lock to read, change and replace one small file; a holder that keeps it
// far longer is stuck, and its waiters give up rather than hang their callers.
constexpr double kLockWaitSeconds = 10.0;

std::string toXml(const Overrides& overrides) {
    std::vector<platform::PropertyList::Entry> entries;
    entries.reserve(overrides.size());
    for (const auto& [label, disabled] : overrides)
        entries.push_back({label, platform::PropertyList::ofBoolean(disabled)});
    return platform::toXml(platform::PropertyList::ofDictionary(std::move(entries)));
}

/// Moves a damaged overrides file out of the way under a name no other file has, and says so.
bool setAside(const std::string& path) {
    for (int n = 0; n < 1000; ++n) {
        const std::string aside = path + ".damaged" + (n == 0 ? "" : "-" + std::to_string(n));
        if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
            platform::writeStandardError("launchctl: the overrides file " + path +
                                         " was damaged and has been set aside as " + aside + "\n");
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

}  // namespace

std::optional<Overrides> parseOverrides(std::string_view data) {
    const auto root = platform::parsePropertyList(data);
    if (!root || root->kind != platform::PropertyList::Kind::dictionary) return std::nullopt;
    Overrides overrides;
    for (const auto& [key, value] : root->dictionary) {
        if (const auto flag = platform::booleanValue(&value)) overrides.emplace_back(key, *flag);
    }
    std::sort(overrides.begin(), overrides.end());
    return overrides;
}

OverridesFile readOverridesFile(const std::string& path) {
    OverridesFile file;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return file;  // nothing there: no overrides
    std::string data;
    std::optional<Overrides> overrides;
    if (platform::readFile(path, data, kMaxOverridesBytes)) overrides = parseOverrides(data);
    if (overrides) {
        file.overrides = std::move(*overrides);
    } else {
        file.damaged = true;
    }
    return file;
}

Overrides readOverrides(const std::string& path) {
    return readOverridesFile(path).overrides;
}

std::optional<bool> overrideFor(const Overrides& overrides, const std::string& label) {
    const auto it = std::lower_bound(
        overrides.begin(), overrides.end(), label,
        [](const auto& entry, const std::string& key) { return entry.first < key; });
    if (it == overrides.end() || it->first != label) return std::nullopt;
    return it->second;
}

OverrideResult setOverride(const std::string& path, const std::string& label, bool disabled) {
    if (!createFolders(parentFolder(path), 0700)) return OverrideResult::failed;
    // The lock file sits beside the overrides and is never removed, so every writer locks the
    // same file; the overrides themselves are replaced by rename.
    const std::string lockPath = path + ".lock";
    const platform::LockFile lock = platform::openLockFile(lockPath, platform::LockOpen::create);
    if (!lock.fd) {
        platform::sayLockFileUnusable("launchctl", lockPath, lock.problem);
        return OverrideResult::failed;
    }
    if (!platform::lockWithin(lock.fd.get(), kLockWaitSeconds)) {
        platform::writeStandardError("launchctl: gave up after " +
                                     std::to_string(static_cast<int>(kLockWaitSeconds)) +
                                     " seconds: another process holds " + lockPath + "\n");
        return OverrideResult::failed;
    }
    OverridesFile file = readOverridesFile(path);
    // Whatever the damaged file still holds stays recoverable beside the new one.
    if (file.damaged && !setAside(path)) return OverrideResult::failed;
    Overrides& overrides = file.overrides;
    const auto it = std::find_if(overrides.begin(), overrides.end(),
                                 [&](const auto& entry) { return entry.first == label; });
    if (it != overrides.end()) {
        it->second = disabled;
    } else {
        overrides.emplace_back(label, disabled);
        std::sort(overrides.begin(), overrides.end());
    }
    const std::string text = toXml(overrides);
    if (text.empty()) return OverrideResult::failed;
    if (text.size() > kMaxOverridesBytes) return OverrideResult::full;
    std::string error;
    // The lock is released when `lock` goes away, after the new file is in place.
    return platform::writeFileAtomically(path, text, error) ? OverrideResult::recorded
                                                            : OverrideResult::failed;
}

}  // namespace tessaway::launchd
