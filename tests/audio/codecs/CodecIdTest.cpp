#include "audio/CodecId.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace ambrel {
namespace {

TEST(CodecId, BitFieldsSplitKindRateAndWidth) {
    EXPECT_EQ(codecKind(kDefaultCodecId), 8u);
    EXPECT_EQ(rateCode(kDefaultCodecId), 1u);
    EXPECT_TRUE(isSixteenBit(kDefaultCodecId));
    EXPECT_EQ(kDefaultCodecId, 0xA8);
    for (unsigned id = 0; id < 256; ++id) {
        const auto c = static_cast<CodecId>(id);
        EXPECT_EQ(makeCodecId(codecKind(c), rateCode(c), isSixteenBit(c)), c);
    }
    EXPECT_EQ(cardSampleRate(0), 8000u);
    EXPECT_EQ(cardSampleRate(1), 11025u);
    EXPECT_EQ(cardSampleRate(2), 22050u);
    EXPECT_EQ(cardSampleRate(3), 44100u);
}

TEST(CodecId, CommandLineNamesSelectTheirCodecAndRate) {
    const struct {
        const char* name;
        CodecId id;
    } expected[] = {
        {"speex_8khz", 0x88},  {"speex_11khz", 0xA7}, {"speex_16khz", 0xA8}, {"speex_22khz", 0xC7},
        {"speex_32khz", 0xC8}, {"speex_44khz", 0xE7}, {"ilbc_8khz", 0x83},   {"ilbc_11khz", 0xA3},
        {"ilbc_22khz", 0xC3},  {"g711_8khz", 0x85},   {"g711_11khz", 0xA5},  {"g711_22khz", 0xC5},
        {"gsm_8khz", 0x82},    {"gsm_11khz", 0xA2},   {"gsm_22khz", 0xC2},   {"lpc10", 0x86},
        {"opus_48khz", 0xEA},  {"opus_48khz_ld", 0xEB},
    };
    ASSERT_EQ(codecNames().size(), std::size(expected));
    std::set<CodecId> ids;
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(codecNames()[i].name, expected[i].name);  // help-text order
        EXPECT_EQ(codecIdFromName(expected[i].name), expected[i].id);
        EXPECT_EQ(codecNameOf(expected[i].id), expected[i].name);
        EXPECT_TRUE(isSixteenBit(expected[i].id));
        EXPECT_FALSE(codecNames()[i].description.empty());
        ids.insert(expected[i].id);
    }
    EXPECT_EQ(ids.size(), std::size(expected));
    EXPECT_EQ(codecIdFromName("speex_16khz"), kDefaultCodecId);
    EXPECT_FALSE(codecIdFromName("SPEEX_16KHZ"));
    EXPECT_FALSE(codecIdFromName("speex"));
    EXPECT_FALSE(codecIdFromName(""));
    EXPECT_TRUE(codecNameOf(0x08).empty());
}

TEST(CodecId, LabelsGiveCodecAndRateAsTheHelpTextStatesThem) {
    EXPECT_EQ(codecLabel(kDefaultCodecId), "speex 16 KHz");
    // Every name's label is its word and the rate its name states.
    for (const CodecName& entry : codecNames()) {
        std::string name(entry.name);
        std::string expected;
        if (name == "lpc10") {
            expected = "lpc10 8 KHz";
        } else if (name == "opus_48khz_ld") {
            expected = "opus ld 48 KHz";
        } else {
            const std::size_t sep = name.find('_');
            expected = name.substr(0, sep) + " " + name.substr(sep + 1, name.size() - sep - 4) + " KHz";
        }
        EXPECT_EQ(codecLabel(entry.id), expected) << name;
    }
    EXPECT_EQ(codecLabel(0x01), "delta 8 KHz");
    EXPECT_EQ(codecLabel(0xE0), "pcm 44 KHz");
    EXPECT_EQ(codecLabel(0x89), "speex 8 KHz");
    EXPECT_EQ(codecLabel(0xE8), "speex 32 KHz");  // the mode's rate wins over the card's
    EXPECT_EQ(codecLabel(0x0A), "opus 48 KHz");  // Opus runs at 48 kHz whatever the rate code
    for (unsigned kind = 12; kind < 32; ++kind) EXPECT_EQ(codecLabel(makeCodecId(kind, 1, true)), "pcm 11 KHz");
}

}  // namespace
}  // namespace ambrel
