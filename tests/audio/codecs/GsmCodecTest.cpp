#include "audio/codecs/GsmCodec.h"

#include <gsm.h>
#include <gtest/gtest.h>

#include "CodecTestSupport.h"
#include "audio/codecs/FrameBuffer.h"

namespace ambrel {
namespace {

constexpr std::size_t kFrame = GsmCodec::kFrameSamples;
constexpr std::size_t kBytes = GsmCodec::kFrameBytes;

// Encodes whole frames of `speech` through the adapter.
std::vector<std::uint8_t> encodeAll(GsmCodec& codec, const std::vector<std::int16_t>& speech) {
    std::vector<std::uint8_t> frames;
    for (std::size_t f = 0; f + kFrame <= speech.size(); f += kFrame) {
        EXPECT_EQ(codec.encode16(speech.data() + f, kFrame, frames, true), kBytes);
    }
    return frames;
}

TEST(GsmCodec, FramesAreByteIdenticalToLibgsm) {
    const std::vector<std::int16_t> speech = test::speechLike(8000, 1.0);
    GsmCodec codec;
    const std::vector<std::uint8_t> ours = encodeAll(codec, speech);

    gsm reference = gsm_create();
    std::vector<std::uint8_t> theirs(ours.size());
    std::vector<gsm_signal> block(kFrame);
    for (std::size_t f = 0; f * kBytes < theirs.size(); ++f) {
        std::copy_n(speech.begin() + f * kFrame, kFrame, block.begin());
        gsm_encode(reference, block.data(), theirs.data() + f * kBytes);
    }
    gsm_destroy(reference);
    EXPECT_EQ(ours, theirs);
    for (std::size_t f = 0; f < ours.size(); f += kBytes) EXPECT_EQ(ours[f] >> 4, 0xD);

    codec.reset();  // back to the initial state: the same frames again
    EXPECT_EQ(encodeAll(codec, speech), theirs);
}

TEST(GsmCodec, SoxReadsTheFramesAsTheAdapterDecodesThem) {
    test::ScratchDir dir;
    const std::vector<std::int16_t> speech = test::speechLike(8000, 1.0);
    GsmCodec codec;
    const std::vector<std::uint8_t> frames = encodeAll(codec, speech);
    test::writeFile(dir.file("speech.gsm"), frames.data(), frames.size());
    ASSERT_EQ(test::run("sox -t gsm " + test::quote(dir.file("speech.gsm")) + " -t raw -e signed -b 16 " +
                        test::quote(dir.file("sox.raw"))),
              0);
    const std::vector<std::int16_t> sox = test::readSamples(dir.file("sox.raw"));

    std::vector<std::int16_t> ours;
    for (std::size_t f = 0; f < frames.size(); f += kBytes) {
        ASSERT_EQ(codec.decode16(frames.data() + f, kBytes, ours, true), kFrame);
    }
    ASSERT_EQ(sox.size(), ours.size());
    EXPECT_EQ(sox, ours);
}

TEST(GsmCodec, AFrameWithoutTheMagicIsNotDecoded) {
    const std::vector<std::int16_t> speech = test::speechLike(8000, 0.1);
    GsmCodec codec;
    std::vector<std::uint8_t> frame;
    codec.encode16(speech.data() + 320, kFrame, frame, false);
    std::vector<std::int16_t> played;
    ASSERT_EQ(codec.decode16(frame.data(), frame.size(), played, false), kFrame);
    const std::vector<std::int16_t> previous = played;

    frame[0] = static_cast<std::uint8_t>(0x20 | (frame[0] & 0x0F));
    EXPECT_EQ(codec.decode16(frame.data(), frame.size(), played, false), 0u);
    EXPECT_EQ(played, previous);  // one frame of what the buffer held
    EXPECT_EQ(codec.decode16(frame.data(), 10, played, false), 0u);  // too short
    EXPECT_EQ(played, previous);
    EXPECT_EQ(codec.decode16(nullptr, 0, played, false), 0u);
    EXPECT_EQ(played.size(), kFrame);

    std::vector<std::uint8_t> played8{1, 2, 3};
    EXPECT_EQ(codec.decode8(frame.data(), frame.size(), played8, false), 0u);
    EXPECT_EQ(played8.size(), kFrame);
}

TEST(GsmCodec, EightBitPathWidensTheWholeFrame) {
    const std::vector<std::int16_t> speech = test::speechLike(8000, 0.2);
    std::vector<std::uint8_t> narrow(speech.size());
    codec::narrow(speech.data(), speech.size(), narrow.data());
    std::vector<std::int16_t> wide(speech.size());
    codec::widen(narrow.data(), narrow.size(), wide.data());

    GsmCodec eight;
    GsmCodec sixteen;
    std::vector<std::uint8_t> a;
    std::vector<std::uint8_t> b;
    for (std::size_t f = 0; f + kFrame <= speech.size(); f += kFrame) {
        ASSERT_EQ(eight.encode8(narrow.data() + f, kFrame, a, false), kBytes);
        ASSERT_EQ(sixteen.encode16(wide.data() + f, kFrame, b, false), kBytes);
        ASSERT_EQ(a, b);
        std::vector<std::uint8_t> decoded8;
        std::vector<std::int16_t> decoded16;
        ASSERT_EQ(eight.decode8(a.data(), a.size(), decoded8, false), kFrame);
        ASSERT_EQ(sixteen.decode16(b.data(), b.size(), decoded16, false), kFrame);
        for (std::size_t i = 0; i < kFrame; ++i) ASSERT_EQ(decoded8[i], codec::narrowSample(decoded16[i]));
    }
}

TEST(GsmCodec, ShortInputIsPaddedWithSilence) {
    const std::vector<std::int16_t> speech = test::speechLike(8000, 0.1);
    std::vector<std::int16_t> padded(speech.begin(), speech.begin() + 100);
    padded.resize(kFrame, 0);
    GsmCodec a;
    GsmCodec b;
    std::vector<std::uint8_t> fa;
    std::vector<std::uint8_t> fb;
    EXPECT_EQ(a.encode16(speech.data(), 100, fa, false), kBytes);
    EXPECT_EQ(b.encode16(padded.data(), kFrame, fb, false), kBytes);
    EXPECT_EQ(fa, fb);
}

}  // namespace
}  // namespace ambrel
