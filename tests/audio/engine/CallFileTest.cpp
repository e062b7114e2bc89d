// Two copies of the program hold a call on loopback, each recording from a WAV
// file and playing into one. What each side plays must be exactly what the
// codec makes of the other side's recording (Speex: nearly so).
#include <gtest/gtest.h>

#include <algorithm>
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

    // Frames left out or made up by each side's player: a late datagram on a
    // busy machine makes the player conceal, and a Speex decoder then takes
    // a few frames to match a fresh one again.
    std::uint64_t dropsAtA = 0, dropsAtB = 0, madeUpAtA = 0, madeUpAtB = 0, cutAtA = 0, cutAtB = 0;
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
        // ... and the players' playout stages have drained.
        std::this_thread::sleep_for(std::chrono::duration<double>(13.0 * frame / rate + 0.3));
        dropsAtA = a.drops();
        dropsAtB = b.drops();
        madeUpAtA = a.engine().playerStats(a.audio->playerIndex()).concealed;
        madeUpAtB = b.engine().playerStats(b.audio->playerIndex()).concealed;
        cutAtA = a.engine().playerStats(a.audio->playerIndex()).shortened;
        cutAtB = b.engine().playerStats(b.audio->playerIndex()).shortened;
        EXPECT_GT(a.owner.maxInput.load(), 10);
        EXPECT_GT(a.owner.maxOutput.load(), 10);
        EXPECT_GT(b.owner.maxOutput.load(), 10);
    }
    EXPECT_TRUE(reporter.lines().empty()) << reporter.lines().front();

    for (const Direction* d : {&ab, &ba}) {
        const std::uint64_t drops = d == &ab ? dropsAtB : dropsAtA;
        const std::uint64_t madeUp = d == &ab ? madeUpAtB : madeUpAtA;
        const std::uint64_t cut = d == &ab ? cutAtB : cutAtA;
        const Samples played = readWav(d->out);
        const Samples reference = codecRoundTrip(*id, d->input);
        // Each frame is looked for within a few frames of the one before.
        const FrameMatch m = matchFrames(reference, frame, played, !exact, 10 * frame);
        SCOPED_TRACE(codecName + (d == &ab ? " A to B" : " B to A"));
        std::printf(
            "%s %s: speech frames %d, exact %d, similar %d, correlation %.4f, drops %llu, made up %llu, shortened %llu\n",
            codecName.c_str(), d == &ab ? "A to B" : "B to A", m.speechFrames, m.exact, m.similar, m.meanCorrelation,
            static_cast<unsigned long long>(drops), static_cast<unsigned long long>(madeUp),
            static_cast<unsigned long long>(cut));
        ASSERT_GT(m.speechFrames, 10);
        // A frame may only be missing if the player left it out (the frame
        // after it then begins with a cross-fade), played it shorter by a
        // part (it and the frame it runs into), or made one up shortly
        // before (the decoder's state then differs for a while: six frames,
        // or 150 ms of short ones, which an Opus decoder takes to settle
        // after a made-up frame or one it never decoded).
        const std::uint64_t settle = std::max<std::uint64_t>(6, (rate * 3 / 20 + frame - 1) / frame);
        const int excused =
            static_cast<int>(std::min<std::uint64_t>((2 + settle - 6) * drops + settle * madeUp + 2 * cut, 1000));
        EXPECT_GE(m.exact + m.similar + excused, m.speechFrames)
            << "exact " << m.exact << " similar " << m.similar << " drops " << drops << " made up " << madeUp
            << " shortened " << cut;
        if (exact) {
            EXPECT_EQ(m.similar, 0);
            EXPECT_GE(m.exact + excused, m.speechFrames * 9 / 10) << "drops " << drops;
        } else {
            EXPECT_GE(m.meanCorrelation * m.speechFrames, 0.95 * (m.speechFrames - excused))
                << "exact " << m.exact << " similar " << m.similar;
        }
    }
}

// The 8-bit paths: an 8-bit sound card with G.711 in between. The WAV files
// are 8-bit too, so the devices pass the bytes through unchanged.
TEST(CallFileTest, EightBitG711FramesArriveExactly) {
    const CodecId id = makeCodecId(static_cast<unsigned>(CodecKind::Mulaw), 0, false);
    ScratchDir dir("call-g711-8bit");
    SoundSystem sound;
    sound.addBackend(makeFileBackend());
    CollectingReporter reporter;
    const std::uint32_t rate = 8000;
    const std::size_t frame = 800;
    Samples said = synthSpeech(rate, 0.8, 1.6, 0.6, 1.0);
    for (auto& s : said) s = static_cast<std::int16_t>(s & ~0xFF);  // what an 8-bit WAV holds
    const std::string in = dir.file("in.wav"), out = dir.file("out.wav");
    ASSERT_TRUE(writeWav(in, said, rate, 8));
    ASSERT_TRUE(writeWav(dir.file("quiet.wav"), Samples(rate / 10, 0), rate, 8));
    auto file = [&](const std::string& path) { return sound.alias(SoundDeviceRef::file(path)); };
    std::uint64_t drops = 0;
    {
        Talker a(sound, &reporter, id, file(in), file(dir.file("unused.wav")));
        Talker b(sound, &reporter, id, file(dir.file("quiet.wav")), file(out));
        startCall(b, a);
        const int frames = static_cast<int>(said.size() / frame);
        ASSERT_TRUE(waitUntil([&] { return b.audio->framesPlayed() >= frames; }, 60.0));
        std::this_thread::sleep_for(std::chrono::duration<double>(13.0 * frame / rate + 0.3));
        drops = b.drops();
        EXPECT_GT(a.owner.maxInput.load(), 10);
        EXPECT_EQ(b.engine().bitsPerSample(), 8u);
    }
    EXPECT_TRUE(reporter.lines().empty()) << reporter.lines().front();

    // The reference goes through the codec's own 8-bit entry points.
    CodecChoice codec = chooseCodec(id, CodecSelection::kInitialFrameSamples);
    Samples reference;
    std::vector<std::uint8_t> bytes(frame), bits, decoded;
    for (std::size_t at = 0; at + frame <= said.size(); at += frame) {
        for (std::size_t i = 0; i < frame; ++i) bytes[i] = static_cast<std::uint8_t>((said[at + i] >> 8) + 128);
        codec.codec->encode8(bytes.data(), frame, bits, false);
        codec.codec->decode8(bits.data(), bits.size(), decoded, false);
        for (std::uint8_t b : decoded) reference.push_back(static_cast<std::int16_t>((b - 128) * 256));
    }
    const FrameMatch m = matchFrames(reference, frame, readWav(out), false, 0);
    std::printf("8-bit g711: speech frames %d, exact %d, drops %llu\n", m.speechFrames, m.exact,
                static_cast<unsigned long long>(drops));
    ASSERT_GT(m.speechFrames, 10);
    EXPECT_GE(m.exact + static_cast<int>(drops), m.speechFrames) << "drops " << drops;
    EXPECT_GE(m.exact, m.speechFrames * 9 / 10);
}

TEST(CallFileTest, G711FramesArriveExactlyBothWays) { holdCall("g711_8khz", true); }
TEST(CallFileTest, GsmFramesArriveExactlyBothWays) { holdCall("gsm_8khz", true); }
TEST(CallFileTest, SpeexSpeechArrivesBothWays) { holdCall("speex_16khz", false); }
// 5 ms frames, 20 ms to a datagram: the short-frame path end to end.
TEST(CallFileTest, LowDelayOpusSpeechArrivesBothWays) { holdCall("opus_48khz_ld", false); }

}  // namespace
}  // namespace ambrel
