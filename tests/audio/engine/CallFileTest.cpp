// Two copies of the program hold a call on loopback, each recording from a WAV
// file and playing into one. What each side plays must be exactly what the
// codec makes of the other side's recording (Speex: nearly so).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "audio/CodecId.h"
#include "audio/engine/CallSupport.h"
#include "audio/engine/FakeSound.h"
#include "platform/FileBackend.h"

namespace ambrel {
namespace {

using namespace test;

struct Direction {
    Samples input;
    std::string in, out;
};

void holdCall(const std::string& codecName, bool exact) {
    const auto id = codecIdFromName(codecName);
    ASSERT_TRUE(id) << codecName;
    ScratchDir dir("call-" + codecName);
    SoundSystem sound;
    sound.addBackend(makeFileBackend());
    CollectingReporter reporter;

    CodecChoice probe = chooseCodec(*id, CodecSelection::kInitialFrameSamples);
    const std::uint32_t rate = probe.sampleRate;
    const std::size_t frame = probe.frameSamples;
    // Different voices each way, so a mixed-up direction cannot pass.
    Direction ab{synthSpeech(rate, 0.8, 1.6, 0.6, 1.0), dir.file("a-in.wav"), dir.file("b-out.wav")};
    Direction ba{synthSpeech(rate, 0.8, 1.6, 0.6, 1.6), dir.file("b-in.wav"), dir.file("a-out.wav")};
    ASSERT_TRUE(writeWav(ab.in, ab.input, rate));
    ASSERT_TRUE(writeWav(ba.in, ba.input, rate));
    auto file = [&](const std::string& path) { return sound.alias(SoundDeviceRef::file(path)); };

    std::uint64_t dropsAtA = 0, dropsAtB = 0;
    {
        Talker a(sound, &reporter, *id, file(ab.in), file(ba.out));
        Talker b(sound, &reporter, *id, file(ba.in), file(ab.out));
        startCall(b, a);
        // Every frame of both recordings has reached the other side's player...
        const int framesA = static_cast<int>(ab.input.size() / frame);
        const int framesB = static_cast<int>(ba.input.size() / frame);
        ASSERT_TRUE(waitUntil([&] { return b.audio->framesPlayed() >= framesA && a.audio->framesPlayed() >= framesB; },
                              60.0))
            << "played at B " << b.audio->framesPlayed() << " of " << framesA << ", at A "
            << a.audio->framesPlayed() << " of " << framesB;
        // ... and the players' rings (12 frames at most) have drained.
        std::this_thread::sleep_for(std::chrono::duration<double>(13.0 * frame / rate + 0.3));
        dropsAtA = a.drops();
        dropsAtB = b.drops();
        EXPECT_GT(a.owner.maxInput.load(), 10);
        EXPECT_GT(a.owner.maxOutput.load(), 10);
        EXPECT_GT(b.owner.maxOutput.load(), 10);
    }
    EXPECT_TRUE(reporter.lines().empty()) << reporter.lines().front();

    for (const Direction* d : {&ab, &ba}) {
        const std::uint64_t drops = d == &ab ? dropsAtB : dropsAtA;
        const Samples played = readWav(d->out);
        const Samples reference = codecRoundTrip(*id, d->input);
        const FrameMatch m = matchFrames(reference, frame, played, !exact, rate / 2);
        SCOPED_TRACE(codecName + (d == &ab ? " A to B" : " B to A"));
        std::printf("%s %s: speech frames %d, exact %d, similar %d, correlation %.4f, drops %llu\n", codecName.c_str(),
                    d == &ab ? "A to B" : "B to A", m.speechFrames, m.exact, m.similar, m.meanCorrelation,
                    static_cast<unsigned long long>(drops));
        ASSERT_GT(m.speechFrames, 10);
        // A frame may only be missing if the player had to drop it.
        EXPECT_GE(m.exact + m.similar + static_cast<int>(drops), m.speechFrames)
            << "exact " << m.exact << " similar " << m.similar << " drops " << drops;
        if (exact) {
            EXPECT_EQ(m.similar, 0);
            EXPECT_GE(m.exact, m.speechFrames * 9 / 10) << "drops " << drops;
        } else {
            EXPECT_GE(m.meanCorrelation, 0.95) << "exact " << m.exact << " similar " << m.similar;
        }
    }
}

TEST(CallFileTest, G711FramesArriveExactlyBothWays) { holdCall("g711_8khz", true); }
TEST(CallFileTest, GsmFramesArriveExactlyBothWays) { holdCall("gsm_8khz", true); }
TEST(CallFileTest, SpeexSpeechArrivesBothWays) { holdCall("speex_16khz", false); }

}  // namespace
}  // namespace ambrel
