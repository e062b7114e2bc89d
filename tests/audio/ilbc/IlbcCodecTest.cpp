// Contract of the iLBC library and its adapter: frame layout, the
// empty-frame bit, concealment, quality on known signals, reset and modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "IlbcTestSupport.h"
#include "audio/CodecTable.h"
#include "audio/codecs/IlbcCodec.h"
#include "audio/ilbc/BitPacking.h"
#include "audio/ilbc/Decoder.h"
#include "audio/ilbc/Encoder.h"

namespace ambrel::ilbc {
namespace {

using test::modeName;

class IlbcModes : public ::testing::TestWithParam<Mode> {};

std::vector<std::int16_t> sine(std::size_t count, double hz, double amplitude) {
    std::vector<std::int16_t> s(count);
    for (std::size_t i = 0; i < count; ++i)
        s[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(2.0 * M_PI * hz * i / 8000.0)));
    return s;
}

// Encodes and decodes whole frames of `input`; returns the 16-bit output.
std::vector<std::int16_t> roundTrip(Mode mode, const std::vector<std::int16_t>& input,
                                    std::vector<std::uint8_t>* stream = nullptr) {
    Encoder encoder(mode);
    Decoder decoder(mode);
    const std::size_t n = frameSamples(mode);
    std::vector<float> in(n), out(n);
    std::vector<std::uint8_t> frame(frameBytes(mode));
    std::vector<std::int16_t> result;
    for (std::size_t f = 0; f + n <= input.size(); f += n) {
        for (std::size_t i = 0; i < n; ++i) in[i] = input[f + i];
        encoder.encode(in, frame);
        if (stream) stream->insert(stream->end(), frame.begin(), frame.end());
        EXPECT_TRUE(decoder.decode(frame, out));
        for (float x : out) result.push_back(toSample(x));
    }
    return result;
}

// SNR of `output` against `input` delayed by the decoder's look-ahead,
// skipping the first frames while the codec settles.
double delayedSnr(Mode mode, const std::vector<std::int16_t>& input, const std::vector<std::int16_t>& output) {
    const std::size_t delay = mode == Mode::Ms20 ? 40 : 80;
    const std::size_t skip = 4 * frameSamples(mode);
    std::vector<std::int16_t> ref(input.begin() + skip - delay, input.begin() + output.size() - delay);
    std::vector<std::int16_t> out(output.begin() + skip, output.end());
    return test::snrDb(ref, out);
}

double rms(const std::vector<std::int16_t>& x) {
    double sum = 0.0;
    for (double v : x) sum += v * v;
    return std::sqrt(sum / static_cast<double>(x.size()));
}

// A waveform coder at 13-15 kbit/s with post-filtering keeps about 5 dB of
// waveform SNR on these signals; a broken path falls to 0 dB or below, or
// changes the level.
void expectSaneQuality(Mode mode, const std::vector<std::int16_t>& input, const std::vector<std::int16_t>& output) {
    ASSERT_EQ(output.size(), input.size() / frameSamples(mode) * frameSamples(mode));
    EXPECT_GT(delayedSnr(mode, input, output), 3.0);
    const double ratio = rms(output) / rms(input);
    EXPECT_GT(ratio, 0.7);
    EXPECT_LT(ratio, 1.4);
}

TEST_P(IlbcModes, FrameSizesFollowTheMode) {
    const Mode mode = GetParam();
    const std::size_t samples = mode == Mode::Ms20 ? 160 : 240;
    const std::size_t bytes = mode == Mode::Ms20 ? 38 : 50;
    EXPECT_EQ(frameSamples(mode), samples);
    EXPECT_EQ(frameBytes(mode), bytes);
    EXPECT_EQ(Encoder(mode).frameBytes(), bytes);
    EXPECT_EQ(Decoder(mode).frameSamples(), samples);
    IlbcCodec codec(mode);
    std::vector<std::int16_t> pcm(samples, 1000);
    std::vector<std::uint8_t> encoded;
    EXPECT_EQ(codec.encode16(pcm.data(), pcm.size(), encoded, false), bytes);
    EXPECT_EQ(encoded.size(), bytes);
    std::vector<std::int16_t> decoded;
    EXPECT_EQ(codec.decode16(encoded.data(), encoded.size(), decoded, false), samples);
    EXPECT_EQ(decoded.size(), samples);
}

TEST_P(IlbcModes, PackingFillsEveryBitAndRoundTrips) {
    const ModeConfig& config = modeConfig(GetParam());
    // Every field at its largest value: all bits but the empty-frame bit set.
    FrameParams all;
    auto fill = [](int& v, const BitSplit& s) { v = (1 << (s[0] + s[1] + s[2])) - 1; };
    const BitAllocation& b = *config.bits;
    for (int k = 0; k < kLsfSplits * config.lpcSets; ++k) fill(all.lsf[k], b.lsf[k]);
    fill(all.start, b.start);
    fill(all.stateFirst, b.stateFirst);
    fill(all.scale, b.scale);
    for (int k = 0; k < config.stateShort; ++k) fill(all.state[k], b.state);
    for (int k = 0; k < kStages; ++k) {
        fill(all.extraIndex[k], b.extraIndex[k]);
        fill(all.extraGain[k], b.extraGain[k]);
        for (int i = 0; i < config.adaptiveSubframes; ++i) {
            fill(all.index[i][k], b.index[i][k]);
            fill(all.gain[i][k], b.gain[i][k]);
        }
    }
    std::vector<std::uint8_t> frame(config.bytes);
    packFrame(config, all, frame);
    for (int i = 0; i + 1 < config.bytes; ++i) EXPECT_EQ(frame[i], 0xFF) << "byte " << i;
    EXPECT_EQ(frame.back(), 0xFE);  // last bit: empty-frame indicator, 0

    FrameParams back;
    EXPECT_FALSE(unpackFrame(config, frame, back));
    EXPECT_EQ(back.lsf, all.lsf);
    EXPECT_EQ(back.state, all.state);
    EXPECT_EQ(back.index, all.index);
    EXPECT_EQ(back.gain, all.gain);
    EXPECT_EQ(back.extraGain, all.extraGain);

    // Class 1 bits come first: the start position's top bits open the frame
    // after the LSF indices (20 bits in 20 ms mode, 40 in 30 ms mode).
    FrameParams one;
    one.start = 1 << (b.start[0] - 1);
    packFrame(config, one, frame);
    const int bit = config.mode == Mode::Ms20 ? 20 : 40;
    EXPECT_EQ(frame[bit / 8], 0x80 >> (bit % 8));
}

TEST_P(IlbcModes, EncodedFramesEndWithAZeroEmptyFrameBit) {
    const Mode mode = GetParam();
    std::vector<std::uint8_t> stream;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> noise(-32768, 32767);
    std::vector<std::int16_t> input(20 * frameSamples(mode));
    for (auto& s : input) s = static_cast<std::int16_t>(noise(rng));
    roundTrip(mode, input, &stream);
    for (std::size_t f = frameBytes(mode) - 1; f < stream.size(); f += frameBytes(mode))
        EXPECT_EQ(stream[f] & 1, 0) << "frame " << f / frameBytes(mode);
}

TEST_P(IlbcModes, ExtremeInputsEncodeToValidFrames) {
    const Mode mode = GetParam();
    const std::size_t count = 12 * frameSamples(mode);
    std::vector<std::vector<std::int16_t>> signals(4, std::vector<std::int16_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        signals[0][i] = (i & 1) ? 32767 : -32768;               // Nyquist at full scale
        signals[1][i] = 32767;                                   // DC
        signals[2][i] = (i / 40) % 2 ? -32768 : 0;               // steps
        signals[3][i] = i == count / 2 ? -32768 : 0;             // one click in silence
    }
    for (const auto& input : signals) {
        const auto output = roundTrip(mode, input);  // expects every frame decoded normally
        ASSERT_EQ(output.size(), count);
    }
}

TEST_P(IlbcModes, SineSurvivesTheRoundTrip) {
    const Mode mode = GetParam();
    const auto input = sine(48 * 240, 440.0, 8000.0);
    expectSaneQuality(mode, input, roundTrip(mode, input));
}

TEST_P(IlbcModes, SpeechSurvivesTheRoundTrip) {
    const Mode mode = GetParam();
    const auto input = test::readPcm("speech.pcm");
    expectSaneQuality(mode, input, roundTrip(mode, input));
}

TEST_P(IlbcModes, FramesFlaggedEmptyAreConcealedAndStayBounded) {
    const Mode mode = GetParam();
    const std::size_t n = frameSamples(mode);
    const std::size_t bytes = frameBytes(mode);
    std::vector<std::uint8_t> stream;
    roundTrip(mode, test::readPcm("speech.pcm"), &stream);

    // Ten good frames, then every frame flagged empty: the same as the
    // packet-loss mode, and the made-up signal dies down without blowing up.
    Decoder flagged(mode), lost(mode);
    std::vector<float> a(n), b(n);
    double lastPeak = 0.0;
    for (std::size_t f = 0; f < stream.size() / bytes; ++f) {
        std::vector<std::uint8_t> frame(stream.begin() + f * bytes, stream.begin() + (f + 1) * bytes);
        if (f < 10) {
            EXPECT_TRUE(flagged.decode(frame, a));
            EXPECT_TRUE(lost.decode(frame, b));
        } else {
            frame.back() |= 1;
            EXPECT_FALSE(flagged.decode(frame, a));
            lost.conceal(b);
        }
        ASSERT_EQ(a, b) << "frame " << f;
        double peak = 0.0;
        for (float x : a) {
            ASSERT_TRUE(std::isfinite(x));
            peak = std::max(peak, std::fabs(static_cast<double>(x)));
        }
        EXPECT_LT(peak, 32768.0 * 4);
        lastPeak = peak;
    }
    EXPECT_LT(lastPeak, 2000.0);
}

TEST_P(IlbcModes, ImpossibleStartPositionIsConcealed) {
    const Mode mode = GetParam();
    const ModeConfig& config = modeConfig(mode);
    std::vector<std::uint8_t> frame(config.bytes);
    std::vector<float> out(config.blockLength);
    for (int start : {0, config.maxStart + 1}) {
        if (start >= (1 << config.bits->start[0])) continue;  // not representable
        FrameParams p;
        p.start = start;
        packFrame(config, p, frame);
        Decoder decoder(mode), reference(mode);
        std::vector<float> expected(config.blockLength);
        EXPECT_FALSE(decoder.decode(frame, out)) << "start " << start;
        reference.conceal(expected);
        EXPECT_EQ(out, expected);
    }
    FrameParams valid;
    valid.start = 1;
    packFrame(config, valid, frame);
    EXPECT_TRUE(Decoder(mode).decode(frame, out));
}

TEST_P(IlbcModes, ShortFrameIsConcealedAndShortBuffersAreRefused) {
    const Mode mode = GetParam();
    std::vector<std::uint8_t> frame(frameBytes(mode) - 1, 0x5A);
    std::vector<float> out(frameSamples(mode)), expected(frameSamples(mode));
    Decoder decoder(mode), reference(mode);
    EXPECT_FALSE(decoder.decode(frame, out));
    reference.conceal(expected);
    EXPECT_EQ(out, expected);
    std::vector<float> small(frameSamples(mode) - 1);
    EXPECT_THROW(decoder.decode(frame, small), std::invalid_argument);
    EXPECT_THROW(decoder.conceal(small), std::invalid_argument);
    Encoder encoder(mode);
    EXPECT_THROW(encoder.encode(small, frame), std::invalid_argument);
}

TEST_P(IlbcModes, DecoderWithoutEnhancerHasNoDelay) {
    const Mode mode = GetParam();
    const auto input = test::readPcm("speech.pcm");
    std::vector<std::uint8_t> stream;
    roundTrip(mode, input, &stream);
    Decoder decoder(mode, false);
    const std::size_t n = frameSamples(mode);
    std::vector<float> out(n);
    std::vector<std::int16_t> output;
    for (std::size_t f = 0; f < stream.size() / frameBytes(mode); ++f) {
        EXPECT_TRUE(decoder.decode(std::span(stream).subspan(f * frameBytes(mode), frameBytes(mode)), out));
        for (float x : out) output.push_back(toSample(x));
    }
    const std::size_t skip = 4 * n;
    EXPECT_GT(test::snrDb(std::vector<std::int16_t>(input.begin() + skip, input.end()),
                          std::vector<std::int16_t>(output.begin() + skip, output.end())),
              3.0);
}

TEST_P(IlbcModes, ResetStartsTheStreamAfresh) {
    const Mode mode = GetParam();
    const auto input = test::readPcm("speech.pcm");
    const std::size_t n = frameSamples(mode);
    IlbcCodec codec(mode);
    std::vector<std::uint8_t> first, second, frame;
    std::vector<std::int16_t> decodedFirst, decodedSecond, pcm;
    for (int pass = 0; pass < 2; ++pass) {
        auto& bits = pass == 0 ? first : second;
        auto& decoded = pass == 0 ? decodedFirst : decodedSecond;
        for (std::size_t f = 0; f + n <= 12 * n; f += n) {
            codec.encode16(input.data() + f, n, frame, false);
            bits.insert(bits.end(), frame.begin(), frame.end());
            codec.decode16(frame.data(), frame.size(), pcm, false);
            decoded.insert(decoded.end(), pcm.begin(), pcm.end());
        }
        codec.reset();
    }
    EXPECT_EQ(first, second);
    EXPECT_EQ(decodedFirst, decodedSecond);
}

TEST(IlbcCodec, KindsThreeAndFourSelectTheTwoModes) {
    for (unsigned rate = 0; rate < 4; ++rate) {
        for (unsigned kind : {3u, 4u}) {
            CodecChoice choice = chooseCodec(makeCodecId(kind, rate, true), 1000);
            auto* ilbc = dynamic_cast<IlbcCodec*>(choice.codec.get());
            ASSERT_NE(ilbc, nullptr);
            EXPECT_EQ(ilbc->mode(), kind == 3 ? Mode::Ms20 : Mode::Ms30);
            EXPECT_EQ(choice.frameSamples, kind == 3 ? 160u : 240u);
        }
    }
}

TEST(IlbcCodec, SetModeSwitchesBothDirections) {
    IlbcCodec codec(Mode::Ms20);
    codec.setMode(Mode::Ms30);
    EXPECT_EQ(codec.mode(), Mode::Ms30);
    std::vector<std::int16_t> pcm(240, 500);
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(codec.encode16(pcm.data(), pcm.size(), bytes, false), 50u);
    std::vector<std::int16_t> out;
    EXPECT_EQ(codec.decode16(bytes.data(), bytes.size(), out, false), 240u);
}

TEST(IlbcCodec, ShortFrameIsNotDecodedAndKeepsTheBuffer) {
    IlbcCodec codec(Mode::Ms20);
    std::vector<std::uint8_t> frame(37, 0x55);
    std::vector<std::int16_t> out(160, 1234);
    EXPECT_EQ(codec.decode16(frame.data(), frame.size(), out, false), 0u);
    ASSERT_EQ(out.size(), 160u);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::int16_t s) { return s == 1234; }));
    EXPECT_EQ(codec.decode16(nullptr, 0, out, true), 0u);
    EXPECT_EQ(out.size(), 320u);
}

