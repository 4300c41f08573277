#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessaway {

/// What an installation settled on.
struct InstallResult {
    bool fresh = false;  ///< no server definition existed before
    int64_t port = 0;    ///< the port written into both definitions
};

/// Renders both agent definitions from the bundle's templates, writes them into the agents
/// folder and loads them. Empty when a template is missing, a definition cannot be written or
/// the control lock cannot be had: the message is on standard error then, and the process
/// should end with status 1.
std::optional<InstallResult> installAgents();

/// Replaces "@APP@", "@HOME@" and "@PORT@" in a template, in one pass: text that a value
/// brings in is never replaced again. The two paths are escaped for XML, so that any folder
/// name gives a valid property list.
std::string renderTemplate(std::string text, const std::string& app, const std::string& home,
                           int64_t port);

}  // namespace tessaway
