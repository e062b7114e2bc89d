// Helpers for calls through the private PulseAudio daemon of the test
// command: shell commands, null sinks of a test's own, a recorder listener
// that keeps what it hears, the likeness of what was said and heard, and a
// whole call that checks speech comes through.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "audio/CodecId.h"
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

// The best normalised correlation of `heard` with `said` over the lags
// 0..maxLag: a coarse search on 10 ms energy envelopes, then sample by sample
// around the best envelope lag.
struct Likeness {
    double envelope = 0;  // correlation of the 10 ms energy envelopes
    double waveform = 0;  // correlation of the samples themselves
};

inline Likeness compare(const Samples& said, const Samples& heard, std::size_t block, std::size_t maxLag) {
    auto envelope = [block](const Samples& s) {
        std::vector<double> e(s.size() / block);
        for (std::size_t i = 0; i < e.size(); ++i) e[i] = rms(&s[i * block], block);
        return e;
    };
    const auto es = envelope(said), eh = envelope(heard);
    std::size_t coarse = 0;
    double best = -1;
    for (std::size_t lag = 0; lag <= maxLag / block && lag + es.size() <= eh.size(); ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = 0; i < es.size(); ++i) {
            ab += es[i] * eh[i + lag], aa += es[i] * es[i], bb += eh[i + lag] * eh[i + lag];
        }
        const double c = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
        if (c > best) best = c, coarse = lag * block;
    }
    Likeness l;
    l.envelope = best;
    const std::size_t from = coarse > 2 * block ? coarse - 2 * block : 0;
    for (std::size_t lag = from; lag <= coarse + 2 * block && lag + said.size() <= heard.size(); ++lag)
        l.waveform = std::max(l.waveform, correlation(said.data(), heard.data() + lag, said.size()));
    return l;
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
    {
        Talker a(sound, &reporter, id, devices.micA, devices.spkA);
        Talker b(sound, &reporter, id, devices.micB, devices.spkB);
        startCall(b, a);
        ASSERT_TRUE(waitUntil([&] { return a.audio->framesPlayed() > 20 && b.audio->framesPlayed() > 20; }, 20.0))
            << (reporter.lines().empty() ? std::string("no call") : reporter.lines().front());
        ear.post(SoundRecorder::REC_START);
        ASSERT_TRUE(waitUntil([&] { return ear.isOpen(); }, 10.0));

        const int status = std::system(("paplay -d " + micA.name() + " --latency-msec=20 '" + wav + "'").c_str());
        ASSERT_EQ(status, 0) << "paplay failed";
        // paplay returns once the server has the sound; give it the time to
        // travel through A, the link and B's player.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ear.post(SoundRecorder::REC_STOP);
        ear.quitAndWait();
        EXPECT_GT(b.owner.maxOutput.load(), 10) << "B's level meter never moved";
    }
    EXPECT_TRUE(reporter.lines().empty()) << reporter.lines().front();

    const Samples got = heard.samples();
    ASSERT_GT(got.size(), said.size());
    const Likeness l = compare(said, got, rate / 100, got.size() - said.size());
    std::printf("%s call: heard %.2f s; correlation with what was said: envelope %.3f, waveform %.3f\n",
                label.c_str(), static_cast<double>(got.size()) / rate, l.envelope, l.waveform);
    // The envelope shows the speech arrived whole; the waveform, that it is
    // the same sound. Both are measured at one lag, so a gap where B's player
    // ran dry (a late datagram on a loaded machine) lowers them; typical
    // values are 0.98 and 0.8-0.9, unrelated sound gives about 0.
    EXPECT_GE(l.envelope, 0.8);
    EXPECT_GE(l.waveform, 0.3);
}

}  // namespace ambrel::test
