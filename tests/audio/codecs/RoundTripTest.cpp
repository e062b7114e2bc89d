// Every lossy codec of the table, encoding and decoding speech frame by frame
// as a call does: the loudness contour of what comes out follows what went in.
#include <gtest/gtest.h>

#include <cmath>

#include "CodecTestSupport.h"
#include "audio/CodecTable.h"

namespace ambrel {
namespace {

// RMS of consecutive 10 ms blocks.
std::vector<double> contour(const std::vector<std::int16_t>& s, std::uint32_t rate) {
    const std::size_t block = rate / 100;
    std::vector<double> out;
    for (std::size_t b = 0; b + block <= s.size(); b += block) {
        double sum = 0;
        for (std::size_t i = b; i < b + block; ++i) sum += double(s[i]) * s[i];
        out.push_back(std::sqrt(sum / block));
    }
    return out;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b, std::size_t lag) {
    const std::size_t n = std::min(a.size(), b.size() - lag);
    double ma = 0, mb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ma += a[i];
        mb += b[i + lag];
    }
    ma /= n;
    mb /= n;
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ab += (a[i] - ma) * (b[i + lag] - mb);
        aa += (a[i] - ma) * (a[i] - ma);
        bb += (b[i + lag] - mb) * (b[i + lag] - mb);
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

TEST(CodecRoundTrip, DecodedSpeechFollowsTheInput) {
    const CodecId ids[] = {0x82, 0xA2, 0x83, 0x84, 0x85, 0x05, 0x86, 0x87, 0xA7, 0xE7,
                           0x88, 0xA8, 0xC8, 0x89, 0xA9, 0xC9, 0x28, 0x02, 0xEA, 0xEB, 0x0A};
    for (CodecId id : ids) {
        SCOPED_TRACE(testing::Message() << "id 0x" << std::hex << int(id));
        CodecChoice choice = chooseCodec(id, 0);
        ASSERT_NE(choice.codec, nullptr);
        const std::size_t frame = choice.frameSamples;
        const std::vector<std::int16_t> speech = test::speechLike(choice.sampleRate, 2.0);
        std::vector<std::int16_t> decoded;
        std::vector<std::uint8_t> encoded;
        std::vector<std::uint8_t> narrow(frame);
        std::vector<std::uint8_t> narrowOut;
        for (std::size_t f = 0; f + frame <= speech.size(); f += frame) {
            if (choice.bitsPerSample == 16) {
                choice.codec->encode16(speech.data() + f, frame, encoded, false);
                ASSERT_EQ(choice.codec->decode16(encoded.data(), encoded.size(), decoded, true), frame);
            } else {
                for (std::size_t i = 0; i < frame; ++i) {
                    narrow[i] = static_cast<std::uint8_t>((speech[f + i] >> 8) + 128);
                }
                choice.codec->encode8(narrow.data(), frame, encoded, false);
                ASSERT_EQ(choice.codec->decode8(encoded.data(), encoded.size(), narrowOut, false), frame);
                for (std::uint8_t b : narrowOut) decoded.push_back(static_cast<std::int16_t>((b - 128) * 256));
            }
        }
        const std::vector<double> in = contour(speech, choice.sampleRate);
        const std::vector<double> out = contour(decoded, choice.sampleRate);
        double best = -1;
        // Codecs delay the sound: Speex by a block or two, LPC-10 by about 120 ms.
        for (std::size_t lag = 0; lag < 20; ++lag) best = std::max(best, correlation(in, out, lag));
        EXPECT_GT(best, 0.9);
    }
}

}  // namespace
}  // namespace ambrel
