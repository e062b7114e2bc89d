// Base of every long-running worker that is not a sound thread. A subclass
// supplies run(); the base creates and starts the thread, carries a stop
// request the body polls, offers a pause that can be woken early, and ends
// every body through one entry routine that swallows the program's
// exceptions. Stopping is cooperative: nothing is ever killed.
//
// Stop protocol for bodies: at the head of each loop and inside each long inner
// loop call throwIfStopRequested() (or read stopRequested()); wait only through
// pause() of at most a few hundred milliseconds, so a stop is seen within
// about one pause.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>

#include "link/AutoResetEvent.h"
#include "base/Exception.h"

namespace ambrel {

class WorkerThread {
public:
    enum ThreadState { New = 0, Created, Running, Pausing, Waiting, Finished };

    WorkerThread();
    // The owner must have stopped the thread and waited for it (stop(true))
    // before destroying a running WorkerThread; a subclass whose body uses its
    // own fields must do so in its own destructor.
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Prepares the events; state New -> Created. Owner's thread.
    // Throws ThreadCreateException.
    void create();
    // Starts the thread running the entry routine; state -> Running before the
    // body runs; applies the stored priority. Owner's thread. Throws
    // ThreadCreateException (no thread was created, or create() was not called,
    // or the thread was already started).
    void start();
    // Sets the stop request; with wait, returns once the body has ended (at
    // once when the thread was never started). Does not wake a pause. Any
    // thread except the worker itself (with wait, from the worker it does not
    // wait).
    void stop(bool wait);

    // Clamps p to -2..2 (lowest .. highest) and stores it; applied to the
    // running thread at once (best effort: raising it may need privileges, and
    // a refusal is not an error); before start() it is applied by start().
    void setPriority(int p);
    int priority() const { return priority_.load(); }

    // Stack size for the thread, bytes; 0 = the system default. Before start().
    void setStackSize(unsigned bytes) { stackSize_ = bytes; }
    // The thread's name as `top -H` shows it (at most 15 characters; the
    // string must outlive the thread). Before start().
    void setThreadName(const char* name) { threadName_ = name; }

    int threadState() const { return threadState_.load(); }
    bool stopRequested() const { return stopRequested_.load(std::memory_order_acquire); }
    // Throws ThreadStopException when a stop was requested. Worker thread.
    void throwIfStopRequested() const {
        if (stopRequested()) throw ThreadStopException();
    }

    // The WorkerThread whose body runs on the calling thread, or null.
    static WorkerThread* current();

    // Sleeps ms on the calling thread. On a worker thread the sleep ends early
    // when the thread's wake event is signalled (wake()), and the result is
    // true then, false on time-out; on any other thread it always sleeps the
    // full time and returns false. flag is unused (always 0).
    static bool pause(int ms, int flag = 0);

    // Wait primitives for a monitor, acting on the calling thread's
    // WorkerThread. The caller holds that thread's lock() on entry and holds
    // it again on return. Return 0 on time-out, 2 when signalled.
    static int waitWake(int ms);
    static int waitNotify(int ms);
    // Resets the wake event and sets state Running; returns false. Caller holds lock().
    static bool consumeWake();
    // Wakes this thread: signals the wake event when it is waiting in
    // waitWake or pausing, its notify event otherwise. Any thread; takes lock().
    void wake();

    // Guards threadState, priority and the events' use.
    std::mutex& lock() { return lock_; }

protected:
    // The thread body. Worker thread.
    virtual void run() = 0;
    // Whether the entry routine destroys the object after run() returns.
    virtual bool deleteWhenDone() = 0;

private:
    static void* entry(void* self);
    void applyPriorityLocked();
    void joinThread();

    AutoResetEvent wakeEvent_;
    AutoResetEvent notifyEvent_;
    pthread_t thread_{};
    bool hasThread_ = false;      // guarded by lock_
    bool joined_ = false;         // guarded by joinLock_
    std::atomic<int> stopRequested_{0};
    std::mutex lock_;
    std::mutex joinLock_;
    std::atomic<int> priority_{0};
    std::atomic<int> threadId_{0};  // kernel thread id, once the thread runs
    std::atomic<int> threadState_{New};
    unsigned stackSize_ = 0;
    const char* threadName_ = nullptr;
};

}  // namespace ambrel
