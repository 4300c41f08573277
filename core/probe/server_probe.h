#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace tessaway {

/// Outcome of a JSON fetch: `ok` when the server answered 200, `obj` when the body was a JSON
/// object, whatever the status.
struct JsonResult {
    bool ok = false;
    std::optional<nlohmann::json> obj;
};

/// One blocking GET of `path` on the configured port.
JsonResult getJSON(const std::string& path, double timeout = 3.0);

/// Pings the server (HEAD, 1 second each, 0.5 seconds apart) until it answers 200 or `seconds`
/// have passed.
void waitForServer(double seconds);

}  // namespace tessaway
