// WorkerThread and AutoResetEvent with real threads.
#include "link/WorkerThread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace ambrel {
namespace {

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A worker whose body is a function; records what the body saw.
class FnThread : public WorkerThread {
public:
    explicit FnThread(std::function<void(FnThread&)> body) : body_(std::move(body)) {}
    ~FnThread() override { stop(true); }
    std::atomic<int> stateSeen{-1};
    std::atomic<bool> currentWasSelf{false};
    std::atomic<bool> bodyEnded{false};

protected:
    void run() override {
        stateSeen = threadState();
        currentWasSelf = WorkerThread::current() == this;
        body_(*this);
        bodyEnded = true;
    }
    bool deleteWhenDone() override { return false; }

private:
    std::function<void(FnThread&)> body_;
};

// Waits (generously) until the worker has finished.
bool waitFinished(WorkerThread& t) {
    auto t0 = Clock::now();
    while (t.threadState() != WorkerThread::Finished) {
        if (msSince(t0) > 10000) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(AutoResetEventTest, ReleasesOneWaitPerSignal) {
    AutoResetEvent e;
    EXPECT_FALSE(e.wait(0));
    e.set();
    e.set();  // signals do not accumulate
    EXPECT_TRUE(e.wait(0));
    EXPECT_FALSE(e.wait(10));
    e.set();
    e.reset();
    EXPECT_FALSE(e.wait(0));
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        e.set();
    });
    EXPECT_TRUE(e.wait(-1));
    t.join();
}

TEST(WorkerThreadTest, BodyRunsAsRunningWithCurrentPointerAndStopsOnRequest) {
    FnThread t([](FnThread& self) {
        for (;;) {
            self.throwIfStopRequested();
            WorkerThread::pause(20);
        }
    });
    EXPECT_EQ(t.threadState(), WorkerThread::New);
    t.create();
    EXPECT_EQ(t.threadState(), WorkerThread::Created);
    t.start();
    EXPECT_EQ(WorkerThread::current(), nullptr);
    auto t0 = Clock::now();
    while (t.stateSeen.load() == -1 && msSince(t0) < 10000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(t.stateSeen.load(), WorkerThread::Running);
    EXPECT_TRUE(t.currentWasSelf.load());
    t.stop(true);
    EXPECT_EQ(t.threadState(), WorkerThread::Finished);
    EXPECT_FALSE(t.bodyEnded.load()) << "the stop exception left the body";
}

TEST(WorkerThreadTest, EntrySwallowsEveryException) {
    FnThread a([](FnThread&) { throw ThreadStopException(); });
    FnThread b([](FnThread&) { throw SocketException(); });
    FnThread c([](FnThread&) { throw 42; });
    for (FnThread* t : {&a, &b, &c}) {
        t->create();
        t->start();
    }
    for (FnThread* t : {&a, &b, &c}) {
        t->stop(true);
        EXPECT_EQ(t->threadState(), WorkerThread::Finished);
    }
}

TEST(WorkerThreadTest, StopOnAThreadNeverStartedReturnsAtOnce) {
    FnThread t([](FnThread&) {});
    auto t0 = Clock::now();
    t.stop(true);
    t.create();
    t.stop(true);
    EXPECT_LT(msSince(t0), 1000);
    EXPECT_TRUE(t.stopRequested());
}

TEST(WorkerThreadTest, StartWithoutCreateOrTwiceIsRefused) {
    FnThread t([](FnThread&) {});
    EXPECT_THROW(t.start(), ThreadCreateException);
    t.create();
    t.start();
    EXPECT_THROW(t.start(), ThreadCreateException);
    t.stop(true);
}

TEST(WorkerThreadTest, PauseOffAWorkerSleepsTheFullTime) {
    auto t0 = Clock::now();
    EXPECT_FALSE(WorkerThread::pause(60));
    EXPECT_GE(msSince(t0), 59);
}

TEST(WorkerThreadTest, PauseEndsEarlyWhenWoken) {
    std::atomic<int> result{-1};
    std::atomic<int64_t> took{0};
    FnThread t([&](FnThread&) {
        auto t0 = Clock::now();
        result = WorkerThread::pause(10000) ? 1 : 0;
        took = msSince(t0);
    });
    t.create();
    t.start();
    auto t0 = Clock::now();
    while (t.threadState() != WorkerThread::Pausing && msSince(t0) < 10000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    t.wake();
    ASSERT_TRUE(waitFinished(t));
    EXPECT_EQ(result.load(), 1);
    EXPECT_LT(took.load(), 5000);
}

TEST(WorkerThreadTest, StopDoesNotCutAPauseShort) {
    std::atomic<int64_t> took{0};
    FnThread t([&](FnThread&) {
        auto t0 = Clock::now();
        WorkerThread::pause(200);
        took = msSince(t0);
    });
    t.create();
    t.start();
    t.stop(true);
    EXPECT_GE(took.load(), 199);
}

TEST(WorkerThreadTest, PriorityIsClampedAndAppliedToTheRunningThread) {
    std::atomic<int> niceInBody{-100};
    std::atomic<bool> go{false};
    FnThread t([&](FnThread& self) {
        while (!go.load()) {
            self.throwIfStopRequested();
            WorkerThread::pause(5);
        }
        errno = 0;
        niceInBody = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
    });
    t.setPriority(7);
    EXPECT_EQ(t.priority(), 2);
    t.setPriority(-9);
    EXPECT_EQ(t.priority(), -2);
    // Before start nothing reaches the system: this thread is untouched.
    EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid))), 0);
    t.create();
    t.start();
    t.setPriority(-1);  // lowering needs no privilege
    go = true;
    ASSERT_TRUE(waitFinished(t));
    EXPECT_EQ(niceInBody.load(), 5);
}

