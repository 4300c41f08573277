#include "launchctl/systemd/unit_folder.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "launchctl/locations.h"
#include "launchctl/systemd/unit_file.h"
#include "platform/atomic_file.h"
#include "platform/file_read.h"

namespace tessaway::launchd {
namespace {

// Our units are a few kilobytes.
constexpr size_t kMaxUnitBytes = 1 << 20;
constexpr std::array<std::string_view, 2> kTargets = {"default.target", "graphical-session.target"};

std::string unitFile(const std::string& name) {
    return unitFolder() + "/" + name;
}

std::string wantsLink(std::string_view target, const std::string& name) {
    return xdgFolder("XDG_CONFIG_HOME", ".config") + "/systemd/user/" + std::string(target) +
           ".wants/" + name;
}

/// The text of the unit `name` when it is one of ours.
std::optional<std::string> ourUnit(const std::string& name) {
    std::string text;
    if (!platform::readFile(unitFile(name), text, kMaxUnitBytes)) return std::nullopt;
    if (text.compare(0, kUnitHeader.size(), kUnitHeader) != 0) return std::nullopt;
    return text;
}

/// Removes the unit's link from every login target but `keep`.
void unlinkExcept(const std::string& name, std::string_view keep) {
    for (const auto target : kTargets) {
        if (target != keep) unlink(wantsLink(target, name).c_str());
    }
}

std::string settingOf(const std::string& text, std::string_view key) {
    const std::string line = "\n" + std::string(key) + "=";
    const auto found = text.find(line);
    if (found == std::string::npos) return {};
    const auto start = found + line.size();
    std::string value = text.substr(start, text.find('\n', start) - start);
    for (size_t i = value.find("%%"); i != std::string::npos; i = value.find("%%", i + 1))
        value.erase(i, 1);
    return value;
}

}  // namespace

std::string unitSetting(const std::string& name, std::string_view key) {
    const auto text = ourUnit(name);
    return text ? settingOf(*text, key) : std::string();
}

std::string unitFolder() {
    return xdgFolder("XDG_DATA_HOME", ".local/share") + "/systemd/user";
}

UnitWrite writeUnit(const std::string& name, const std::string& text, std::string& error) {
    if (ourUnit(name) == text) return UnitWrite::unchanged;
    if (!createFolders(unitFolder(), 0755)) {
        error = "cannot create " + unitFolder() + ": " + std::strerror(errno);
        return UnitWrite::failed;
    }
    // Whatever is there (a damaged unit, one edited by hand) gives way to the definition's.
    return platform::writeFileAtomically(unitFile(name), text, error) ? UnitWrite::written
                                                                      : UnitWrite::failed;
}

void removeUnit(const std::string& name) {
    if (!ourUnit(name)) return;
    unlinkExcept(name, {});
    unlink(unitFile(name).c_str());
}

std::vector<std::string> unitLabels() {
    std::vector<std::string> labels;
    DIR* dir = opendir(unitFolder().c_str());
    if (dir == nullptr) return labels;
    while (const dirent* entry = readdir(dir)) {
        const auto label = labelOfUnit(entry->d_name);
        if (label && ourUnit(entry->d_name)) labels.push_back(*label);
    }
    closedir(dir);
    std::sort(labels.begin(), labels.end());
    return labels;
}

std::string mirrorLoginStart(const std::string& label, bool enabled) {
    const auto name = unitName(label);
    if (!name) return {};
    const auto text = ourUnit(*name);
    if (!text) return {};
    std::string_view target;
    for (const auto candidate : kTargets) {
        if (text->find("\nWantedBy=" + std::string(candidate) + "\n") != std::string::npos) {
            target = candidate;
        }
    }
    // Only the agents of the agents folder load at login, as under launchd.
    if (!inAgentsFolder(settingOf(*text, "SourcePath"))) enabled = false;
    unlinkExcept(*name, enabled ? target : std::string_view());
    if (!enabled || target.empty()) return {};
    const std::string link = wantsLink(target, *name);
    const std::string file = unitFile(*name);
    char current[4096];
    const ssize_t length = readlink(link.c_str(), current, sizeof current);
    if (length >= 0 && std::string_view(current, static_cast<size_t>(length)) == file) return {};
    unlink(link.c_str());
    if (!createFolders(parentFolder(link), 0755) || symlink(file.c_str(), link.c_str()) != 0) {
        return "cannot link " + link + ": " + std::strerror(errno);
    }
    return {};
}

}  // namespace tessaway::launchd
