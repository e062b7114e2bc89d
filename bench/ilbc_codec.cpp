// Frames per second of the iLBC encoder and decoder on a speech-like signal
// (a vowel-like pulse train through resonances, with noise), both modes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "audio/ilbc/Decoder.h"
#include "audio/ilbc/Encoder.h"

namespace {

using ambrel::ilbc::Mode;

std::vector<float> speechLike(std::size_t count) {
    std::vector<float> s(count);
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0f, 300.0f);
    float y1 = 0.0f, y2 = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        const float pulse = (i % 64 == 0) ? 12000.0f : 0.0f;
        const float y = pulse + noise(rng) + 1.6f * y1 - 0.85f * y2;
        y2 = y1;
        y1 = y;
        s[i] = std::fmax(-32768.0f, std::fmin(32767.0f, 0.25f * y));
    }
    return s;
}

void encode(benchmark::State& state, Mode mode) {
    const std::size_t n = ambrel::ilbc::frameSamples(mode);
    const auto input = speechLike(n * 50);
    ambrel::ilbc::Encoder encoder(mode);
    std::vector<std::uint8_t> frame(ambrel::ilbc::frameBytes(mode));
    std::size_t f = 0;
    for (auto _ : state) {
        encoder.encode(std::span(input).subspan(f * n, n), frame);
        benchmark::DoNotOptimize(frame.data());
        f = (f + 1) % 50;
    }
    state.SetItemsProcessed(state.iterations());
}

void decode(benchmark::State& state, Mode mode) {
    const std::size_t n = ambrel::ilbc::frameSamples(mode);
    const std::size_t bytes = ambrel::ilbc::frameBytes(mode);
    const auto input = speechLike(n * 50);
    ambrel::ilbc::Encoder encoder(mode);
    std::vector<std::uint8_t> stream(bytes * 50);
    for (std::size_t f = 0; f < 50; ++f) encoder.encode(std::span(input).subspan(f * n, n), std::span(stream).subspan(f * bytes, bytes));
    ambrel::ilbc::Decoder decoder(mode);
    std::vector<float> out(n);
    std::size_t f = 0;
    for (auto _ : state) {
        decoder.decode(std::span(stream).subspan(f * bytes, bytes), out);
        benchmark::DoNotOptimize(out.data());
        f = (f + 1) % 50;
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(encode, 20ms, Mode::Ms20);
BENCHMARK_CAPTURE(encode, 30ms, Mode::Ms30);
BENCHMARK_CAPTURE(decode, 20ms, Mode::Ms20);
BENCHMARK_CAPTURE(decode, 30ms, Mode::Ms30);