// Monitor-style waits: the caller holds the thread's lock.
TEST(WorkerThreadTest, WaitWakeAndWaitNotify) {
    std::atomic<int> wakeResult{-1}, notifyResult{-1}, timeoutResult{-1};
    FnThread t([&](FnThread& self) {
        std::unique_lock<std::mutex> hold(self.lock());
        timeoutResult = WorkerThread::waitWake(10);
        wakeResult = WorkerThread::waitWake(10000);
        notifyResult = WorkerThread::waitNotify(10000);
        WorkerThread::consumeWake();
    });
    t.create();
    t.start();
    auto t0 = Clock::now();
    while (timeoutResult.load() == -1 || t.threadState() != WorkerThread::Waiting) {
        ASSERT_LT(msSince(t0), 10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    t.wake();  // waiting: wake event
    while (wakeResult.load() == -1) {
        ASSERT_LT(msSince(t0), 10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    t.wake();  // running (or in waitNotify): notify event
    ASSERT_TRUE(waitFinished(t));
    EXPECT_EQ(timeoutResult.load(), 0);
    EXPECT_EQ(wakeResult.load(), 2);
    EXPECT_EQ(notifyResult.load(), 2);
}

// A worker that destroys itself when its body ends.
class SelfDeleting : public WorkerThread {
public:
    explicit SelfDeleting(std::atomic<bool>& destroyed) : destroyed_(destroyed) {}
    ~SelfDeleting() override { destroyed_ = true; }

protected:
    void run() override {}
    bool deleteWhenDone() override { return true; }

private:
    std::atomic<bool>& destroyed_;
};

TEST(WorkerThreadTest, DeleteWhenDoneDestroysTheObjectOnItsThread) {
    std::atomic<bool> destroyed{false};
    auto* t = new SelfDeleting(destroyed);
    t->create();
    t->start();
    auto t0 = Clock::now();
    while (!destroyed.load() && msSince(t0) < 10000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(destroyed.load());
}

}  // namespace
}  // namespace ambrel
