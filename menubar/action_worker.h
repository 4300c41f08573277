#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tessaway {

/// Runs jobs one after another, in the order submitted, on a thread of its own: the menu's
/// service-manager actions, which can wait long for the control lock or the tool, so that the
/// main thread never waits for them. Destroying the worker drops the jobs not yet begun and
/// waits for the one running.
class ActionWorker {
public:
    ActionWorker();
    ~ActionWorker();
    ActionWorker(const ActionWorker&) = delete;
    ActionWorker& operator=(const ActionWorker&) = delete;

    void submit(std::function<void()> job);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tessaway
