// Once a call runs, the PulseAudio call-backs (on libpulse's main-loop
// thread) hand buffers over without allocating: every operator new on that
// thread is counted while one stream plays into a null sink and another
// records its monitor. A stream that renders its own sound is held to the
// same, and to its contract: it asks only on that thread, asks again after
// running dry only when woken, and never once its renderer is taken back. A
// stream that hands its recorded blocks over itself is held to the same.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <thread>

#include "SoundTestSupport.h"
#include "platform/PulseBackend.h"

namespace {
std::atomic<long> loopAllocations{0};

// libpulse names its threaded main loop "threaded-ml".
bool onLoopThread() {
    char name[16] = {};
    return pthread_getname_np(pthread_self(), name, sizeof name) == 0 && std::strcmp(name, "threaded-ml") == 0;
}
}  // namespace

// Not inlined: GCC would otherwise pair the malloc and free across them.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (onLoopThread()) loopAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace ambrel {
namespace {

using test::Buffers;
using test::format;

bool waitUntil(const std::function<bool()>& done, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(PulseCallbackTest, TheLoopThreadAllocatesNothingWhileACallRuns) {
    if (!std::getenv("PULSE_SERVER"))
        GTEST_SKIP() << "PULSE_SERVER is not set: run under tests/support/with-pulse.sh for a private daemon";
    auto backend = makePulseBackend();
    const SoundFormat f = format(16000, 16, 320);
    Buffers playBuffers(12, 640), recordBuffers(12, 640);
    constexpr std::uint32_t kKick = 1;  // posted by the test: lend all twelve
    std::atomic<SoundOutput*> out{nullptr};
    std::atomic<SoundInput*> in{nullptr};
    std::atomic<long> played{0}, recorded{0};
    MessageThread playThread, recordThread;
    playThread.start([&](const Message& m) {
        SoundOutput* o = out.load();
        if (!o) return;
        if (m.id == kKick) {
            for (std::size_t i = 0; i < 12; ++i) o->write(playBuffers[i]);
        } else if (m.id == kMsgOutputDone) {
            played.fetch_add(1);
            o->write(m.lParamAs<SoundBuffer>());
        }
    });
    recordThread.start([&](const Message& m) {
        SoundInput* i = in.load();
        if (!i) return;
        if (m.id == kKick) {
            for (std::size_t k = 0; k < 12; ++k) i->addBuffer(recordBuffers[k]);
            i->start();
        } else if (m.id == kMsgInputData) {
            recorded.fetch_add(1);
            i->addBuffer(m.lParamAs<SoundBuffer>());
        }
    });
    SoundError err;
    auto output = backend->openOutput(SoundDeviceRef::named("b_spk"), f, playThread, err);
    ASSERT_TRUE(output) << err.text;
    auto input = backend->openInput(SoundDeviceRef::named("b_spk.monitor"), f, recordThread, err);
    ASSERT_TRUE(input) << err.text;
    out = output.get();
    in = input.get();
    playThread.post(kKick);
    recordThread.post(kKick);

    auto both = [&](long n) {
        return waitUntil([&] { return played.load() >= n && recorded.load() >= n; }, 30);
    };
    ASSERT_TRUE(both(50));  // a second to settle
    const long before = loopAllocations.load();
    ASSERT_TRUE(both(200));  // three more seconds of call
    const long during = loopAllocations.load() - before;
    std::cout << "operator new on the main-loop thread during " << played.load() - 50 << " played and "
              << recorded.load() - 50 << " recorded buffers: " << during << "\n";
    EXPECT_EQ(during, 0);

    // The threads end first: what the devices hand back at close is dropped.
    playThread.quit();
    recordThread.quit();
    playThread.join();
    recordThread.join();
    output->close();
    input->close();
}

// A tone, a sample at a time; "dry" makes it return nothing.
class ToneRenderer : public SoundRenderer {
public:
    std::size_t render(std::uint8_t* data, std::size_t bytes, std::uint32_t) override {
        calls.fetch_add(1);
        if (!onLoopThread()) strayCalls.fetch_add(1);
        if (dry.load()) return 0;
        for (std::size_t i = 0; i + 1 < bytes; i += 2) {
            const auto v = static_cast<std::int16_t>((phase_++ % 40 < 20) ? 8000 : -8000);
            std::memcpy(data + i, &v, 2);
        }
        rendered.fetch_add(static_cast<long>(bytes / 2));
        return bytes / 2 * 2;
    }
    std::atomic<long> calls{0}, strayCalls{0}, rendered{0};
    std::atomic<bool> dry{false};

private:
    std::uint32_t phase_ = 0;
};

// A stream playing a tone into b_spk from its renderer.
class PulseToneTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("PULSE_SERVER"))
            GTEST_SKIP() << "PULSE_SERVER is not set: run under tests/support/with-pulse.sh for a private daemon";
        ASSERT_TRUE(thread.start([](const Message&) {}));
        output = backend->openOutput(SoundDeviceRef::named("b_spk"), f, thread, err);
        ASSERT_TRUE(output) << err.text;
        ASSERT_TRUE(output->setRenderer(&tone));
    }
    void TearDown() override {
        if (output) output->close();
        thread.quit();
        thread.join();
    }

    std::unique_ptr<SoundBackend> backend = makePulseBackend();
    const SoundFormat f = format(16000, 16, 160);
    MessageThread thread;
    SoundError err;
    std::unique_ptr<SoundOutput> output;
    ToneRenderer tone;
};

