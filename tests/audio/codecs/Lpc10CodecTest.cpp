#include "audio/codecs/Lpc10Codec.h"

#include <gtest/gtest.h>

#include "CodecTestSupport.h"

// After <cmath>: telephony.h defines lrint and friends itself when they are
// missing. Only these two headers: the umbrella one drags in libtiff.
#include <spandsp/telephony.h>
#include <spandsp/lpc10.h>

namespace ambrel {
namespace {

constexpr std::size_t kFrame = Lpc10Codec::kFrameSamples;
constexpr std::size_t kBytes = Lpc10Codec::kFrameBytes;

TEST(Lpc10Codec, ChannelBitIMovesFromMsbFirstToLsbFirst) {
    for (std::size_t bit = 0; bit < Lpc10Codec::kFrameBits; ++bit) {
        std::uint8_t library[kBytes] = {};
        library[bit / 8] = static_cast<std::uint8_t>(0x80 >> (bit % 8));
        std::uint8_t frame[kBytes];
        Lpc10Codec::toFrameLayout(library, frame);
        for (std::size_t i = 0; i < kBytes; ++i) {
            const std::uint8_t expected = i == bit / 8 ? static_cast<std::uint8_t>(1u << (bit % 8)) : 0;
            ASSERT_EQ(frame[i], expected) << "bit " << bit << " byte " << i;
        }
        std::uint8_t back[kBytes];
        Lpc10Codec::toLibraryLayout(frame, back);
        ASSERT_TRUE(std::equal(back, back + kBytes, library));
    }
    const std::uint8_t ones[kBytes] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::uint8_t frame[kBytes];
    Lpc10Codec::toFrameLayout(ones, frame);
    EXPECT_EQ(frame[6], 0x3F);  // bits 54 and 55 do not exist
    std::uint8_t library[kBytes];
    Lpc10Codec::toLibraryLayout(ones, library);
    EXPECT_EQ(library[6], 0xFC);
}

TEST(Lpc10Codec, FramesEqualSpandspsAndSpandspDecodesThem) {
    const std::vector<std::int16_t> speech = test::speechLike(8000, 1.0);
    const std::size_t frames = speech.size() / kFrame;

    lpc10_encode_state_t* encoder = lpc10_encode_init(nullptr, 1);
    lpc10_decode_state_t* decoder = lpc10_decode_init(nullptr, 1);
    std::vector<std::uint8_t> theirs(frames * kBytes);
    ASSERT_EQ(lpc10_encode(encoder, theirs.data(), speech.data(), static_cast<int>(frames * kFrame)),
              static_cast<int>(theirs.size()));

    Lpc10Codec codec;
    std::vector<std::uint8_t> ours;
    std::vector<std::int16_t> decoded;
    std::vector<std::int16_t> reference(kFrame);
    for (std::size_t f = 0; f < frames; ++f) {
        SCOPED_TRACE(f);
        std::vector<std::uint8_t> frame;
        ASSERT_EQ(codec.encode16(speech.data() + f * kFrame, kFrame, frame, false), kBytes);
        EXPECT_EQ(frame[6] & 0xC0, 0);
        std::uint8_t converted[kBytes];
        Lpc10Codec::toLibraryLayout(frame.data(), converted);
        ASSERT_TRUE(std::equal(converted, converted + kBytes, theirs.data() + f * kBytes));

        ASSERT_EQ(lpc10_decode(decoder, reference.data(), converted, static_cast<int>(kBytes)),
                  static_cast<int>(kFrame));
        ASSERT_EQ(codec.decode16(frame.data(), frame.size(), decoded, false), kFrame);
        ASSERT_EQ(decoded, reference);
        ours.insert(ours.end(), frame.begin(), frame.end());
    }
    lpc10_encode_free(encoder);
    lpc10_decode_free(decoder);

    // reset() starts both states over: the same frames and samples again.
    codec.reset();
    std::vector<std::uint8_t> again;
    for (std::size_t f = 0; f < frames; ++f) codec.encode16(speech.data() + f * kFrame, kFrame, again, true);
    EXPECT_EQ(again, ours);
}

TEST(Lpc10Codec, AShortFrameIsNotDecoded) {
    Lpc10Codec codec;
    const std::vector<std::int16_t> speech = test::speechLike(8000, 0.1);
    std::vector<std::uint8_t> frame;
    codec.encode16(speech.data(), kFrame, frame, false);
    std::vector<std::int16_t> played;
    ASSERT_EQ(codec.decode16(frame.data(), frame.size(), played, false), kFrame);
    const std::vector<std::int16_t> previous = played;
    EXPECT_EQ(codec.decode16(frame.data(), kBytes - 1, played, false), 0u);
    EXPECT_EQ(played, previous);
}

}  // namespace
}  // namespace ambrel
