// The ambrel-codec program, run as a user would.
#include <gsm.h>
#include <gtest/gtest.h>

#include "CodecTestSupport.h"
#include "audio/CodecTable.h"

namespace ambrel {
namespace {

const std::string kTool = AMBREL_CODEC_TOOL;

std::string runTool(const std::string& args, int& code, const test::ScratchDir& dir) {
    code = test::run(test::quote(kTool) + " " + args + " >" + test::quote(dir.file("stdout.txt")),
                     dir.file("stderr.txt"));
    const std::vector<std::uint8_t> out = test::readFile(dir.file("stdout.txt"));
    return std::string(out.begin(), out.end());
}

std::string errorText(const test::ScratchDir& dir) {
    const std::vector<std::uint8_t> err = test::readFile(dir.file("stderr.txt"));
    return std::string(err.begin(), err.end());
}

TEST(CodecTool, InfoDescribesWhatTheIdSelects) {
    test::ScratchDir dir;
    int code = -1;
    EXPECT_EQ(runTool("info gsm_8khz", code, dir),
              "codec: gsm 8 KHz (gsm_8khz)\nid: 0x82\nkind: 2 (gsm)\nsample rate: 8000 Hz\n"
              "sample width: 16 bits\nsamples per frame: 160\nbytes per frame: 33\n");
    EXPECT_EQ(code, 0);

    const std::string speex = runTool("info 168", code, dir);  // the default, in decimal
    EXPECT_EQ(code, 0);
    EXPECT_NE(speex.find("codec: speex 16 KHz (speex_16khz)\n"), std::string::npos) << speex;
    EXPECT_NE(speex.find("sample rate: 16000 Hz\n"), std::string::npos);
    EXPECT_NE(speex.find("samples per frame: 320\nbytes per frame: 52\n"), std::string::npos);

    const std::string delta = runTool("info 0x01", code, dir);
    EXPECT_EQ(code, 0);
    EXPECT_NE(delta.find("sample width: 8 bits\nsamples per frame: 800\nbytes per frame: variable\n"),
              std::string::npos)
        << delta;

    const std::string mulaw = runTool("info 0x05", code, dir);  // 8-bit µ-law: still a byte a sample
    EXPECT_NE(mulaw.find("bytes per frame: 800\n"), std::string::npos) << mulaw;
    const std::string none = runTool("info 0x9F", code, dir);
    EXPECT_NE(none.find("kind: 31 (none, raw pcm)\n"), std::string::npos) << none;
    EXPECT_NE(none.find("samples per frame: 1000\nbytes per frame: 2000\n"), std::string::npos) << none;
}

TEST(CodecTool, BadArgumentsAndUnreadableFilesExitWith2) {
    test::ScratchDir dir;
    const std::string missing = test::quote(dir.file("missing.raw"));
    const std::string out = test::quote(dir.file("out"));
    const struct {
        std::string args;
        std::string message;
    } cases[] = {
        {"", "missing command"},
        {"frobnicate gsm_8khz", "unknown command"},
        {"info", "takes CODEC"},
        {"encode gsm_8khz " + missing, "takes CODEC IN OUT"},
        {"info speex", "unknown codec 'speex'"},
        {"info 256", "unknown codec '256'"},
        {"info 0x8x", "unknown codec"},
        {"encode gsm_8khz " + missing + " " + out, "cannot read"},
        {"decode gsm_8khz " + missing + " " + out, "cannot read"},
    };
    for (const auto& c : cases) {
        int code = -1;
        runTool(c.args, code, dir);
        EXPECT_EQ(code, 2) << c.args;
        EXPECT_NE(errorText(dir).find(c.message), std::string::npos) << c.args << ": " << errorText(dir);
    }

    // A WAV at another rate is refused rather than played at the wrong speed.
    test::writeSamples(dir.file("s.raw"), test::speechLike(16000, 0.1));
    ASSERT_EQ(test::run("sox -t raw -r 16000 -e signed -b 16 -c 1 " + test::quote(dir.file("s.raw")) + " " +
                        test::quote(dir.file("s16k.wav"))),
              0);
    int code = -1;
    runTool("encode gsm_8khz " + test::quote(dir.file("s16k.wav")) + " " + out, code, dir);
    EXPECT_EQ(code, 2);
    EXPECT_NE(errorText(dir).find("8000 Hz"), std::string::npos) << errorText(dir);
}

TEST(CodecTool, GsmFilesMatchLibgsmAndWavEqualsRaw) {
    test::ScratchDir dir;
    std::vector<std::int16_t> speech = test::speechLike(8000, 0.5);
    speech.resize(speech.size() + 17);  // a final partial frame
    test::writeSamples(dir.file("in.raw"), speech);
    ASSERT_EQ(test::run("sox -t raw -r 8000 -e signed -b 16 -c 1 " + test::quote(dir.file("in.raw")) + " " +
                        test::quote(dir.file("in.wav"))),
              0);
    int code = -1;
    runTool("encode gsm_8khz " + test::quote(dir.file("in.raw")) + " " + test::quote(dir.file("raw.gsm")), code, dir);
    ASSERT_EQ(code, 0) << errorText(dir);
    runTool("encode 0x82 " + test::quote(dir.file("in.wav")) + " " + test::quote(dir.file("wav.gsm")), code, dir);
    ASSERT_EQ(code, 0) << errorText(dir);
    const std::vector<std::uint8_t> encoded = test::readFile(dir.file("raw.gsm"));
    EXPECT_EQ(test::readFile(dir.file("wav.gsm")), encoded);

    const std::size_t frames = (speech.size() + 159) / 160;
    ASSERT_EQ(encoded.size(), frames * 33);
    std::vector<std::int16_t> padded = speech;
    padded.resize(frames * 160, 0);
    gsm reference = gsm_create();
    std::vector<std::uint8_t> expected(encoded.size());
    for (std::size_t f = 0; f < frames; ++f) gsm_encode(reference, padded.data() + f * 160, expected.data() + f * 33);
    gsm_destroy(reference);
    EXPECT_EQ(encoded, expected);

    runTool("decode gsm_8khz " + test::quote(dir.file("raw.gsm")) + " " + test::quote(dir.file("out.raw")), code, dir);
    ASSERT_EQ(code, 0) << errorText(dir);
    runTool("decode gsm_8khz " + test::quote(dir.file("raw.gsm")) + " " + test::quote(dir.file("out.wav")), code, dir);
    ASSERT_EQ(code, 0) << errorText(dir);
    ASSERT_EQ(test::run("sox " + test::quote(dir.file("out.wav")) + " -t raw " + test::quote(dir.file("wav.raw"))), 0);
    const std::vector<std::int16_t> decoded = test::readSamples(dir.file("out.raw"));
    EXPECT_EQ(decoded.size(), frames * 160);
    EXPECT_EQ(test::readSamples(dir.file("wav.raw")), decoded);
}

TEST(CodecTool, EveryKindRoundTripsFrameByFrame) {
    test::ScratchDir dir;
    const CodecId ids[] = {0x80, 0x81, 0x01, 0x82, 0x83, 0x84, 0x85, 0x05, 0x86, 0x87,
                           0xA7, 0x88, 0xA8, 0xC8, 0x89, 0xC9, 0x29, 0x8C, 0x2C};
    for (CodecId id : ids) {
        SCOPED_TRACE(testing::Message() << "id 0x" << std::hex << int(id));
        CodecChoice choice = chooseCodec(id, 1000);
        const std::vector<std::int16_t> speech = test::speechLike(choice.sampleRate, 0.7);
        test::writeSamples(dir.file("in.raw"), speech);
        char idText[8];
        std::snprintf(idText, sizeof idText, "0x%02X", id);
        int code = -1;
        runTool(std::string("encode ") + idText + " " + test::quote(dir.file("in.raw")) + " " +
                    test::quote(dir.file("enc")),
                code, dir);
        ASSERT_EQ(code, 0) << errorText(dir);
        runTool(std::string("decode ") + idText + " " + test::quote(dir.file("enc")) + " " +
                    test::quote(dir.file("out.raw")),
                code, dir);
        ASSERT_EQ(code, 0) << errorText(dir);
        EXPECT_EQ(errorText(dir), "");  // every frame decoded
        const std::size_t frames = (speech.size() + choice.frameSamples - 1) / choice.frameSamples;
        const std::vector<std::int16_t> decoded = test::readSamples(dir.file("out.raw"));
        EXPECT_EQ(decoded.size(), frames * choice.frameSamples);
        const unsigned kind = codecKind(id);
        if (kind == 0 || kind == 1 || kind >= 10) {
            // Lossless at the id's width (the delta coder's is always 8 bits).
            const bool eightBit = !isSixteenBit(id) || kind == 1;
            for (std::size_t i = 0; i < speech.size(); ++i) {
                const std::int16_t expected = eightBit ? static_cast<std::int16_t>((speech[i] >> 8) * 256) : speech[i];
                ASSERT_EQ(decoded[i], expected) << i;
            }
        }
    }
}

}  // namespace
}  // namespace ambrel
