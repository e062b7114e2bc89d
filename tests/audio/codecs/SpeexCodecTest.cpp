#include "audio/codecs/SpeexCodec.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <thread>
#include <unistd.h>
#include <speex/speex.h>

#include <set>

#include "CodecTestSupport.h"
#include "audio/CodecTable.h"

namespace ambrel {
namespace {

struct Encoded {
    std::vector<std::uint8_t> stream;
    std::vector<std::size_t> sizes;
};

Encoded encodeSpeech(CodecChoice& choice, double seconds = 1.0) {
    const std::vector<std::int16_t> speech = test::speechLike(choice.sampleRate, seconds);
    Encoded e;
    std::vector<std::uint8_t> frame;
    for (std::size_t f = 0; f + choice.frameSamples <= speech.size(); f += choice.frameSamples) {
        const std::size_t n = choice.codec->encode16(speech.data() + f, choice.frameSamples, frame, false);
        EXPECT_EQ(n, frame.size());
        e.sizes.push_back(n);
        e.stream.insert(e.stream.end(), frame.begin(), frame.end());
    }
    return e;
}

TEST(SpeexCodec, ConstantRateFramesHaveTheModesSize) {
    // Quality 6: narrowband 28, wideband 52, ultra-wideband 56 bytes.
    const struct {
        CodecId id;
        std::uint32_t frame;
        std::size_t bytes;
    } cases[] = {{0x88, 160, 28}, {0xA8, 320, 52}, {0xC8, 640, 56}, {0xE8, 640, 56},
                 {0x87, 160, 28}, {0xA7, 320, 52}, {0xC7, 640, 56}, {0xE7, 640, 56}, {0x08, 160, 28}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "id 0x" << std::hex << int(c.id));
        CodecChoice choice = chooseCodec(c.id, 0);
        ASSERT_NE(choice.codec, nullptr);
        EXPECT_EQ(choice.frameSamples, c.frame);
        const Encoded e = encodeSpeech(choice, 0.5);
        ASSERT_FALSE(e.sizes.empty());
        for (std::size_t size : e.sizes) ASSERT_EQ(size, c.bytes);
    }
}

TEST(SpeexCodec, VariableRateFramesVaryInSize) {
    const std::size_t constantRate[] = {28, 52, 56};
    for (CodecId id : {CodecId{0x89}, CodecId{0xA9}, CodecId{0xC9}}) {
        SCOPED_TRACE(testing::Message() << "id 0x" << std::hex << int(id));
        CodecChoice choice = chooseCodec(id, 0);
        const Encoded e = encodeSpeech(choice, 1.2);
        const std::set<std::size_t> sizes(e.sizes.begin(), e.sizes.end());
        EXPECT_GE(sizes.size(), 3u);
        // At the same quality 6 the average stays near the constant-rate
        // frame (the library's own variable-rate default, 8, is 40 % above).
        const double mean = static_cast<double>(e.stream.size()) / e.sizes.size();
        EXPECT_LT(mean, constantRate[rateCode(id)] * 1.25);
    }
}

TEST(SpeexCodec, TheBareLibraryDecodesTheFramesAlike) {
    CodecChoice choice = chooseCodec(0xA9, 0);  // wideband, variable rate
    const Encoded e = encodeSpeech(choice);
    void* decoder = speex_decoder_init(speex_lib_get_mode(SPEEX_MODEID_WB));
    int enhance = 1;
    speex_decoder_ctl(decoder, SPEEX_SET_ENH, &enhance);
    SpeexBits bits;
    speex_bits_init(&bits);
    std::vector<spx_int16_t> reference(choice.frameSamples);
    std::vector<std::int16_t> ours;
    std::size_t offset = 0;
    double energy = 0;
    for (std::size_t size : e.sizes) {
        speex_bits_read_from(&bits, reinterpret_cast<const char*>(e.stream.data() + offset), static_cast<int>(size));
        ASSERT_EQ(speex_decode_int(decoder, &bits, reference.data()), 0);
        ASSERT_EQ(choice.codec->decode16(e.stream.data() + offset, size, ours, false), choice.frameSamples);
        ASSERT_EQ(ours, std::vector<std::int16_t>(reference.begin(), reference.end()));
        for (std::int16_t s : ours) energy += double(s) * s;
        offset += size;
    }
    speex_bits_destroy(&bits);
    speex_decoder_destroy(decoder);
    EXPECT_GT(energy, 0.0);
}

TEST(SpeexCodec, ConsumedBytesSplitConcatenatedFrames) {
    for (CodecId id : {CodecId{0x89}, CodecId{0xA9}, CodecId{0xC9}, CodecId{0xA8}}) {
        SCOPED_TRACE(testing::Message() << "id 0x" << std::hex << int(id));
        CodecChoice choice = chooseCodec(id, 0);
        const Encoded e = encodeSpeech(choice);
        auto* speex = dynamic_cast<SpeexCodec*>(choice.codec.get());
        ASSERT_NE(speex, nullptr);
        std::vector<std::int16_t> out;
        std::size_t offset = 0;
        for (std::size_t size : e.sizes) {
            ASSERT_EQ(speex->decode16(e.stream.data() + offset, e.stream.size() - offset, out, false),
                      choice.frameSamples);
            ASSERT_EQ(speex->consumedBytes(), size);
            offset += size;
        }
    }
}

TEST(SpeexCodec, AFrameThatDoesNotDecodeKeepsThePreviousSamples) {
    CodecChoice choice = chooseCodec(0x88, 0);
    const Encoded e = encodeSpeech(choice, 0.2);
    std::vector<std::int16_t> played;
    ASSERT_EQ(choice.codec->decode16(e.stream.data() + 28 * 3, 28, played, false), 160u);
    const std::vector<std::int16_t> previous = played;
    const std::uint8_t terminator[] = {0x7F, 0xFF, 0xFF};  // narrowband, mode 15: stream terminator
    EXPECT_EQ(choice.codec->decode16(terminator, sizeof terminator, played, false), 0u);
    EXPECT_EQ(played, previous);
    EXPECT_EQ(choice.codec->decode16(nullptr, 0, played, false), 0u);
    EXPECT_EQ(played, previous);
}

// Another codec's frames: after a short quiet time for what may be one bad
// frame, the library's own complaint comes at most once a second, the
// failures are counted and told in one line, and good frames decode again
// after the quiet time.
TEST(SpeexCodec, ACorruptedStreamIsToldOnceASecondNotOncePerFrame) {
    CodecChoice choice = chooseCodec(0x88, 0);
    auto* speex = static_cast<SpeexCodec*>(choice.codec.get());
    const Encoded e = encodeSpeech(choice, 0.2);
    std::vector<std::int16_t> played;
    const std::uint8_t corrupt[] = {0x48, 0x00, 0x00, 0x00};  // narrowband, mode 9: there is none
    std::fflush(stderr);
    const int saved = ::dup(2);
    const std::string log = ::testing::TempDir() + "speex-stderr.txt";
    const int file = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, 2);
    auto wait = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    for (int i = 0; i < 25; ++i) EXPECT_EQ(speex->decode16(corrupt, sizeof corrupt, played, false), 0u);
    EXPECT_EQ(speex->undecodedFrames(), 25u);
    wait(SpeexCodec::kFirstQuietMs + 50);
    // Still corrupted after the short quiet time: the long one follows.
    for (int i = 0; i < 25; ++i) EXPECT_EQ(speex->decode16(corrupt, sizeof corrupt, played, false), 0u);
    wait(SpeexCodec::kQuietMs / 2);
    EXPECT_EQ(speex->decode16(e.stream.data(), 28, played, false), 0u);
    EXPECT_EQ(speex->undecodedFrames(), 26u);
    wait(SpeexCodec::kQuietMs / 2 + 100);
    EXPECT_EQ(speex->decode16(e.stream.data(), 28, played, false), 160u);
    EXPECT_EQ(speex->undecodedFrames(), 0u);
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(file);
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("corrupted"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "ambrel: speex: 25 frames did not decode in the last second (is the peer using the same codec?)");
    EXPECT_NE(lines[2].find("corrupted"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3], "ambrel: speex: 26 frames did not decode in the last second (is the peer using the same codec?)");
}

