#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace tessaway::platform {
namespace {

std::function<double()>& nowHook() {
    static std::function<double()> hook;
    return hook;
}

std::function<void(double)>& sleepHook() {
    static std::function<void(double)> hook;
    return hook;
}

}  // namespace

double now() {
    if (nowHook()) return nowHook()();
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void sleepFor(double seconds) {
    if (sleepHook()) return sleepHook()(seconds);
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void setClockForTesting(std::function<double()> nowFn, std::function<void(double)> sleepFn) {
    nowHook() = std::move(nowFn);
    sleepHook() = std::move(sleepFn);
}

}  // namespace tessaway::platform
