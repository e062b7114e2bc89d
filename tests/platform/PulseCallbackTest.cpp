// Once a call runs, the PulseAudio call-backs (on libpulse's main-loop
// thread) hand buffers over without allocating: every operator new on that
// thread is counted while one stream plays into a null sink and another
// records its monitor.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
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

}  // namespace
}  // namespace ambrel