TEST(SpeexCodec, EightBitPathsConvertAroundTheSixteenBitOnes) {
    CodecChoice choice = chooseCodec(0x28, 0);  // wideband, 8-bit
    ASSERT_EQ(choice.bitsPerSample, 8u);
    std::vector<std::uint8_t> narrow(choice.frameSamples);
    const std::vector<std::int16_t> speech = test::speechLike(16000, 0.1);
    for (std::size_t i = 0; i < narrow.size(); ++i) narrow[i] = static_cast<std::uint8_t>((speech[i] >> 8) + 128);
    std::vector<std::uint8_t> frame;
    EXPECT_EQ(choice.codec->encode8(narrow.data(), narrow.size(), frame, false), 52u);
    std::vector<std::uint8_t> decoded;
    EXPECT_EQ(choice.codec->decode8(frame.data(), frame.size(), decoded, false), choice.frameSamples);
    EXPECT_EQ(decoded.size(), choice.frameSamples);
}

TEST(SpeexCodec, DefaultsBeforeConfiguration) {
    SpeexCodec codec;
    EXPECT_EQ(codec.mode(), SpeexCodec::Mode::Narrowband);
    EXPECT_EQ(codec.frameSamples(), 160u);
    EXPECT_EQ(codec.samplingRate(), 8000u);
    codec.setMode(SpeexCodec::Mode::UltraWideband);
    EXPECT_EQ(codec.frameSamples(), 640u);
    EXPECT_EQ(codec.samplingRate(), 32000u);
}

}  // namespace
}  // namespace ambrel
