// CPU time of the voice-processing stage per 20 ms codec frame (two 10 ms
// blocks), on a voice that comes back through an echo path, at the rates the
// codecs record at. A frame every 20 ms: the time in microseconds divided by
// 200 is the share of one core the stage takes (200 us = 1 %).
// BM_VoiceDelay gives, as its delay_ms counter, how much later the stage's
// output follows its input (a far end that plays silence, so nothing is
// cancelled): what the stage adds to a call's mouth-to-ear delay.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "audio/VoiceProcessor.h"
#include "audio/codecs/CodecTestSupport.h"  // the tests' speech-like signal

namespace {

using namespace ambrel;

void stage(benchmark::State& state, unsigned features) {
    const auto rate = static_cast<std::uint32_t>(state.range(0));
    const std::uint32_t frame = rate / 50;  // 20 ms
    VoiceProcessor voice(rate, frame);
    voice.setFeatures(features);
    ReferenceRing ring;
    ReferenceRing* refs[] = {&ring};
    const std::vector<std::int16_t> far = test::speechLike(rate, 4.0);
    const std::size_t frames = far.size() / frame;
    const std::size_t delay = rate / 20;  // 50 ms
    std::vector<std::int16_t> mic(frame);
    std::size_t k = 0;
    for (auto _ : state) {
        const std::size_t at = (k % frames) * frame;
        ring.push(far.data() + at, frame, 20000);
        for (std::size_t i = 0; i < frame; ++i) {
            const std::size_t j = at + i >= delay ? at + i - delay : at + i;
            mic[i] = static_cast<std::int16_t>(far[j] / 2);
        }
        voice.process16(mic.data(), frame, refs, 20000);
        benchmark::DoNotOptimize(mic.data());
        ++k;
    }
}

// The lag (in samples, up to `most`) at which `out` best matches `in`.
std::size_t bestLag(const std::vector<std::int16_t>& in, const std::vector<std::int16_t>& out, std::size_t most) {
    std::size_t best = 0;
    double bestScore = -2;
    const std::size_t from = in.size() / 4;  // past the stage's start
    for (std::size_t lag = 0; lag <= most; ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (std::size_t i = from; i + lag < out.size(); ++i) {
            const double x = in[i], y = out[i + lag];
            xy += x * y;
            xx += x * x;
            yy += y * y;
        }
        const double score = xy / std::sqrt(std::max(xx * yy, 1.0));
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

void delay(benchmark::State& state, unsigned features) {
    const auto rate = static_cast<std::uint32_t>(state.range(0));
    const std::uint32_t frame = rate / 50;
    const std::vector<std::int16_t> said = test::speechLike(rate, 3.0);
    const std::vector<std::int16_t> silence(frame, 0);
    std::size_t lag = 0;
    for (auto _ : state) {
        VoiceProcessor voice(rate, frame);
        voice.setFeatures(features);
        ReferenceRing ring;
        ReferenceRing* refs[] = {&ring};
        std::vector<std::int16_t> out(said.size() / frame * frame);
        for (std::size_t at = 0; at + frame <= out.size(); at += frame) {
            ring.push(silence.data(), frame, 20000);
            std::copy_n(said.begin() + static_cast<std::ptrdiff_t>(at), frame, out.begin() + static_cast<std::ptrdiff_t>(at));
            voice.process16(out.data() + at, frame, refs, 20000);
        }
        lag = bestLag(said, out, rate / 25);
    }
    state.counters["delay_ms"] = 1000.0 * static_cast<double>(lag) / rate;
}

void BM_VoiceAll(benchmark::State& state) { stage(state, kVoiceAll); }
void BM_VoiceNoEcho(benchmark::State& state) { stage(state, kVoiceAll & ~kVoiceEchoCancel); }
void BM_VoiceEchoOnly(benchmark::State& state) { stage(state, kVoiceEchoCancel); }

void BM_VoiceDelay(benchmark::State& state) { delay(state, static_cast<unsigned>(state.range(1))); }

BENCHMARK(BM_VoiceAll)->Arg(8000)->Arg(16000)->Arg(32000)->Arg(48000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VoiceNoEcho)->Arg(16000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VoiceEchoOnly)->Arg(16000)->Unit(benchmark::kMicrosecond);
// Each part alone, then all of them.
BENCHMARK(BM_VoiceDelay)
    ->ArgsProduct({{16000}, {kVoiceEchoCancel, kVoiceNoiseSuppression, kVoiceGainControl, kVoiceHighPass, kVoiceAll}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
