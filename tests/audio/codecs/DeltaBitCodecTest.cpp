#include "audio/codecs/DeltaBitCodec.h"

#include <gtest/gtest.h>

#include <random>

#include "CodecTestSupport.h"
#include "audio/codecs/FrameBuffer.h"

namespace ambrel {
namespace {

bool bitAt(const std::vector<std::uint8_t>& bytes, std::size_t i) {
    return ((bytes[i / 8] >> (i % 8)) & 1) != 0;
}

TEST(DeltaBitCodec, SilenceCostsOneBitPerSample) {
    DeltaBitCodec codec;
    const std::vector<std::uint8_t> silence(DeltaBitCodec::kFrameSamples, 128);
    std::vector<std::uint8_t> frame;
    EXPECT_EQ(codec.encode8(silence.data(), silence.size(), frame, false), 100u);
    ASSERT_EQ(frame.size(), 100u);
    for (std::uint8_t b : frame) EXPECT_EQ(b, 0xFF);

    std::vector<std::uint8_t> decoded;
    EXPECT_EQ(codec.decode8(frame.data(), frame.size(), decoded, false), silence.size());
    EXPECT_EQ(decoded, silence);
}

TEST(DeltaBitCodec, AJumpFrom128To0Costs130Bits) {
    DeltaBitCodec codec;
    const std::uint8_t sample = 0;
    std::vector<std::uint8_t> frame;
    EXPECT_EQ(codec.encode8(&sample, 1, frame, false), 17u);  // 130 bits in 17 bytes
    for (std::size_t i = 0; i < 128; ++i) ASSERT_FALSE(bitAt(frame, i)) << i;
    EXPECT_TRUE(bitAt(frame, 128));  // the 1 bit
    EXPECT_TRUE(bitAt(frame, 129));  // the sign: negative
    for (std::size_t i = 130; i < 136; ++i) EXPECT_FALSE(bitAt(frame, i));  // fill

    std::vector<std::uint8_t> decoded;
    EXPECT_EQ(codec.decode8(frame.data(), frame.size(), decoded, false), 1u);
    EXPECT_EQ(decoded, std::vector<std::uint8_t>{0});
}

TEST(DeltaBitCodec, DecoderIgnoresFillBitsAndCodesCutShort) {
    DeltaBitCodec codec;
    // 129 (+1: 0,1,0), 129 (1), 126 (-3: 0,0,0,1,1): 9 bits, then 7 fill zeros.
    const std::uint8_t samples[] = {129, 129, 126};
    std::vector<std::uint8_t> frame;
    ASSERT_EQ(codec.encode8(samples, 3, frame, false), 2u);
    EXPECT_EQ(frame[0], 0b10001010);
    EXPECT_EQ(frame[1], 0b00000001);
    std::vector<std::uint8_t> decoded;
    EXPECT_EQ(codec.decode8(frame.data(), frame.size(), decoded, false), 3u);
    EXPECT_EQ(decoded, std::vector<std::uint8_t>(std::begin(samples), std::end(samples)));

    // The last code loses its sign bit: it is dropped, nothing else.
    EXPECT_EQ(codec.decode8(frame.data(), 1, decoded, false), 2u);
    EXPECT_EQ(codec.decode8(frame.data(), 0, decoded, false), 0u);
    EXPECT_TRUE(decoded.empty());
}

TEST(DeltaBitCodec, IsLosslessOnAnyBytes) {
    DeltaBitCodec codec;
    std::mt19937 rng(7);
    std::vector<std::uint8_t> samples(DeltaBitCodec::kFrameSamples);
    for (auto& s : samples) s = static_cast<std::uint8_t>(rng());
    samples[0] = 0;
    samples[1] = 255;  // the largest step
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> decoded;
    const std::size_t bytes = codec.encode8(samples.data(), samples.size(), frame, false);
    EXPECT_EQ(bytes, frame.size());
    EXPECT_EQ(codec.decode8(frame.data(), frame.size(), decoded, false), samples.size());
    EXPECT_EQ(decoded, samples);

    // Worst case: full swings cost 257 bits a sample.
    std::vector<std::uint8_t> swing(800);
    for (std::size_t i = 0; i < swing.size(); ++i) swing[i] = i % 2 ? 0 : 255;
    EXPECT_EQ(codec.encode8(swing.data(), swing.size(), frame, false), (127 + 2 + 799 * 257 + 7) / 8);
    EXPECT_EQ(codec.decode8(frame.data(), frame.size(), decoded, false), swing.size());
    EXPECT_EQ(decoded, swing);
}

TEST(DeltaBitCodec, SixteenBitPathsNarrowAndWiden) {
    DeltaBitCodec codec;
    const std::vector<std::int16_t> speech = test::speechLike(8000, 0.1);
    std::vector<std::uint8_t> frame;
    codec.encode16(speech.data(), 800, frame, false);
    std::vector<std::int16_t> decoded;
    ASSERT_EQ(codec.decode16(frame.data(), frame.size(), decoded, false), 800u);
    for (std::size_t i = 0; i < 800; ++i) {
        ASSERT_EQ(decoded[i], codec::widenSample(codec::narrowSample(speech[i]))) << i;
    }
}

TEST(DeltaBitCodec, AppendKeepsWhatTheBufferHeld) {
    DeltaBitCodec codec;
    const std::uint8_t a[] = {128, 130};
    const std::uint8_t b[] = {100};
    std::vector<std::uint8_t> frames;
    const std::size_t first = codec.encode8(a, 2, frames, false);
    const std::size_t second = codec.encode8(b, 1, frames, true);
    EXPECT_EQ(frames.size(), first + second);

    std::vector<std::uint8_t> decoded{1, 2, 3};
    EXPECT_EQ(codec.decode8(frames.data(), first, decoded, true), 2u);
    EXPECT_EQ(decoded, (std::vector<std::uint8_t>{1, 2, 3, 128, 130}));
}

TEST(DeltaBitCodec, FrameLengthSplitsConcatenatedFrames) {
    DeltaBitCodec codec;
    const std::vector<std::int16_t> speech = test::speechLike(8000, 0.3);
    std::vector<std::uint8_t> stream;
    std::vector<std::size_t> lengths;
    for (std::size_t f = 0; f + 800 <= speech.size(); f += 800) {
        lengths.push_back(codec.encode16(speech.data() + f, 800, stream, true));
    }
    std::size_t offset = 0;
    for (std::size_t length : lengths) {
        EXPECT_EQ(DeltaBitCodec::frameLength(stream.data() + offset, stream.size() - offset, 800), length);
        offset += length;
    }
    EXPECT_EQ(offset, stream.size());
    EXPECT_EQ(DeltaBitCodec::frameLength(stream.data(), 3, 800), 3u);  // ends first
}

}  // namespace
}  // namespace ambrel
