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

// callerSpeaks: the clicks go from the caller (A) to the callee (B), which
// was ready before the call. Otherwise the callee speaks: it records from the
// moment it listens, and what it captured until the caller's first datagram
// reaches the caller's player in one burst.
void MouthToEar(benchmark::State& state, const char* codecName, bool callerSpeaks) {
    const auto id = codecIdFromName(codecName);
    CodecChoice probe = chooseCodec(*id, CodecSelection::kInitialFrameSamples);
    if (!probe.codec) {
        state.SkipWithError("codec not available");
        return;
    }
    const std::uint32_t rate = probe.sampleRate;
    const double frame = static_cast<double>(probe.frameSamples) / rate;
    std::vector<double> delays;
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
            b.link->listen("127.0.0.1", 0);
            waitUntil([&] { return b.audio->captureStartedAt() != Clock::time_point(); }, 10.0);
            a.link->connect("127.0.0.1", b.link->localSocketAddress().hostPort());
            const int frames = static_cast<int>((kLead + kPeriod * kClicks + kTail) / frame);
            waitUntil([&] { return ear.audio->framesPlayed() >= frames; }, 60.0);
            std::this_thread::sleep_for(std::chrono::duration<double>(13 * frame + 0.3));
            mouth0 = mouth.audio->captureStartedAt();
            ear0 = ear.audio->playerMadeAt();
            drops = ear.drops();
            stage = ear.engine().playerStats(ear.audio->playerIndex());
        }
        const auto onsets = clickOnsets(readWav(out), rate, kClicks);
        delays.clear();
        for (std::size_t c = 0; c < onsets.size(); ++c)
            delays.push_back(seconds(ear0 - mouth0) + onsets[c] - (kLead + kPeriod * static_cast<double>(c)));
        if (!reporter.lines().empty()) state.SkipWithError(reporter.lines().front().c_str());
    }
    if (delays.empty()) {
        state.SkipWithError("no click came out");
        return;
    }
    double sum = 0;
    for (double d : delays) sum += d;
    state.counters["clicks"] = static_cast<double>(delays.size());
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
