// Helpers for calls through the private PulseAudio daemon of the test
// command: shell commands, null sinks of a test's own, a recorder listener
// that keeps what it hears, the likeness of what was said and heard, and a
// whole call that checks speech comes through.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/CodecId.h"
#include "audio/PlayoutStats.h"
#include "audio/SoundListener.h"
#include "audio/SoundRecorder.h"
#include "audio/engine/CallSupport.h"

namespace ambrel::test {

inline std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, p)) out += line;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// A null sink of this test's own (other tests use the daemon's sinks at the
// same time), at the call's format so the daemon routes it without resampling.
class NullSink {
public:
    NullSink(const std::string& name, std::uint32_t rate) : name_(name) {
        module_ = run("pactl load-module module-null-sink sink_name=" + name + " rate=" + std::to_string(rate) +
                      " channels=1 format=s16le 2>/dev/null");
    }
    ~NullSink() {
        if (!module_.empty()) run("pactl unload-module " + module_ + " 2>/dev/null");
    }
    bool loaded() const { return !module_.empty() && module_.find_first_not_of("0123456789") == std::string::npos; }
    const std::string& name() const { return name_; }

private:
    std::string name_, module_;
};

// Collects what a recorder delivers (recorder thread).
class Capture : public SoundListener {
public:
    void block(const std::uint8_t* data, std::size_t n) override {
        std::lock_guard<std::mutex> hold(mutex_);
        const std::size_t at = samples_.size();
        samples_.resize(at + n / 2);
        std::memcpy(samples_.data() + at, data, n / 2 * 2);
    }
    Samples samples() {
        std::lock_guard<std::mutex> hold(mutex_);
        return samples_;
    }

private:
    std::mutex mutex_;
    Samples samples_;
};

// Sets `ear` up to record `rate` Hz into `heard` from the server's `source`.
inline void listenTo(SoundRecorder& ear, Capture& heard, SoundSystem& sound, const std::string& source,
                     std::uint32_t rate) {
    ear.setListener(&heard);
    ear.setSampleRate(rate);
    ear.setSamplesPerBlock(320);
    ear.setDeviceId(sound.alias(SoundDeviceRef::named(source, "pulse")));
}

// Energy envelope: the RMS of each `block` samples.
inline std::vector<double> envelopeOf(const Samples& s, std::size_t block) {
    std::vector<double> e(s.size() / block);
    for (std::size_t i = 0; i < e.size(); ++i) e[i] = rms(&s[i * block], block);
    return e;
}

