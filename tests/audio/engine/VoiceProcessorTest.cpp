// The voice-processing stage on a scripted echo path: the reference is played
// through a known filter (a delay and a decaying tail) into the microphone,
// as a room would, in-process and without a sound server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "audio/VoiceProcessor.h"

namespace ambrel {
namespace {

// A talker: voiced sound (a wandering pitch with harmonics) under a
// syllable envelope with pauses, so it is neither steady nor noise.
std::vector<double> talker(std::uint32_t rate, double seconds, unsigned seed, double level) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::size_t n = static_cast<std::size_t>(rate * seconds);
    std::vector<double> out(n);
    double phase = 0, pitch = 110 + 60 * u(rng), envelope = 0, target = 1;
    const std::size_t syllable = rate / 5;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % syllable == 0) {
            target = u(rng) < 0.25 ? 0.0 : 0.4 + 0.6 * u(rng);
            pitch = std::clamp(pitch + 30 * (u(rng) - 0.5), 90.0, 250.0);
        }
        envelope += (target - envelope) * 0.002;
        phase += 2 * M_PI * pitch / rate;
        double v = 0;
        for (int h = 1; h <= 12; ++h) v += std::sin(h * phase) / h;
        out[i] = level * envelope * (0.8 * v / 2.2 + 0.2 * (u(rng) - 0.5));
    }
    return out;
}

std::int16_t clip(double v) { return static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0)); }

double power(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
    return sum / double(std::max<std::size_t>(1, to - from));
}

double powerOf(const std::vector<double>& s, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += s[i] * s[i];
    return sum / double(std::max<std::size_t>(1, to - from));
}

double db(double ratio) { return 10 * std::log10(std::max(ratio, 1e-12)); }

struct Call {
    std::vector<std::int16_t> out;       // what the stage passed on
    std::vector<double> echoAtMic;       // the echo alone, as the microphone heard it
};