TEST_F(PulseToneTest, ARenderingStreamIsFedOnTheLoopThreadUntilItsRendererIsTakenBack) {
    ASSERT_TRUE(waitUntil([&] { return tone.rendered.load() >= 16000; }, 20));  // a second to settle
    const long before = loopAllocations.load();
    ASSERT_TRUE(waitUntil([&] { return tone.rendered.load() >= 4 * 16000; }, 30));  // three more seconds
    EXPECT_EQ(loopAllocations.load() - before, 0);

    // Dry: the stream plays out what it holds, then stops asking.
    tone.dry = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long dryCalls = tone.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(tone.calls.load() - dryCalls, 2);
    // Sound again: a wake() has it asked at once, and it keeps asking.
    tone.dry = false;
    const long woken = tone.rendered.load();
    ASSERT_TRUE(output->wake().ok());
    ASSERT_TRUE(waitUntil([&] { return tone.rendered.load() >= woken + 16000; }, 20));
    EXPECT_EQ(tone.strayCalls.load(), 2) << "only setRenderer() and wake() ask on the caller's thread";

    ASSERT_TRUE(output->setRenderer(nullptr));
    const long last = tone.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(tone.calls.load(), last);
}

// Counts the blocks it is handed and whether any held sound.
class BlockCounter : public SoundCapturer {
public:
    void captured(const std::uint8_t* data, std::size_t bytes) override {
        calls.fetch_add(1);
        if (!onLoopThread()) strayCalls.fetch_add(1);
        if (bytes != 320) wrongSize.fetch_add(1);
        for (std::size_t i = 0; i < bytes; ++i)
            if (data[i] != 0) {
                loud.fetch_add(1);
                break;
            }
    }
    std::atomic<long> calls{0}, strayCalls{0}, wrongSize{0}, loud{0};
};

TEST_F(PulseToneTest, ACapturingStreamHandsBlocksOverOnTheLoopThreadOnlyWhileItRuns) {
    auto input = backend->openInput(SoundDeviceRef::named("b_spk.monitor"), f, thread, err);
    ASSERT_TRUE(input) << err.text;
    BlockCounter blocks;
    ASSERT_TRUE(input->setCapturer(&blocks));
    ASSERT_TRUE(input->start().ok());
    ASSERT_TRUE(waitUntil([&] { return blocks.calls.load() >= 50; }, 20));  // a second to settle
    const long before = loopAllocations.load();
    ASSERT_TRUE(waitUntil([&] { return blocks.calls.load() >= 200; }, 30));
    EXPECT_EQ(loopAllocations.load() - before, 0);
    EXPECT_EQ(blocks.strayCalls.load(), 0);
    EXPECT_EQ(blocks.wrongSize.load(), 0);
    EXPECT_GT(blocks.loud.load(), 100) << "the tone played into the sink is what is handed over";

    // Stopped, nothing comes; started again, blocks come again; taken back, never.
    ASSERT_TRUE(input->stop().ok());
    const long stopped = blocks.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(blocks.calls.load(), stopped);
    ASSERT_TRUE(input->start().ok());
    ASSERT_TRUE(waitUntil([&] { return blocks.calls.load() >= stopped + 10; }, 20));
    ASSERT_TRUE(input->setCapturer(nullptr));
    const long last = blocks.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(blocks.calls.load(), last);
    input->close();
}

}  // namespace
}  // namespace ambrel
