// The platform layer's costs: a message's trip through a message thread, and
// how closely a WAV file device keeps its clock (lateness of each buffer
// against its ideal time; the file device stands in for a sound card in
// headless calls, so its timing is the call's timing).
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/FileBackend.h"
#include "platform/MessageThread.h"

namespace ambrel {
namespace {

// One message posted and handled, waiting for each before the next: the
// delay a device report adds before the recorder or player sees it.
void BM_MessageRoundTrip(benchmark::State& state) {
    MessageThread t;
    std::atomic<std::uint64_t> handled{0};
    t.start([&](const Message&) { handled.fetch_add(1, std::memory_order_release); });
    std::uint64_t sent = 0;
    for (auto _ : state) {
        t.post(1, 0, ++sent);
        while (handled.load(std::memory_order_acquire) != sent) std::this_thread::yield();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}
BENCHMARK(BM_MessageRoundTrip)->UseRealTime();

// Messages posted back to back by one thread and handled by the loop.
void BM_MessageThroughput(benchmark::State& state) {
    MessageThread t;
    std::atomic<std::uint64_t> handled{0};
    t.start([&](const Message&) { handled.fetch_add(1, std::memory_order_release); });
    std::uint64_t sent = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) t.post(1, 0, ++sent);
        while (handled.load(std::memory_order_acquire) != sent) std::this_thread::yield();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}
BENCHMARK(BM_MessageThroughput)->UseRealTime();

// One second of recording from a 44.1 kHz stereo WAV at 16 kHz, 20 ms
// buffers: how late each buffer arrives against its ideal time (counters in
// ms), with the conversion (mono mix, resampling) on the device's clock.
void BM_FileInputTiming(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("ambrel-bench-" + std::to_string(::getpid()) + ".wav");
    {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        std::vector<float> s(2 * 44100);
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = 0.3f * std::sin(0.05f * static_cast<float>(i));
        sf_writef_float(f, s.data(), 44100);
        sf_close(f);
    }
    auto backend = makeFileBackend();
    SoundFormat format;
    format.sampleRate = 16000;
    format.blockSamples = 320;
    constexpr int kBuffers = 50;
    double worst = 0, total = 0;
    int count = 0;
    for (auto _ : state) {
        std::vector<std::vector<std::uint8_t>> storage(12, std::vector<std::uint8_t>(640));
        std::vector<SoundBuffer> bufs(12);
        std::vector<std::chrono::steady_clock::time_point> when;
        std::mutex m;
        std::atomic<SoundInput*> live{nullptr};
        MessageThread t;
        t.start([&](const Message& msg) {
            auto* b = msg.lParamAs<SoundBuffer>();
            if (b->bytesRecorded == 0) return;
            {
                std::lock_guard lock(m);
                when.push_back(std::chrono::steady_clock::now());
            }
            if (SoundInput* in = live.load()) in->addBuffer(b);
        });
        SoundError err;
        auto in = backend->openInput(SoundDeviceRef::file(path.string()), format, t, err);
        if (!in) {
            state.SkipWithError(err.text.c_str());
            break;
        }
        for (int i = 0; i < 12; ++i) {
            bufs[i].data = storage[i].data();
            bufs[i].capacity = 640;
            in->addBuffer(&bufs[i]);
        }
        live = in.get();
        const auto t0 = std::chrono::steady_clock::now();
        in->start();
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::lock_guard lock(m);
            if (when.size() >= kBuffers) break;
        }
        live = nullptr;
        in->close();
        t.quit();
        t.join();
        for (int k = 0; k < kBuffers; ++k) {
            double late = std::chrono::duration<double, std::milli>(when[k] - t0).count() - 20.0 * (k + 1);
            worst = std::max(worst, late);
            total += late;
            ++count;
        }
    }
    std::filesystem::remove(path);
    state.counters["late_mean_ms"] = count ? total / count : 0;
    state.counters["late_max_ms"] = worst;
}
BENCHMARK(BM_FileInputTiming)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace ambrel