// Far talks from the start; `near` (may be empty) adds to the microphone.
// The echo path: `delayMs` late, `gain` and a short decaying tail.
Call run(VoiceProcessor& voice, std::uint32_t rate, std::uint32_t frame, const std::vector<double>& far,
         const std::vector<double>& near, double delayMs, double gain, bool withReference = true) {
    ReferenceRing ring;
    ReferenceRing* refs[] = {&ring};
    const std::size_t delay = static_cast<std::size_t>(rate * delayMs / 1000);
    const std::size_t n = far.size() / frame * frame;
    Call call;
    call.out.assign(n, 0);
    call.echoAtMic.assign(n, 0);
    std::vector<std::int16_t> played(n), mic(frame);
    for (std::size_t i = 0; i < n; ++i) played[i] = clip(far[i]);
    for (std::size_t i = 0; i < n; ++i) {
        double e = 0;
        for (std::size_t k = 0; k < 6; ++k)
            if (i >= delay + k * 8) e += gain * std::pow(0.5, double(k)) * 0.5 * played[i - delay - k * 8];
        call.echoAtMic[i] = e;
    }
    // The player hands its frames over two frames ahead of the speaker.
    const std::size_t ahead = 2 * frame;
    if (withReference) ring.push(played.data(), ahead, 40000);
    for (std::size_t at = 0; at < n; at += frame) {
        if (withReference && at + ahead + frame <= n) ring.push(played.data() + at + ahead, frame, 40000);
        for (std::size_t i = 0; i < frame; ++i)
            mic[i] = clip(call.echoAtMic[at + i] + (near.empty() ? 0.0 : near[at + i]));
        voice.process16(mic.data(), frame, withReference ? std::span<ReferenceRing* const>(refs)
                                                         : std::span<ReferenceRing* const>(), 10000);
        std::copy(mic.begin(), mic.end(), call.out.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return call;
}

// Correlation of the two signals' 20 ms envelopes.
double envelopeCorrelation(const std::vector<std::int16_t>& a, const std::vector<double>& b, std::size_t from,
                           std::size_t to, std::size_t window) {
    std::vector<double> ea, eb;
    for (std::size_t i = from; i + window <= to; i += window) {
        double sa = 0, sb = 0;
        for (std::size_t k = i; k < i + window; ++k) {
            sa += std::abs(double(a[k]));
            sb += std::abs(b[k]);
        }
        ea.push_back(sa);
        eb.push_back(sb);
    }
    double ma = 0, mb = 0;
    for (std::size_t i = 0; i < ea.size(); ++i) ma += ea[i], mb += eb[i];
    ma /= double(ea.size());
    mb /= double(eb.size());
    double num = 0, da = 0, dbb = 0;
    for (std::size_t i = 0; i < ea.size(); ++i) {
        num += (ea[i] - ma) * (eb[i] - mb);
        da += (ea[i] - ma) * (ea[i] - ma);
        dbb += (eb[i] - mb) * (eb[i] - mb);
    }
    return num / std::sqrt(std::max(da * dbb, 1e-12));
}

// The echo falls far below what reached the microphone, and a talker in the
// room who starts later (double talk) still comes through.
TEST(VoiceProcessorTest, RemovesAScriptedEchoAndKeepsTheNearTalker) {
    const std::uint32_t rate = 16000, frame = 320;
    VoiceProcessor voice(rate, frame);
    voice.setFeatures(kVoiceEchoCancel | kVoiceHighPass);
    const std::vector<double> far = talker(rate, 14, 1, 9000);
    std::vector<double> near = talker(rate, 14, 2, 6000);
    // The near talker is silent for the first 8 s.
    for (std::size_t i = 0; i < std::size_t(8 * rate); ++i) near[i] = 0;
    const Call call = run(voice, rate, frame, far, near, 40, 1.0);

    const double echoIn = powerOf(call.echoAtMic, 4 * rate, 8 * rate);
    const double echoOut = power(call.out, 4 * rate, 8 * rate);
    EXPECT_LT(db(echoOut / echoIn), -25.0) << "the echo must fall a lot once the canceller has converged";

    // Double talk from 10 s to 14 s: the near talker's envelope survives.
    const std::size_t from = 10 * rate, to = 14 * rate;
    EXPECT_GT(envelopeCorrelation(call.out, near, from, to, rate / 50), 0.5);
    EXPECT_GT(db(power(call.out, from, to) / powerOf(near, from, to)), -10.0);

    const VoiceStats stats = voice.stats();
    EXPECT_TRUE(stats.active);
    EXPECT_TRUE(stats.cancelling);
    EXPECT_GE(stats.delayMs, 0);
}

// A headset: the far end plays, the microphone hears only the near talker.
// The canceller's estimates of an echo that is not there must not move the
// delay it is told (once they did, to the end of its range, where a real
// echo that came later was then missed).
TEST(VoiceProcessorTest, WithoutAnEchoTheDelayToldStaysWhereTheDevicesPutIt) {
    const std::uint32_t rate = 16000, frame = 320;
    VoiceProcessor voice(rate, frame);
    voice.setFeatures(kVoiceEchoCancel | kVoiceHighPass);
    const std::vector<double> far = talker(rate, 20, 5, 9000);
    const std::vector<double> near = talker(rate, 20, 6, 6000);
    const Call call = run(voice, rate, frame, far, near, 40, 0.0);
    const VoiceStats stats = voice.stats();
    EXPECT_TRUE(stats.cancelling);
    EXPECT_GE(stats.delayMs, 0);
    EXPECT_LT(stats.delayMs, 100);
    // What the near talker said passes.
    EXPECT_GT(envelopeCorrelation(call.out, near, 10 * rate, 20 * rate, rate / 50), 0.8);
}

// LPC-10's frames are 22.5 ms at 8 kHz: not whole 10 ms blocks. Every frame
// still comes out whole, at a delay under one block, and the echo falls.
TEST(VoiceProcessorTest, FramesThatAreNotWholeBlocksAreProcessedToo) {
    const std::uint32_t rate = 8000, frame = 180;
    VoiceProcessor voice(rate, frame);
    EXPECT_GT(voice.delaySamples(), 0u);
    EXPECT_LT(voice.delaySamples(), 80u);
    voice.setFeatures(kVoiceEchoCancel | kVoiceHighPass);
    const std::vector<double> far = talker(rate, 10, 3, 9000);
    const Call call = run(voice, rate, frame, far, {}, 60, 1.0);
    const double echoIn = powerOf(call.echoAtMic, 5 * rate, 10 * rate - frame);
    const double echoOut = power(call.out, 5 * rate, 10 * rate - frame);
    EXPECT_LT(db(echoOut / echoIn), -20.0);
}

// Nobody plays (one-to-many): the canceller idles, the rest still acts and
// lifts a quiet talker (the gain control rises over some seconds).
TEST(VoiceProcessorTest, WithoutReferenceTheCancellerIdlesAndGainControlLifts) {
    const std::uint32_t rate = 16000, frame = 320;
    const std::vector<double> quiet = talker(rate, 12, 4, 600);
    std::vector<std::int16_t> in(quiet.size());
    for (std::size_t i = 0; i < quiet.size(); ++i) in[i] = clip(quiet[i]);
    VoiceProcessor lifted(rate, frame);
    const Call talk = run(lifted, rate, frame, std::vector<double>(quiet.size(), 0.0), quiet, 0, 0.0, false);
    EXPECT_GT(db(power(talk.out, 8 * rate, 12 * rate) / power(in, 8 * rate, 12 * rate)), 6.0);
    EXPECT_FALSE(lifted.stats().cancelling);
    EXPECT_TRUE(lifted.stats().active);
}

}  // namespace
}  // namespace ambrel
