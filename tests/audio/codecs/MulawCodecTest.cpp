#include "audio/codecs/MulawCodec.h"

#include <gtest/gtest.h>

#include <cmath>

#include "CodecTestSupport.h"
#include "audio/codecs/FrameBuffer.h"

namespace ambrel {
namespace {

// Position of a code's decoded value on the µ-law scale: 0x80 is 127, both
// zeros (0xFF and 0x7F) are 0, 0x00 is -127.
int level(std::uint8_t code) {
    return code >= 128 ? 255 - code : code - 127;
}

TEST(MulawCodec, DecodeTableRows) {
    const struct {
        std::uint8_t code;
        int sample;
    } rows[] = {{0, -32256}, {1, -31228}, {8, -24031}, {16, -16062}, {32, -7964},
                {64, -1891}, {96, -373},  {112, -120}, {120, -56},   {127, 0}};
    for (const auto& row : rows) {
        EXPECT_EQ(MulawCodec::decodeSample(row.code), row.sample) << int(row.code);
    }
    for (int code = 0; code < 128; ++code) {
        EXPECT_EQ(MulawCodec::decodeSample(static_cast<std::uint8_t>(code + 128)),
                  -MulawCodec::decodeSample(static_cast<std::uint8_t>(code)));
    }
}

TEST(MulawCodec, EncodeTableRows) {
    EXPECT_EQ(MulawCodec::encodeSample(0), 0xFF);                            // entry 0
    EXPECT_EQ(MulawCodec::encodeSample(7), 0xFF);                            // still entry 0
    EXPECT_EQ(MulawCodec::encodeSample(32767), 0x80);                        // entry 4095
    EXPECT_EQ(MulawCodec::encodeSample(-32768), 0x00);                       // entry 4096
    for (int s = -8; s < 0; ++s) EXPECT_EQ(MulawCodec::encodeSample(s), 0x7E);  // entry 8191
}

TEST(MulawCodec, TablesAreMonotonicAndInverse) {
    int previous = -128;
    for (int s = -32768; s <= 32767; s += 8) {
        const int l = level(MulawCodec::encodeSample(static_cast<std::int16_t>(s)));
        ASSERT_GE(l, previous) << s;
        previous = l;
    }
    for (int code = 0; code < 256; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        if (code == 0x7F) continue;  // -0 comes back as +0
        EXPECT_EQ(MulawCodec::encodeSample(MulawCodec::decodeSample(c)), c) << code;
    }
    // Within G.711: every level decodes within half a percent of the standard
    // expansion (plus rounding).
    for (int code = 0; code < 128; ++code) {
        const int u = ~code & 0x7F;
        const int standard = ((((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4)) - 0x84;
        const int ours = -MulawCodec::decodeSample(static_cast<std::uint8_t>(code));
        EXPECT_NEAR(ours, standard, standard * 0.005 + 1) << code;
    }
}

TEST(MulawCodec, FramesAreOneBytePerSampleAtBothWidths) {
    MulawCodec codec;
    const std::vector<std::int16_t> speech = test::speechLike(8000, 0.1);
    std::vector<std::uint8_t> frame;
    EXPECT_EQ(codec.encode16(speech.data(), 800, frame, false), 800u);
    ASSERT_EQ(frame.size(), 800u);
    std::vector<std::int16_t> decoded;
    EXPECT_EQ(codec.decode16(frame.data(), frame.size(), decoded, false), 800u);
    for (std::size_t i = 0; i < 800; ++i) {
        ASSERT_EQ(frame[i], MulawCodec::encodeSample(speech[i]));
        ASSERT_EQ(decoded[i], MulawCodec::decodeSample(frame[i]));
    }

    std::vector<std::uint8_t> narrow(800);
    codec::narrow(speech.data(), 800, narrow.data());
    std::vector<std::uint8_t> frame8;
    EXPECT_EQ(codec.encode8(narrow.data(), 800, frame8, false), 800u);
    std::vector<std::uint8_t> decoded8;
    EXPECT_EQ(codec.decode8(frame8.data(), frame8.size(), decoded8, false), 800u);
    for (std::size_t i = 0; i < 800; ++i) {
        ASSERT_EQ(frame8[i], MulawCodec::encodeSample(codec::widenSample(narrow[i])));
        ASSERT_EQ(decoded8[i], codec::narrowSample(MulawCodec::decodeSample(frame8[i])));
    }
}

TEST(MulawCodec, EncoderAgreesWithSoxWithinOneLevel) {
    test::ScratchDir dir;
    std::vector<std::int16_t> signal = test::speechLike(8000, 1.0);
    for (int s = -32768; s <= 32767; s += 97) signal.push_back(static_cast<std::int16_t>(s));  // every segment
    test::writeSamples(dir.file("in.raw"), signal);
    ASSERT_EQ(test::run("sox -D -t raw -r 8000 -e signed -b 16 -c 1 " + test::quote(dir.file("in.raw")) +
                        " -t raw -e u-law -b 8 " + test::quote(dir.file("out.ul"))),
              0);
    const std::vector<std::uint8_t> sox = test::readFile(dir.file("out.ul"));
    ASSERT_EQ(sox.size(), signal.size());
    MulawCodec codec;
    std::vector<std::uint8_t> ours;
    codec.encode16(signal.data(), signal.size(), ours, false);
    std::size_t exact = 0;
    for (std::size_t i = 0; i < signal.size(); ++i) {
        ASSERT_LE(std::abs(level(ours[i]) - level(sox[i])), 1) << "sample " << signal[i];
        exact += ours[i] == sox[i];
    }
    EXPECT_GT(exact, signal.size() * 3 / 4);  // the rest differ at decision boundaries only
}

}  // namespace
}  // namespace ambrel
