// A call through the private PulseAudio daemon of the test command: A records
// the monitor of a null sink that paplay feeds, B plays into another null sink
// whose monitor a recorder of our own captures. The speech must come out.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "audio/CodecId.h"
#include "audio/SoundRecorder.h"
#include "audio/engine/CallSupport.h"
#include "audio/engine/FakeSound.h"
#include "platform/AlsaBackend.h"
#include "platform/PulseBackend.h"

#include <alsa/error.h>
#include <cerrno>

namespace ambrel {
namespace {

using namespace test;

std::string run(const std::string& command) {
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

// The best normalised correlation of `heard` with `said` over the lags
// 0..maxLag: a coarse search on 10 ms energy envelopes, then sample by sample
// around the best envelope lag.
struct Likeness {
    double envelope = 0;  // correlation of the 10 ms energy envelopes
    double waveform = 0;  // correlation of the samples themselves
};

Likeness compare(const Samples& said, const Samples& heard, std::size_t block, std::size_t maxLag) {
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

TEST(CallPulseTest, SpeechFedIntoOneSinkComesOutOfTheOther) {
    if (!std::getenv("PULSE_SERVER"))
        GTEST_SKIP() << "PULSE_SERVER is not set: run under tests/support/with-pulse.sh for a private daemon";
    if (run("command -v paplay").empty()) GTEST_SKIP() << "paplay is not installed (pulseaudio-utils)";

    const CodecId id = kDefaultCodecId;  // speex 16 KHz
    const std::uint32_t rate = 16000;
    const std::string tag = "ambrel_call" + std::to_string(::getpid());
    NullSink micA(tag + "_a_mic", rate), spkA(tag + "_a_spk", rate), micB(tag + "_b_mic", rate),
        spkB(tag + "_b_spk", rate);
    ASSERT_TRUE(micA.loaded() && spkA.loaded() && micB.loaded() && spkB.loaded())
        << "pactl cannot load null sinks into the test daemon";

    ScratchDir dir("pulse-call");
    const Samples said = synthSpeech(rate, 0.3, 1.6, 0.3, 1.0);
    const std::string wav = dir.file("said.wav");
    ASSERT_TRUE(writeWav(wav, said, rate));

    SoundSystem sound;
    sound.addBackend(makePulseBackend());
    CollectingReporter reporter;
    auto device = [&](const std::string& name) { return sound.alias(SoundDeviceRef::named(name, "pulse")); };

    Capture heard;
    SoundRecorder ear(sound, &reporter);
    ear.setListener(&heard);
    ear.setSampleRate(rate);
    ear.setSamplesPerBlock(320);
    ear.setDeviceId(device(spkB.name() + ".monitor"));
    {
        Talker a(sound, &reporter, id, device(micA.name() + ".monitor"), device(spkA.name()));
        Talker b(sound, &reporter, id, device(micB.name() + ".monitor"), device(spkB.name()));
        startCall(b, a);
        ASSERT_TRUE(waitUntil([&] { return a.audio->framesPlayed() > 20 && b.audio->framesPlayed() > 20; }, 20.0))
            << (reporter.lines().empty() ? std::string("no call") : reporter.lines().front());
        ear.post(SoundRecorder::REC_START);
        ASSERT_TRUE(waitUntil([&] { return ear.isOpen(); }, 10.0));

        const int status = std::system(("paplay -d " + micA.name() + " --latency-msec=20 '" + wav + "'").c_str());
        ASSERT_EQ(status, 0) << "paplay failed";
        // paplay returns once the server has the sound; give it the time to
        // travel through A, the link and B's 12 buffers.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ear.post(SoundRecorder::REC_STOP);
        ear.quitAndWait();
        EXPECT_GT(b.owner.maxOutput.load(), 10) << "B's level meter never moved";
    }
    EXPECT_TRUE(reporter.lines().empty()) << reporter.lines().front();

    const Samples got = heard.samples();
    ASSERT_GT(got.size(), said.size());
    const Likeness l = compare(said, got, rate / 100, got.size() - said.size());
    std::printf("pulse call: heard %.2f s; correlation with what was said: envelope %.3f, waveform %.3f\n",
                static_cast<double>(got.size()) / rate, l.envelope, l.waveform);
    // The envelope shows the speech arrived whole; the waveform, that it is
    // the same sound. Both are measured at one lag, so a gap where B's player
    // ran dry (a late datagram on a loaded machine) lowers them; typical
    // values are 0.98 and 0.8-0.9, unrelated sound gives about 0.
    EXPECT_GE(l.envelope, 0.8);
    EXPECT_GE(l.waveform, 0.3);
}

// A microphone that is not there yet (a headset still to be plugged in): one
// "Open" error, and the next start finds it.
TEST(CallPulseTest, AMissingSourceGivesOneOpenErrorAndTheNextStartFindsIt) {
    if (!std::getenv("PULSE_SERVER"))
        GTEST_SKIP() << "PULSE_SERVER is not set: run under tests/support/with-pulse.sh for a private daemon";
    SoundSystem sound;
    sound.addBackend(makePulseBackend());
    CollectingReporter reporter;
    Capture heard;
    const std::string name = "ambrel_late" + std::to_string(::getpid());
    SoundRecorder recorder(sound, &reporter);
    recorder.setListener(&heard);
    recorder.setSampleRate(16000);
    recorder.setSamplesPerBlock(320);
    recorder.setDeviceId(sound.alias(SoundDeviceRef::named(name + ".monitor", "pulse")));

    recorder.post(SoundRecorder::REC_START);
    ASSERT_TRUE(waitUntil([&] { return !reporter.lines().empty(); }, 10.0));
    EXPECT_EQ(reporter.lines()[0].rfind("RECORD: Open : ", 0), 0u) << reporter.lines()[0];
    EXPECT_FALSE(recorder.isOpen());

    NullSink sink(name, 16000);
    ASSERT_TRUE(sink.loaded());
    recorder.post(SoundRecorder::REC_START);
    ASSERT_TRUE(waitUntil([&] { return recorder.isOpen(); }, 10.0));
    recorder.post(SoundRecorder::REC_STOP);
    recorder.quitAndWait();
    EXPECT_EQ(reporter.lines().size(), 1u);
}

// ---------------------------------------------------------------------------
// The same call with ALSA devices: ALSA's pulse plugin carries them to the
// test daemon, defined in a ~/.asoundrc of the test's own.

// A scratch HOME whose .asoundrc defines `pcms` (name -> PulseAudio device)
// as pulse-plugin PCMs with a hint each. Set before ALSA reads its
// configuration (each test runs in a process of its own).
class AlsaHome {
public:
    explicit AlsaHome(const std::vector<std::pair<std::string, std::string>>& pcms) : dir_("alsa-home") {
        std::string rc;
        for (const auto& [name, device] : pcms)
            rc += "pcm." + name + " { type pulse device \"" + device + "\" hint { show on description \"" + name +
                  " via the test daemon\" } }\n";
        if (FILE* f = std::fopen(dir_.file(".asoundrc").c_str(), "w")) {
            std::fputs(rc.c_str(), f);
            std::fclose(f);
        }
        ::setenv("HOME", dir_.file("").c_str(), 1);
    }

private:
    ScratchDir dir_;
};

// Empty when ALSA reaches the test daemon, else why the test cannot run.
std::string alsaPulseProblem(SoundSystem& sound) {
    if (!std::getenv("PULSE_SERVER")) return "PULSE_SERVER is not set: run under tests/support/with-pulse.sh";
    MessageThread thread;
    SoundError error;
    SoundFormat f;
    if (sound.openOutput(SoundDeviceRef::named("pulse", "alsa"), f, thread, error)) return {};
    // alsa-lib's answer when a PCM type has no plugin library.
    if (error.text.rfind(snd_strerror(-ENXIO), 0) == 0)
        return "ALSA's pulse plugin is not installed (libasound2-plugins)";
    return "ALSA cannot reach the test daemon: " + error.text;
}

TEST(CallPulseTest, SpeechGoesThroughAlsaDevicesOverThePulsePlugin) {
    const CodecId id = kDefaultCodecId;  // speex 16 KHz
    const std::uint32_t rate = 16000;
    const std::string tag = "ambrel_alsa" + std::to_string(::getpid());
    AlsaHome home({{"mic_a", tag + "_a_mic.monitor"}, {"spk_a", tag + "_a_spk"}, {"mic_b", tag + "_b_mic.monitor"}});
    SoundSystem sound;
    sound.addBackend(makePulseBackend());
    sound.addBackend(makeAlsaBackend());
    if (auto why = alsaPulseProblem(sound); !why.empty()) GTEST_SKIP() << why;
    if (run("command -v paplay").empty()) GTEST_SKIP() << "paplay is not installed (pulseaudio-utils)";

    NullSink micA(tag + "_a_mic", rate), spkA(tag + "_a_spk", rate), micB(tag + "_b_mic", rate),
        spkB(tag + "_b_spk", rate);
    ASSERT_TRUE(micA.loaded() && spkA.loaded() && micB.loaded() && spkB.loaded());
    ScratchDir dir("alsa-call");
    const Samples said = synthSpeech(rate, 0.3, 1.6, 0.3, 1.0);
    const std::string wav = dir.file("said.wav");
    ASSERT_TRUE(writeWav(wav, said, rate));

    CollectingReporter reporter;
    auto alsa = [&](const std::string& name) { return sound.alias(SoundDeviceRef::named(name, "alsa")); };
    Capture heard;
    SoundRecorder ear(sound, &reporter);
    ear.setListener(&heard);
    ear.setSampleRate(rate);
    ear.setSamplesPerBlock(320);
    ear.setDeviceId(sound.alias(SoundDeviceRef::named(spkB.name() + ".monitor", "pulse")));
    {
        // B's speaker by the plugin's own "pulse:DEVICE" name, colon and all.
        Talker a(sound, &reporter, id, alsa("mic_a"), alsa("spk_a"));
        Talker b(sound, &reporter, id, alsa("mic_b"), alsa("pulse:" + spkB.name()));
        startCall(b, a);
        ASSERT_TRUE(waitUntil([&] { return a.audio->framesPlayed() > 20 && b.audio->framesPlayed() > 20; }, 20.0))
            << (reporter.lines().empty() ? std::string("no call") : reporter.lines().front());
        ear.post(SoundRecorder::REC_START);
        ASSERT_TRUE(waitUntil([&] { return ear.isOpen(); }, 10.0));
        ASSERT_EQ(std::system(("paplay -d " + micA.name() + " --latency-msec=20 '" + wav + "'").c_str()), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ear.post(SoundRecorder::REC_STOP);
        ear.quitAndWait();
        EXPECT_GT(b.owner.maxOutput.load(), 10) << "B's level meter never moved";
    }
    EXPECT_TRUE(reporter.lines().empty()) << reporter.lines().front();

    const Samples got = heard.samples();
    ASSERT_GT(got.size(), said.size());
    const Likeness l = compare(said, got, rate / 100, got.size() - said.size());
    std::printf("alsa call: heard %.2f s; correlation with what was said: envelope %.3f, waveform %.3f\n",
                static_cast<double>(got.size()) / rate, l.envelope, l.waveform);
    EXPECT_GE(l.envelope, 0.8);
    EXPECT_GE(l.waveform, 0.3);
}

// An ALSA device that does not exist: the usual error lines with ALSA's text,
// and the program goes on (the next start tries again).
TEST(CallPulseTest, AnAbsentAlsaDeviceGivesTheErrorLineWithAlsasText) {
    SoundSystem sound;
    sound.addBackend(makePulseBackend());
    sound.addBackend(makeAlsaBackend());
    CollectingReporter reporter;
    Capture heard;
    SoundRecorder recorder(sound, &reporter);
    recorder.setListener(&heard);
    recorder.setSampleRate(8000);
    recorder.setSamplesPerBlock(160);
    recorder.setDeviceId(sound.alias(SoundDeviceRef::named("hw:9,0", "alsa")));
    recorder.post(SoundRecorder::REC_START);
    ASSERT_TRUE(waitUntil([&] { return !reporter.lines().empty(); }, 10.0));
    const std::string expected = std::string("RECORD: Open : 2 : ") + snd_strerror(-ENOENT) + " (alsa:hw:9,0)";
    EXPECT_EQ(reporter.lines()[0], expected);
    EXPECT_FALSE(recorder.isOpen());
    recorder.post(SoundRecorder::REC_START);
    ASSERT_TRUE(waitUntil([&] { return reporter.lines().size() == 2; }, 10.0));
    recorder.quitAndWait();

    Talker t(sound, &reporter, kDefaultCodecId, -1, sound.alias(SoundDeviceRef::named("no_such_pcm", "alsa")));
    ASSERT_TRUE(waitUntil([&] { return reporter.lines().size() == 3; }, 10.0));
    EXPECT_EQ(reporter.lines()[2].rfind("PLAY : PlayStart :2:", 0), 0u) << reporter.lines()[2];
    EXPECT_NE(reporter.lines()[2].find("(alsa:no_such_pcm)"), std::string::npos) << reporter.lines()[2];
}

}  // namespace
}  // namespace ambrel
