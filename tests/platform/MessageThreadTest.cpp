#include "platform/MessageThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace ambrel {
namespace {

using namespace std::chrono_literals;

TEST(MessageThread, RunsMessagesInArrivalOrderOneAtATimeOnItsThread) {
    constexpr int kProducers = 4;
    constexpr int kEach = 2000;
    MessageThread t;
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> seen;  // message thread only
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> wrongThread{false};
    ASSERT_TRUE(t.start([&](const Message& m) {
        if (inside.fetch_add(1) != 0) overlapped = true;
        if (!t.isCurrentThread()) wrongThread = true;
        seen.emplace_back(m.wParam, m.lParam);
        inside.fetch_sub(1);
    }));
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&t, p] {
            for (int i = 0; i < kEach; ++i) ASSERT_TRUE(t.post(7, static_cast<std::uintptr_t>(p), i));
        });
    for (auto& p : producers) p.join();
    t.quit();
    t.join();

    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(wrongThread);
    EXPECT_FALSE(t.isCurrentThread());
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kProducers * kEach));
    // Each producer's messages come out in the order it posted them.
    std::vector<std::uintptr_t> next(kProducers, 0);
    for (auto [p, i] : seen) {
        ASSERT_EQ(i, next[p]) << "producer " << p;
        ++next[p];
    }
}

TEST(MessageThread, QuitRunsWhatWasQueuedAndRefusesLaterPosts) {
    MessageThread t;
    std::vector<std::uint32_t> ids;
    // Posted before start: kept and run first.
    ASSERT_TRUE(t.post(1));
    ASSERT_TRUE(t.start([&](const Message& m) {
        ids.push_back(m.id);
        if (m.id == 2) {
            // A handler may post to its own thread and ask it to quit: the
            // message posted before quit() still runs.
            EXPECT_TRUE(t.post(3));
            t.quit();
            EXPECT_FALSE(t.post(4));
        }
    }));
    ASSERT_TRUE(t.post(2));
    t.join();
    EXPECT_FALSE(t.running());
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_FALSE(t.post(5));
    EXPECT_FALSE(t.start([](const Message&) {}));  // runs once
}

TEST(MessageThread, DestructorEndsAnIdleLoopAndStartRefusesAnEmptyHandler) {
    std::atomic<int> handled{0};
    {
        MessageThread t;
        EXPECT_FALSE(t.start(nullptr));
        ASSERT_TRUE(t.start([&](const Message&) { handled++; }));
        t.post(1);
        // The destructor must run the queued message and end without a quit.
    }
    EXPECT_EQ(handled, 1);
    MessageThread never;
    never.join();  // never started: returns at once
}

TEST(MessageThread, PostDoesNotWaitForABusyHandlerAndTheQueueGrowsInOrder) {
    MessageThread t;
    std::mutex gate;
    std::unique_lock hold(gate);
    std::vector<std::uintptr_t> seen;  // message thread only until join
    ASSERT_TRUE(t.start([&](const Message& m) {
        std::lock_guard wait(gate);
        seen.push_back(m.lParam);
    }));
    // The handler blocks on the gate with the first message taken, so the
    // queue wraps and then grows several times while full.
    for (std::uintptr_t i = 0; i < 1000; ++i) ASSERT_TRUE(t.post(1, 0, i));
    EXPECT_GE(t.pending(), 999u);
    hold.unlock();
    t.quit();
    t.join();
    ASSERT_EQ(seen.size(), 1000u);
    for (std::uintptr_t i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
}

// Mailbox messages, the ones that overflow its ring, the ones still in it
// when it is detached and ordinary posts all run in the order they arrived.
TEST(MessageThread, MailboxMessagesKeepArrivalOrderThroughOverflowAndDetach) {
    MessageThread t;
    std::mutex gate;
    std::unique_lock hold(gate);
    std::vector<std::uintptr_t> seen;  // message thread only until join
    ASSERT_TRUE(t.start([&](const Message& m) {
        std::lock_guard wait(gate);
        seen.push_back(m.lParam);
    }));
    MessageThread::Mailbox box(4);
    EXPECT_FALSE(box.post(1, 0, 999));  // not attached: dropped
    t.attach(box);
    std::vector<std::uintptr_t> expected;
    for (std::uintptr_t i = 0; i < 20; ++i) {
        ASSERT_TRUE(box.post(1, 0, i));
        ASSERT_TRUE(t.post(1, 0, 100 + i));
        expected.push_back(i);
        expected.push_back(100 + i);
    }
    t.detach(box);
    EXPECT_FALSE(box.post(1, 0, 999));
    hold.unlock();
    t.quit();
    t.join();
    EXPECT_EQ(seen, expected);
}

// A producer posting through a mailbox while another thread posts the
// ordinary way: nothing is lost, each keeps its order, and the loop, which
// sleeps whenever it runs dry, is always woken.
TEST(MessageThread, AMailboxProducerAndOrdinaryPostsRunConcurrently) {
    constexpr std::uintptr_t kEach = 20000;
    MessageThread t;
    std::vector<std::uintptr_t> fromBox, fromPost;  // message thread only until join
    ASSERT_TRUE(t.start([&](const Message& m) { (m.wParam ? fromBox : fromPost).push_back(m.lParam); }));
    MessageThread::Mailbox box(8);
    t.attach(box);
    std::thread producer([&] {
        for (std::uintptr_t i = 0; i < kEach; ++i) {
            ASSERT_TRUE(box.post(1, 1, i));
            if (i % 64 == 0) std::this_thread::yield();
        }
    });
    for (std::uintptr_t i = 0; i < kEach; ++i) ASSERT_TRUE(t.post(1, 0, i));
    producer.join();
    t.detach(box);
    t.quit();
    t.join();
    ASSERT_EQ(fromBox.size(), kEach);
    ASSERT_EQ(fromPost.size(), kEach);
    for (std::uintptr_t i = 0; i < kEach; ++i) {
        ASSERT_EQ(fromBox[i], i);
        ASSERT_EQ(fromPost[i], i);
    }
}

}  // namespace
}  // namespace ambrel
