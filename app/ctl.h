#pragma once

#include <cstdint>
#include <string>

namespace tessaway {

/// Runs one control command ("status", "pause", "resume", "login-on", "login-off", "quit") and
/// returns the process's exit status: 0 took effect, 1 did not, 2 not a command word.
int32_t runCtl(const std::string& word);

}  // namespace tessaway
