#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaway::launchd {

/// A parsed `gui/<uid>` or `gui/<uid>/<label>` argument.
struct Target {
    unsigned long uid = 0;
    /// Empty for a domain target.
    std::string label;
    bool isService() const { return !label.empty(); }
};

/// Parses a target in the gui domain. Empty when the text is not one (another domain type,
/// a uid that is not a number, an empty label).
std::optional<Target> parseTarget(std::string_view text);

/// The domain target of `uid` as the commands name it, "gui/<uid>".
std::string domainName(unsigned long uid);

}  // namespace tessaway::launchd
