// Calls with ALSA devices: ALSA's pulse plugin carries them to the private
// PulseAudio daemon of the test command, as PCMs of a ~/.asoundrc of the
// test's own. The speech must come out; a device that is not there gives the
// usual error line with ALSA's text.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/CodecId.h"
#include "audio/SoundRecorder.h"
#include "audio/engine/CallSupport.h"
#include "audio/engine/FakeSound.h"
#include "audio/engine/PulseCallSupport.h"
#include "platform/AlsaBackend.h"
#include "platform/PulseBackend.h"

namespace ambrel {
namespace {

using namespace test;

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

TEST(CallAlsaTest, SpeechGoesThroughAlsaDevicesOverThePulsePlugin) {
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
    auto alsa = [&](const std::string& name) { return sound.alias(SoundDeviceRef::named(name, "alsa")); };
    // B's speaker by the plugin's own "pulse:DEVICE" name, colon and all.
    checkSpeechComesThrough(sound, id, rate,
                            {alsa("mic_a"), alsa("spk_a"), alsa("mic_b"), alsa("pulse:" + spkB.name())}, micA, spkB,
                            "alsa");
}

// An ALSA device that does not exist: the usual error lines with ALSA's text,
// and the program goes on (the next start tries again).
TEST(CallAlsaTest, AnAbsentAlsaDeviceGivesTheErrorLineWithAlsasText) {
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