TEST(IlbcCodec, EightBitPathsConvertAroundTheSixteenBitOnes) {
    IlbcCodec eight(Mode::Ms20), sixteen(Mode::Ms20);
    const auto speech = test::readPcm("speech.pcm");
    std::vector<std::uint8_t> narrow(160), bytes8, bytes16, out8;
    std::vector<std::int16_t> wide(160), out16;
    for (std::size_t f = 0; f < 10; ++f) {
        for (std::size_t i = 0; i < 160; ++i) {
            narrow[i] = static_cast<std::uint8_t>((speech[f * 160 + i] >> 8) + 128);
            wide[i] = static_cast<std::int16_t>((narrow[i] - 128) * 256);
        }
        EXPECT_EQ(eight.encode8(narrow.data(), narrow.size(), bytes8, false), 38u);
        sixteen.encode16(wide.data(), wide.size(), bytes16, false);
        ASSERT_EQ(bytes8, bytes16);
        EXPECT_EQ(eight.decode8(bytes8.data(), bytes8.size(), out8, false), 160u);
        sixteen.decode16(bytes16.data(), bytes16.size(), out16, false);
        for (std::size_t i = 0; i < 160; ++i)
            ASSERT_EQ(out8[i], static_cast<std::uint8_t>((out16[i] >> 8) + 128));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, IlbcModes, ::testing::Values(Mode::Ms20, Mode::Ms30),
                         [](const auto& info) { return std::string("Mode") + modeName(info.param); });

}  // namespace
}  // namespace ambrel::ilbc
