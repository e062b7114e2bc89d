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
#include "audio/engine/PulseCallSupport.h"
#include "platform/PulseBackend.h"

namespace ambrel {
namespace {

using namespace test;


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

    SoundSystem sound;
    sound.addBackend(makePulseBackend());
    auto device = [&](const std::string& name) { return sound.alias(SoundDeviceRef::named(name, "pulse")); };
    checkSpeechComesThrough(sound, id, rate,
                            {device(micA.name() + ".monitor"), device(spkA.name()), device(micB.name() + ".monitor"),
                             device(spkB.name())},
                            micA, spkB, "pulse");
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

}  // namespace
}  // namespace ambrel
