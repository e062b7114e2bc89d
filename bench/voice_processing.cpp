// CPU time of the voice-processing stage per 20 ms codec frame (two 10 ms
// blocks), on a voice that comes back through an echo path, at the rates the
// codecs record at. A frame every 20 ms: the time in microseconds divided by
// 200 is the share of one core the stage takes (200 us = 1 %).
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

void BM_VoiceAll(benchmark::State& state) { stage(state, kVoiceAll); }
void BM_VoiceNoEcho(benchmark::State& state) { stage(state, kVoiceAll & ~kVoiceEchoCancel); }
void BM_VoiceEchoOnly(benchmark::State& state) { stage(state, kVoiceEchoCancel); }

BENCHMARK(BM_VoiceAll)->Arg(8000)->Arg(16000)->Arg(32000)->Arg(48000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VoiceNoEcho)->Arg(16000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VoiceEchoOnly)->Arg(16000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
