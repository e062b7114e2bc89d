// The Opus adapter: hard constant bit rate at both frame lengths, frames of
// another duration refused, and the library's concealment of lost frames.
#include <gtest/gtest.h>

#include <cmath>
#include <opus.h>

#include "CodecTestSupport.h"
#include "audio/CodecTable.h"
#include "audio/codecs/OpusCodec.h"

namespace ambrel {
namespace {

double rms(const std::int16_t* s, std::size_t n) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += double(s[i]) * s[i];
    return std::sqrt(sum / double(n));
}

TEST(OpusCodec, EveryFrameHasTheModesSizeWhateverTheSound) {
    for (const OpusCodec::Mode* mode : {&OpusCodec::kVoice, &OpusCodec::kLowDelay}) {
        SCOPED_TRACE(mode->frameSamples);
        OpusCodec codec(*mode);
        const std::size_t frame = mode->frameSamples;
        std::vector<std::int16_t> sound = test::speechLike(48000, 1.0);
        // Then silence, then full-scale noise: the extremes of a constant rate.
        sound.resize(sound.size() + 48000, 0);
        std::uint32_t noise = 1;
        for (int i = 0; i < 48000; ++i) {
            noise = noise * 1664525u + 1013904223u;
            sound.push_back(static_cast<std::int16_t>(noise >> 16));
        }
        std::vector<std::uint8_t> encoded;
        std::vector<std::int16_t> decoded;
        for (std::size_t f = 0; f + frame <= sound.size(); f += frame) {
            ASSERT_EQ(codec.encode16(sound.data() + f, frame, encoded, false), mode->frameBytes);
            ASSERT_EQ(encoded.size(), mode->frameBytes);
            ASSERT_EQ(opus_packet_get_nb_samples(encoded.data(), static_cast<opus_int32>(encoded.size()), 48000),
                      static_cast<int>(frame));
            ASSERT_EQ(codec.decode16(encoded.data(), encoded.size(), decoded, true), frame);
        }
        EXPECT_EQ(decoded.size(), sound.size() / frame * frame);
        // A short last block is padded, a long one cut: still one frame.
        EXPECT_EQ(codec.encode16(sound.data(), frame / 3, encoded, false), mode->frameBytes);
        EXPECT_EQ(codec.encode16(sound.data(), frame * 2, encoded, true), mode->frameBytes);
        EXPECT_EQ(encoded.size(), 2u * mode->frameBytes);
    }
}

TEST(OpusCodec, BytesThatAreNotOneOfItsFramesKeepThePreviousSamples) {
    OpusCodec voice(OpusCodec::kVoice);
    OpusCodec lowDelay(OpusCodec::kLowDelay);
    const std::vector<std::int16_t> speech = test::speechLike(48000, 0.1);
    std::vector<std::uint8_t> twenty;
    std::vector<std::uint8_t> five;
    voice.encode16(speech.data(), 960, twenty, false);
    lowDelay.encode16(speech.data(), 240, five, false);

    std::vector<std::int16_t> out;
    ASSERT_EQ(lowDelay.decode16(five.data(), five.size(), out, false), 240u);
    const std::vector<std::int16_t> before = out;
    // A 20 ms packet does not fit a 5 ms frame (nor the other way round).
    EXPECT_EQ(lowDelay.decode16(twenty.data(), twenty.size(), out, false), 0u);
    EXPECT_EQ(out, before);
    EXPECT_EQ(voice.decode16(five.data(), five.size(), out, false), 0u);
    EXPECT_EQ(out.size(), 960u);
    // No bytes, a frame too long for any packet.
    out = before;
    EXPECT_EQ(lowDelay.decode16(five.data(), 0, out, false), 0u);
    std::vector<std::uint8_t> huge(5000, 0xFC);
    EXPECT_EQ(lowDelay.decode16(huge.data(), huge.size(), out, false), 0u);
    EXPECT_EQ(out, before);
    // The 8-bit path yields one frame either way.
    std::vector<std::uint8_t> narrow;
    EXPECT_EQ(lowDelay.decode8(five.data(), five.size(), narrow, false), 240u);
    EXPECT_EQ(lowDelay.decode8(twenty.data(), twenty.size(), narrow, false), 0u);
    EXPECT_EQ(narrow.size(), 240u);
}

TEST(OpusCodec, ConcealmentContinuesTheSoundAndDecodingResumes) {
    for (const CodecId id : {CodecId(0xEA), CodecId(0xEB)}) {
        SCOPED_TRACE(int(id));
        CodecChoice choice = chooseCodec(id, 0);
        ASSERT_NE(choice.codec, nullptr);
        const std::size_t frame = choice.frameSamples;
        // A steady vowel-like tone.
        std::vector<std::int16_t> tone(48000);
        for (std::size_t i = 0; i < tone.size(); ++i) {
            tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 220 * i / 48000.0) +
                                                3000 * std::sin(2 * M_PI * 660 * i / 48000.0));
        }
        std::vector<std::uint8_t> encoded;
        std::vector<std::int16_t> out;
        std::size_t f = 0;
        for (; f + frame <= tone.size() / 2; f += frame) {
            choice.codec->encode16(tone.data() + f, frame, encoded, false);
            choice.codec->decode16(encoded.data(), encoded.size(), out, false);
        }
        const double level = rms(out.data(), frame);
        // The first made-up frame carries the tone on at about its level.
        ASSERT_EQ(choice.codec->conceal16(out, false), frame);
        ASSERT_EQ(out.size(), frame);
        EXPECT_GT(rms(out.data(), frame), level / 3);
        // Frames lost are skipped by the sender's encoder as well.
        f += 4 * frame;
        for (int i = 0; i < 10; ++i, f += frame) {
            choice.codec->encode16(tone.data() + f, frame, encoded, false);
            ASSERT_EQ(choice.codec->decode16(encoded.data(), encoded.size(), out, false), frame);
        }
        EXPECT_GT(rms(out.data(), frame), level / 2);
    }
}

}  // namespace
}  // namespace ambrel
