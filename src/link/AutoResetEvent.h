// An event that releases one waiter per signal and then resets itself.
#pragma once

#include <condition_variable>
#include <mutex>

namespace ambrel {

class AutoResetEvent {
public:
    // Signals the event: one current or future waiter is released.
    // Any thread.
    void set();
    // Clears a pending signal. Any thread.
    void reset();
    // Waits at most ms (-1: without limit) for a signal and consumes it.
    // Returns true when signalled, false on time-out. Measured on the
    // monotonic clock. Any thread.
    bool wait(int ms);

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool signalled_ = false;
};

}  // namespace ambrel
