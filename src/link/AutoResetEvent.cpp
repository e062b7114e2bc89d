#include "link/AutoResetEvent.h"

#include <chrono>

namespace ambrel {

void AutoResetEvent::set() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        signalled_ = true;
    }
    cond_.notify_one();
}

void AutoResetEvent::reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = false;
}

bool AutoResetEvent::wait(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (ms < 0) {
        cond_.wait(lock, [this] { return signalled_; });
    } else if (!cond_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; })) {
        return false;
    }
    signalled_ = false;
    return true;
}

}  // namespace ambrel
