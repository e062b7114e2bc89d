// Interoperability with the RFC 3951 reference: bit streams and decoded
// speech it produced for the same input, both modes, with and without loss.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "IlbcTestSupport.h"
#include "audio/CodecTable.h"
#include "audio/ilbc/Decoder.h"
#include "audio/ilbc/Encoder.h"

namespace ambrel::ilbc {
namespace {

using test::modeName;
using test::readBytes;
using test::readPcm;

// Loss pattern of the *_loss_decoded vectors, repeated over the stream:
// '0' = frame lost (decoder in packet-loss mode).
constexpr const char* kLossPattern = "1111011100111111110000011";

std::vector<std::int16_t> decodeStream(Mode mode, const std::vector<std::uint8_t>& bits, bool withLoss) {
    Decoder decoder(mode);
    const std::size_t bytes = frameBytes(mode);
    const std::size_t samples = frameSamples(mode);
    const std::string pattern = kLossPattern;
    std::vector<float> block(samples);
    std::vector<std::int16_t> pcm;
    for (std::size_t f = 0; f + 1 <= bits.size() / bytes; ++f) {
        if (withLoss && pattern[f % pattern.size()] == '0')
            decoder.conceal(block);
        else
            decoder.decode(std::span(bits).subspan(f * bytes, bytes), block);
        for (float x : block) pcm.push_back(toSample(x));
    }
    return pcm;
}

class IlbcVectors : public ::testing::TestWithParam<Mode> {};

TEST_P(IlbcVectors, DecodesReferenceBitstreamBitExactly) {
    const Mode mode = GetParam();
    const auto bits = readBytes(std::string("speech_") + modeName(mode) + ".bit");
    const auto expected = readPcm(std::string("speech_") + modeName(mode) + "_decoded.pcm");
    ASSERT_FALSE(bits.empty());
    const auto decoded = decodeStream(mode, bits, false);
    ASSERT_EQ(decoded.size(), expected.size());
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < decoded.size(); ++i) mismatches += decoded[i] != expected[i];
    EXPECT_EQ(mismatches, 0u) << "SNR " << test::snrDb(expected, decoded) << " dB";
}

TEST_P(IlbcVectors, ConcealsLostFramesLikeTheReference) {
    const Mode mode = GetParam();
    const auto bits = readBytes(std::string("speech_") + modeName(mode) + ".bit");
    const auto expected = readPcm(std::string("speech_") + modeName(mode) + "_loss_decoded.pcm");
    const auto decoded = decodeStream(mode, bits, true);
    ASSERT_EQ(decoded.size(), expected.size());
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < decoded.size(); ++i) mismatches += decoded[i] != expected[i];
    EXPECT_EQ(mismatches, 0u) << "SNR " << test::snrDb(expected, decoded) << " dB";
}

TEST_P(IlbcVectors, CodecKindRoundTripsTheReferenceStreams) {
    // Through the codec table, as the audio engine and ambrel-codec use it.
    const Mode mode = GetParam();
    const CodecChoice choice = chooseCodec(makeCodecId(mode == Mode::Ms20 ? 3 : 4, 0, true), 1000);
    ASSERT_NE(choice.codec, nullptr);
    const auto bits = readBytes(std::string("speech_") + modeName(mode) + ".bit");
    const auto expected = readPcm(std::string("speech_") + modeName(mode) + "_decoded.pcm");
    const auto input = readPcm("speech.pcm");
    const std::size_t bytes = frameBytes(mode);
    const std::size_t samples = frameSamples(mode);
    std::vector<std::int16_t> decoded, pcm;
    std::vector<std::uint8_t> encoded, frame;
    for (std::size_t f = 0; f < bits.size() / bytes; ++f) {
        ASSERT_EQ(choice.codec->decode16(bits.data() + f * bytes, bytes, pcm, false), samples);
        decoded.insert(decoded.end(), pcm.begin(), pcm.end());
        ASSERT_EQ(choice.codec->encode16(input.data() + f * samples, samples, frame, false), bytes);
        encoded.insert(encoded.end(), frame.begin(), frame.end());
    }
    EXPECT_TRUE(decoded == expected);
    EXPECT_TRUE(encoded == bits);
}

TEST_P(IlbcVectors, EncodesLikeTheReference) {
    const Mode mode = GetParam();
    const auto input = readPcm("speech.pcm");
    const auto expected = readBytes(std::string("speech_") + modeName(mode) + ".bit");
    Encoder encoder(mode);
    const std::size_t samples = frameSamples(mode);
    const std::size_t bytes = frameBytes(mode);
    std::vector<float> block(samples);
    std::vector<std::uint8_t> encoded(input.size() / samples * bytes);
    for (std::size_t f = 0; f < input.size() / samples; ++f) {
        for (std::size_t i = 0; i < samples; ++i) block[i] = input[f * samples + i];
        encoder.encode(block, std::span(encoded).subspan(f * bytes, bytes));
    }
    ASSERT_EQ(encoded.size(), expected.size());
    std::size_t differingFrames = 0;
    for (std::size_t f = 0; f < encoded.size() / bytes; ++f)
        differingFrames += !std::equal(encoded.begin() + f * bytes, encoded.begin() + (f + 1) * bytes,
                                       expected.begin() + f * bytes);
    EXPECT_EQ(differingFrames, 0u);

    // What matters to a peer: the reference's decoding of our stream.
    const auto ours = decodeStream(mode, encoded, false);
    const auto theirs = decodeStream(mode, expected, false);
    EXPECT_GE(test::snrDb(theirs, ours), 40.0);
}

INSTANTIATE_TEST_SUITE_P(Modes, IlbcVectors, ::testing::Values(Mode::Ms20, Mode::Ms30),
                         [](const auto& info) { return std::string("Mode") + modeName(info.param); });

}  // namespace
}  // namespace ambrel::ilbc