// Normalised correlation of a[aFrom..aFrom+n) with b[bFrom..bFrom+n).
inline double envelopeCorrelation(const std::vector<double>& a, std::size_t aFrom, const std::vector<double>& b,
                                  std::size_t bFrom, std::size_t n) {
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ab += a[aFrom + i] * b[bFrom + i], aa += a[aFrom + i] * a[aFrom + i], bb += b[bFrom + i] * b[bFrom + i];
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// One second of what was said, found on its own in what was heard.
struct WindowLikeness {
    std::size_t start = 0, length = 0;  // in what was said, samples
    std::size_t heardAt = 0;            // where the envelope puts it in what was heard
    double envelope = -1;               // correlation of the 10 ms envelopes; -1: not heard far enough yet
    double waveform = 0;                // correlation of the samples themselves (when asked)
};

// Each second of `said` (a remainder under half a second joins the last)
// aligned on its own in `heard`, 10 ms (`block`) at a time, then sample by
// sample, a quarter of it at a time, when `waveform` is asked (the costly
// part). A
// call's player makes up, leaves out and shortens frames, so later sound
// comes earlier or later than one lag would put it. The whole of `said`
// (silence, speech, silence) fixes where the first second is looked for;
// each window is looked for within `drift` blocks of the lag of the one
// before, under half a syllable of synthSpeech so it cannot lock one
// syllable off.
inline std::vector<WindowLikeness> compareByWindow(const Samples& said, const Samples& heard, std::uint32_t rate,
                                                   bool waveform, std::size_t drift = 12) {
    const std::size_t block = rate / 100;
    const auto es = envelopeOf(said, block), eh = envelopeOf(heard, block);
    std::vector<WindowLikeness> out;
    if (es.empty() || eh.size() < es.size()) return out;
    std::size_t lag = 0;  // in blocks
    double best = -1;
    for (std::size_t l = 0; l + es.size() <= eh.size(); ++l) {
        const double c = envelopeCorrelation(es, 0, eh, l, es.size());
        if (c > best) best = c, lag = l;
    }
    if (waveform) {
        // synthSpeech says a syllable every quarter second, so the envelopes
        // match nearly as well a syllable or two off, where the sound itself
        // does not match at all: the samples choose among such lags.
        const std::size_t syllable = rate / 4 / block;
        double bestWave = -2;
        std::size_t chosen = lag;
        for (std::size_t k = 0; k <= 6; ++k) {
            if (lag + k * syllable < 3 * syllable) continue;
            const std::size_t l = lag + k * syllable - 3 * syllable;
            if ((l + es.size()) * block > heard.size()) break;
            double c = -1;
            for (std::size_t p = l * block > 2 * block ? (l - 2) * block : 0;
                 p <= (l + 2) * block && p + said.size() <= heard.size(); ++p)
                c = std::max(c, correlation(said.data(), heard.data() + p, said.size()));
            if (c > bestWave) bestWave = c, chosen = l;
        }
        lag = chosen;
    }
    const std::size_t perWindow = rate / block;
    for (std::size_t from = 0; from < es.size();) {
        std::size_t n = std::min(perWindow, es.size() - from);
        if (es.size() - from - n < perWindow / 2) n = es.size() - from;
        WindowLikeness w;
        w.start = from * block, w.length = n * block;
        const std::size_t lo = lag > drift ? lag - drift : 0;
        for (std::size_t l = lo; l <= lag + drift && from + l + n <= eh.size(); ++l) {
            const double c = envelopeCorrelation(es, from, eh, from + l, n);
            if (c > w.envelope) w.envelope = c, w.heardAt = (from + l) * block;
        }
        if (w.envelope >= 0) lag = w.heardAt / block - from;
        if (waveform && w.envelope >= 0) {
            // A quarter of the window at a time, each within three blocks of
            // where the one before ended (a frame made up or left out moves
            // the rest of the second by a frame), weighted by what was said
            // in it.
            std::size_t expect = w.heardAt;
            double sum = 0, weight = 0;
            for (std::size_t q = 0; q < 4; ++q) {
                const std::size_t from = w.start + q * (w.length / 4);
                const std::size_t length = q == 3 ? w.start + w.length - from : w.length / 4;
                double best = 0;
                std::size_t bestAt = expect;
                for (std::size_t p = expect > 3 * block ? expect - 3 * block : 0;
                     p <= expect + 3 * block && p + length <= heard.size(); ++p) {
                    const double c = correlation(said.data() + from, heard.data() + p, length);
                    if (c > best) best = c, bestAt = p;
                }
                const double energy = rms(said.data() + from, length) * rms(said.data() + from, length);
                sum += best * energy, weight += energy;
                expect = bestAt + length;
            }
            w.waveform = weight > 0 ? sum / weight : 0;
        }
        out.push_back(w);
        from += n;
    }
    return out;
}

// The recording and playing devices of both ends of a call.
struct CallDevices {
    int micA = -1, spkA = -1, micB = -1, spkB = -1;
};

// A calls B with `id` over `devices`. Speech is played into the null sink
// `micA` (whose monitor A records), and a recorder of the test's own captures
// the monitor of `spkB`, where B plays. Checks that the call ran without an
// error line, that B's level meter moved, and that what came out is what was
// said. `label` names the call in the output.
inline void checkSpeechComesThrough(SoundSystem& sound, CodecId id, std::uint32_t rate, const CallDevices& devices,
                                    const NullSink& micA, const NullSink& spkB, const std::string& label) {
    ScratchDir dir(label + "-call");
    const Samples said = synthSpeech(rate, 0.3, 1.6, 0.3, 1.0);
    const std::string wav = dir.file("said.wav");
    ASSERT_TRUE(writeWav(wav, said, rate));

    CollectingReporter reporter;
    Capture heard;
    SoundRecorder ear(sound, &reporter);
    listenTo(ear, heard, sound, spkB.name() + ".monitor", rate);
    PlayoutStats stats;
    {
        Talker a(sound, &reporter, id, devices.micA, devices.spkA);
        Talker b(sound, &reporter, id, devices.micB, devices.spkB);
        startCall(b, a);
        ASSERT_TRUE(waitUntil([&] { return a.audio->framesPlayed() > 20 && b.audio->framesPlayed() > 20; }, 20.0))
            << (reporter.lines().empty() ? std::string("no call") : reporter.lines().front());
        ear.post(SoundRecorder::REC_START);
        // Open is not yet recording: the speech starts once the ear has
        // taken a fifth of a second of B's sound, or its start is missed.
        ASSERT_TRUE(waitUntil([&] { return ear.isOpen() && heard.samples().size() >= rate / 5; }, 10.0));

        const int status = std::system(("paplay -d " + micA.name() + " --latency-msec=20 '" + wav + "'").c_str());
        ASSERT_EQ(status, 0) << "paplay failed";
        // paplay returns once the server has the sound, which then travels
        // through A, the link and B's player for however long a loaded
        // machine makes it: the ear records until the last second of it has
        // been heard and a fifth of a second more (or gives up after 20 s).
        waitUntil(
            [&] {
                const Samples now = heard.samples();
                const auto w = compareByWindow(said, now, rate, false);
                // (a quarter second more: a syllable, which the envelopes
                // alone may be off by)
                return !w.empty() && w.back().envelope >= 0 &&
                       w.back().heardAt + w.back().length + rate / 5 + rate / 4 <= now.size();
            },
            20.0);
        ear.post(SoundRecorder::REC_STOP);
        ear.quitAndWait();
        EXPECT_GT(b.owner.maxOutput.load(), 10) << "B's level meter never moved";
        stats = b.link->playbackStats();
    }
    EXPECT_TRUE(reporter.lines().empty()) << reporter.lines().front();

    const Samples got = heard.samples();
    ASSERT_GT(got.size(), said.size());
    const auto windows = compareByWindow(said, got, rate, true);
    std::printf("%s call: heard %.2f s; B's player made up %llu, left out %llu, shortened %llu frames\n",
                label.c_str(), static_cast<double>(got.size()) / rate,
                static_cast<unsigned long long>(stats.concealed), static_cast<unsigned long long>(stats.dropped),
                static_cast<unsigned long long>(stats.shortened));
    // The envelope shows the speech arrived whole; the waveform, that it is
    // the same sound. Each second is aligned on its own, so only a frame made
    // up or cut inside a second lowers its figures; typical values are
    // 0.9-0.97 and 0.55-0.75 (0.5 on a loaded machine), unrelated sound
    // gives about 0.
    for (const WindowLikeness& w : windows) {
        std::printf("  second at %.2f s: heard at %.2f s, envelope %.3f, waveform %.3f\n",
                    static_cast<double>(w.start) / rate, static_cast<double>(w.heardAt) / rate, w.envelope,
                    w.waveform);
        EXPECT_GE(w.envelope, 0.8) << "the second at " << static_cast<double>(w.start) / rate << " s";
        EXPECT_GE(w.waveform, 0.3) << "the second at " << static_cast<double>(w.start) / rate << " s";
    }
}

}  // namespace ambrel::test
