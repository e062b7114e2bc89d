// Worker thread base over POSIX threads. See WorkerThread.h.
#include "link/WorkerThread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace ambrel {

namespace {

// The WorkerThread whose body runs on this thread; null elsewhere.
thread_local WorkerThread* currentThread = nullptr;

// Priorities -2..2 as nice values (lowest .. highest). Raising above normal
// needs privileges; without them the thread keeps what it has.
int niceFor(int priority) {
    static constexpr int kNice[5] = {10, 5, 0, -5, -10};
    return kNice[priority + 2];
}

}  // namespace

WorkerThread::WorkerThread() = default;

WorkerThread::~WorkerThread() {
    // A thread still running here would use a destroyed object: the owner
    // must have stopped it. Reap a finished one so it does not linger.
    if (threadState_.load() != New) joinThread();
}

void WorkerThread::create() {
    std::lock_guard<std::mutex> guard(lock_);
    if (threadState_.load() != New) return;  // events already made
    wakeEvent_.reset();
    notifyEvent_.reset();
    threadState_.store(Created);
}

void WorkerThread::start() {
    std::lock_guard<std::mutex> guard(lock_);
    if (threadState_.load() != Created || hasThread_) throw ThreadCreateException();
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) throw ThreadCreateException();
    if (stackSize_ != 0 && pthread_attr_setstacksize(&attr, stackSize_) != 0) {
        pthread_attr_destroy(&attr);
        throw ThreadCreateException();
    }
    // The body must only ever see Running: set it before the thread exists
    // (the entry routine takes the lock first, so it waits for us anyway).
    threadState_.store(Running);
    int rc = pthread_create(&thread_, &attr, &WorkerThread::entry, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        threadState_.store(Created);
        throw ThreadCreateException();
    }
    hasThread_ = true;
}

void WorkerThread::stop(bool wait) {
    bool started;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopRequested_.store(1, std::memory_order_release);
        started = hasThread_;
    }
    if (wait && started && currentThread != this) joinThread();
}

void WorkerThread::joinThread() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!hasThread_) return;
    }
    if (pthread_equal(thread_, pthread_self())) {
        // Destroyed by its own body (deleteWhenDone): nobody will join it.
        std::lock_guard<std::mutex> guard(joinLock_);
        if (!joined_) pthread_detach(thread_);
        joined_ = true;
        return;
    }
    std::lock_guard<std::mutex> guard(joinLock_);
    if (!joined_) {
        pthread_join(thread_, nullptr);
        joined_ = true;
    }
}

void WorkerThread::setPriority(int p) {
    if (p < -2) p = -2;
    if (p > 2) p = 2;
    std::lock_guard<std::mutex> guard(lock_);
    priority_.store(p);
    int state = threadState_.load();
    if (state != New && state != Created && state != Finished) applyPriorityLocked();
}

void WorkerThread::applyPriorityLocked() {
    int tid = threadId_.load();
    if (tid == 0) return;  // the entry routine applies it once the thread runs
    // Best effort: a refusal (no privilege to raise it) is not an error.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), niceFor(priority_.load()));
}

WorkerThread* WorkerThread::current() { return currentThread; }

void* WorkerThread::entry(void* arg) {
    auto* self = static_cast<WorkerThread*>(arg);
    currentThread = self;
    if (self->threadName_) pthread_setname_np(pthread_self(), self->threadName_);
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->threadId_.store(static_cast<int>(::syscall(SYS_gettid)));
        self->applyPriorityLocked();
    }
    try {
        self->run();
    } catch (const ThreadStopException&) {
    } catch (const Exception&) {
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->threadState_.store(Finished);
    }
    if (self->deleteWhenDone()) delete self;
    currentThread = nullptr;
    return nullptr;
}

bool WorkerThread::pause(int ms, int flag) {
    (void)flag;
    WorkerThread* self = currentThread;
    if (self == nullptr) {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->threadState_.store(Pausing);
    }
    bool woken = self->wakeEvent_.wait(ms);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->threadState_.store(Running);
    self->wakeEvent_.reset();
    return woken;
}

int WorkerThread::waitWake(int ms) {
    WorkerThread* self = currentThread;
    if (self == nullptr) return 0;
    self->threadState_.store(Waiting);
    self->lock_.unlock();
    bool woken = self->wakeEvent_.wait(ms);
    self->lock_.lock();
    self->wakeEvent_.reset();
    self->threadState_.store(Running);
    return woken ? 2 : 0;
}

int WorkerThread::waitNotify(int ms) {
    WorkerThread* self = currentThread;
    if (self == nullptr) return 0;
    self->lock_.unlock();
    bool woken = self->notifyEvent_.wait(ms);
    self->lock_.lock();
    self->notifyEvent_.reset();
    return woken ? 2 : 0;
}

bool WorkerThread::consumeWake() {
    WorkerThread* self = currentThread;
    if (self == nullptr) return false;
    self->wakeEvent_.reset();
    self->threadState_.store(Running);
    return false;
}

void WorkerThread::wake() {
    std::lock_guard<std::mutex> guard(lock_);
    int state = threadState_.load();
    if (state == Waiting || state == Pausing) {
        wakeEvent_.set();
    } else {
        notifyEvent_.set();
    }
}

}  // namespace ambrel
