#pragma once

#include <functional>

namespace tessaway::platform {

/// Seconds on a monotonic clock; only differences between two readings mean anything.
double now();

/// Blocks the calling thread for `seconds`.
void sleepFor(double seconds);

/// Replaces the clock and the sleep (tests only). Passing empty functions restores the real ones.
void setClockForTesting(std::function<double()> nowFn, std::function<void(double)> sleepFn);

}  // namespace tessaway::platform
