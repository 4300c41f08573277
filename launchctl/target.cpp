#include "launchctl/target.h"

namespace tessaway::launchd {

std::optional<Target> parseTarget(std::string_view text) {
    constexpr std::string_view kPrefix = "gui/";
    if (text.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    text.remove_prefix(kPrefix.size());
    const auto slash = text.find('/');
    const std::string_view digits = text.substr(0, slash);
    if (digits.empty() || digits.size() > 10) return std::nullopt;
    Target target;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        target.uid = target.uid * 10 + static_cast<unsigned long>(c - '0');
    }
    if (target.uid > 0xFFFFFFFFul) return std::nullopt;
    if (slash != std::string_view::npos) {
        target.label = std::string(text.substr(slash + 1));
        if (target.label.empty()) return std::nullopt;
    }
    return target;
}

std::string domainName(unsigned long uid) {
    return "gui/" + std::to_string(uid);
}

}  // namespace tessaway::launchd
