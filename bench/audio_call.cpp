// Two copies of the program in one process call each other on loopback with
// WAV file devices.
//
// MouthToEar: A records a click train; each click's delay is the time from the
// moment the click is in A's recording (the recording device's clock) to the
// moment B's playing device plays it (the playing device's clock), both clocks
// tied to the steady clock at the moment the device opened. Reported next to
// the design floor: four frames of packetisation plus one capture frame.
//
// CallCpu: CPU time (user + system) of the whole process during a full-duplex
// call, per minute of call, for both copies together and for one.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "audio/CodecId.h"
#include "audio/engine/CallSupport.h"
#include "audio/engine/FakeSound.h"
#include "platform/FileBackend.h"

namespace ambrel {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

constexpr double kLead = 1.0;     // s of silence before the first click
constexpr double kPeriod = 0.47;  // s between clicks: their phase against the frames varies
constexpr int kClicks = 12;
constexpr double kTail = 1.0;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Where each click starts in `played`: the first sample above a quarter of
// the loudest one, searched after the previous click.
std::vector<double> clickOnsets(const Samples& played, std::uint32_t rate, int clicks) {
    std::vector<double> at;
    const int16_t peak = played.empty() ? 0 : *std::max_element(played.begin(), played.end(), [](auto a, auto b) {
        return std::abs(a) < std::abs(b);
    });
    const int threshold = std::abs(peak) / 4;
    std::size_t p = 0;
    while (static_cast<int>(at.size()) < clicks && p < played.size()) {
        if (threshold > 0 && std::abs(played[p]) > threshold) {
            at.push_back(static_cast<double>(p) / rate);
            p += static_cast<std::size_t>(kPeriod * rate / 2);  // past this click's ringing
        } else {
            ++p;
        }
    }
    return at;
}

// Pearson correlation of what was played with what was recorded, one second
// of the recording at a time, each aligned on its own: the lag searched is
// within 5 ms of the delay its clicks had (`lags`, seconds from the
// recording's time to the playing file's time, one per click at `clickAt`).
double windowCorrelation(const Samples& sent, const Samples& heard, std::uint32_t rate,
                         const std::vector<double>& clickAt, const std::vector<double>& lags) {
    double total = 0;
    int windows = 0;
    for (std::size_t start = 0; start + rate <= sent.size(); start += rate) {
        const double t0 = static_cast<double>(start) / rate;
        double lag = -1;
        for (std::size_t c = 0; c < lags.size(); ++c)
            if (clickAt[c] >= t0 && clickAt[c] < t0 + 1) lag = lags[c];
        if (lag < 0) continue;  // nothing but silence in this second
        double best = -1;
        const long centre = std::lround(lag * rate), reach = rate / 200;
        for (long l = centre - reach; l <= centre + reach; ++l) {
            double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
            int n = 0;
            for (std::size_t i = start; i < start + rate; ++i) {
                const long j = static_cast<long>(i) + l;
                if (j < 0 || j >= static_cast<long>(heard.size())) continue;
                const double x = sent[i], y = heard[static_cast<std::size_t>(j)];
                sx += x, sy += y, sxx += x * x, syy += y * y, sxy += x * y, ++n;
            }
            if (n < static_cast<int>(rate) / 2) continue;
            const double vx = sxx - sx * sx / n, vy = syy - sy * sy / n;
            if (vx > 0 && vy > 0) best = std::max(best, (sxy - sx * sy / n) / std::sqrt(vx * vy));
        }
        total += best;
        ++windows;
    }
    return windows == 0 ? 0 : total / windows;
}

// callerSpeaks: the clicks go from the caller (A) to the callee (B), which
// was ready before the call. Otherwise the callee speaks: it records from the
// moment it listens, and what it captured until the caller's first datagram
// reaches the caller's player in one burst.
// host: the loopback address of the call's family ("127.0.0.1" or "::1").
void MouthToEar(benchmark::State& state, const char* codecName, bool callerSpeaks, const char* host = "127.0.0.1") {
    const auto id = codecIdFromName(codecName);
    CodecChoice probe = chooseCodec(*id, CodecSelection::kInitialFrameSamples);
    if (!probe.codec) {
        state.SkipWithError("codec not available");
        return;
    }
    const std::uint32_t rate = probe.sampleRate;
    const double frame = static_cast<double>(probe.frameSamples) / rate;
    std::vector<double> delays;
    double correlation = 0;
    std::uint64_t drops = 0;
    PlayoutStats stage;
    for (auto _ : state) {
        ScratchDir dir("bench-delay");
        SoundSystem sound;
        sound.addBackend(makeFileBackend());
        CollectingReporter reporter;
        const std::string in = dir.file("clicks.wav"), out = dir.file("heard.wav"), quiet = dir.file("quiet.wav");
        writeWav(in, clickTrain(rate, kLead, kPeriod, kClicks, kTail), rate);
        writeWav(quiet, Samples(rate / 10, 0), rate);
        auto file = [&](const std::string& path) { return sound.alias(SoundDeviceRef::file(path)); };
        Clock::time_point mouth0, ear0;
        {
            const std::string unused = dir.file("unused.wav");
            Talker b(sound, &reporter, *id, file(callerSpeaks ? quiet : in), file(callerSpeaks ? out : unused));
            Talker a(sound, &reporter, *id, file(callerSpeaks ? in : quiet), file(callerSpeaks ? unused : out));
            Talker& mouth = callerSpeaks ? a : b;
            Talker& ear = callerSpeaks ? b : a;
            // B listens first and A connects only once B's worker is in its
            // call loop: otherwise A's first datagrams wait in B's socket and
            // arrive as one burst that fills B's ring, and that backlog stays
            // in the delay for the whole call (the ring never drains faster
            // than it plays).
            b.link->listen(host, 0);
            waitUntil([&] { return b.audio->captureStartedAt() != Clock::time_point(); }, 10.0);
            a.link->connect(host, b.link->localSocketAddress().hostPort());
            const int frames = static_cast<int>((kLead + kPeriod * kClicks + kTail) / frame);
            waitUntil([&] { return ear.audio->framesPlayed() >= frames; }, 60.0);
            std::this_thread::sleep_for(std::chrono::duration<double>(13 * frame + 0.3));
            mouth0 = mouth.audio->captureStartedAt();
            ear0 = ear.audio->playerMadeAt();
            drops = ear.drops();
            stage = ear.engine().playerStats(ear.audio->playerIndex());
        }
        const Samples heard = readWav(out);
        const auto onsets = clickOnsets(heard, rate, kClicks);
        delays.clear();
        std::vector<double> clickAt, lags;
        for (std::size_t c = 0; c < onsets.size(); ++c) {
            clickAt.push_back(kLead + kPeriod * static_cast<double>(c));
            lags.push_back(onsets[c] - clickAt.back());
            delays.push_back(seconds(ear0 - mouth0) + lags.back());
        }
        correlation = windowCorrelation(readWav(in), heard, rate, clickAt, lags);
        if (!reporter.lines().empty()) state.SkipWithError(reporter.lines().front().c_str());
    }
    if (delays.empty()) {
        state.SkipWithError("no click came out");
        return;
    }
    double sum = 0;
    for (double d : delays) sum += d;
    state.counters["clicks"] = static_cast<double>(delays.size());
    state.counters["correlation"] = correlation;
    // The playout stage's own view: sound it held on average, frames made up
    // and left out.
    state.counters["stage_delay_ms"] = stage.delayMs;
    state.counters["stage_target_ms"] = stage.targetMs;
    state.counters["concealed"] = static_cast<double>(stage.concealed);
    state.counters["shed"] = static_cast<double>(stage.dropped);
    state.counters["delay_min_ms"] = 1000 * *std::min_element(delays.begin(), delays.end());
    state.counters["delay_mean_ms"] = 1000 * sum / static_cast<double>(delays.size());
    state.counters["delay_max_ms"] = 1000 * *std::max_element(delays.begin(), delays.end());
    state.counters["floor_ms"] = 1000 * 5 * frame;
    state.counters["frame_ms"] = 1000 * frame;
    state.counters["drops"] = static_cast<double>(drops);
}

BENCHMARK_CAPTURE(MouthToEar, speex_16khz, "speex_16khz", true)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
// The same call over IPv6 loopback, to set beside the first.
BENCHMARK_CAPTURE(MouthToEar, speex_16khz_ipv6, "speex_16khz", true, "::1")
    ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(MouthToEar, gsm_8khz, "gsm_8khz", true)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(MouthToEar, ilbc_8khz, "ilbc_8khz", true)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(MouthToEar, g711_8khz, "g711_8khz", true)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(MouthToEar, speex_16khz_callee_speaks, "speex_16khz", false)
    ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void CallCpu(benchmark::State& state, const char* codecName) {
    const auto id = codecIdFromName(codecName);
    const double callSeconds = static_cast<double>(state.range(0));
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        ScratchDir dir("bench-cpu");
        SoundSystem sound;
        sound.addBackend(makeFileBackend());
        CollectingReporter reporter;
        const std::uint32_t rate = chooseCodec(*id, CodecSelection::kInitialFrameSamples).sampleRate;
        writeWav(dir.file("a.wav"), synthSpeech(rate, 0.2, callSeconds, 0.2, 1.0), rate);
        writeWav(dir.file("b.wav"), synthSpeech(rate, 0.2, callSeconds, 0.2, 1.5), rate);
        auto file = [&](const std::string& path) { return sound.alias(SoundDeviceRef::file(path)); };
        Talker a(sound, &reporter, *id, file(dir.file("a.wav")), file(dir.file("a-out.wav")));
        Talker b(sound, &reporter, *id, file(dir.file("b.wav")), file(dir.file("b-out.wav")));
        startCall(b, a);
        waitUntil([&] { return a.audio->framesPlayed() > 0 && b.audio->framesPlayed() > 0; }, 10.0);
        const double cpu0 = cpuSeconds();
        const auto wall0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(callSeconds));
        cpu = cpuSeconds() - cpu0;
        wall = seconds(Clock::now() - wall0);
    }
    state.counters["cpu_s_per_call_minute_both"] = cpu * 60 / wall;
    state.counters["cpu_s_per_call_minute_one"] = cpu * 30 / wall;
    state.counters["cpu_percent_one"] = 100 * cpu / 2 / wall;
}

BENCHMARK_CAPTURE(CallCpu, speex_16khz, "speex_16khz")->Arg(20)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace ambrel
