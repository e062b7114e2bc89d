#include "audio/CodecTable.h"

#include <gtest/gtest.h>

namespace ambrel {
namespace {

constexpr std::uint32_t kSpeexFrames[4] = {160, 320, 640, 640};  // by rate code: nb, wb, uwb, uwb

TEST(CodecTable, EveryIdSelectsTheKindTableFrameRateAndWidth) {
    const std::uint32_t fixedFrames[7] = {1000, 800, 160, 160, 240, 800, 180};
    for (unsigned value = 0; value < 256; ++value) {
        const auto id = static_cast<CodecId>(value);
        SCOPED_TRACE(testing::Message() << "id 0x" << std::hex << value);
        const unsigned kind = codecKind(id);
        const CodecChoice choice = chooseCodec(id, 4321);
        EXPECT_EQ(choice.bitsPerSample, isSixteenBit(id) ? 16u : 8u);
        EXPECT_EQ(choice.sampleRate, effectiveSampleRate(id));
        if (kind < 7) {
            EXPECT_EQ(choice.frameSamples, fixedFrames[kind]);
            EXPECT_EQ(choice.sampleRate, cardSampleRate(rateCode(id)));
            EXPECT_EQ(choice.codec == nullptr, kind == 0);
        } else if (kind < 10) {
            ASSERT_NE(choice.codec, nullptr);
            EXPECT_EQ(choice.frameSamples, kSpeexFrames[rateCode(id)]);
            if (kind == 7) {
                EXPECT_EQ(choice.sampleRate, cardSampleRate(rateCode(id)));
            }
        } else if (kind < 12) {
            ASSERT_NE(choice.codec, nullptr);
            EXPECT_EQ(choice.frameSamples, kind == 10 ? 960u : 240u);
            EXPECT_EQ(choice.sampleRate, 48000u);
        } else {
            EXPECT_EQ(choice.codec, nullptr);
            EXPECT_EQ(choice.frameSamples, 4321u);  // kinds 12-31 keep the frame length
            EXPECT_EQ(choice.sampleRate, cardSampleRate(rateCode(id)));
        }
    }
}

TEST(CodecTable, SpeexModeRatesReplaceTheCardRateForKinds8And9Only) {
    EXPECT_EQ(chooseCodec(0x88, 0).sampleRate, 8000u);
    EXPECT_EQ(chooseCodec(0xA8, 0).sampleRate, 16000u);
    EXPECT_EQ(chooseCodec(0xC8, 0).sampleRate, 32000u);
    EXPECT_EQ(chooseCodec(0xE9, 0).sampleRate, 32000u);
    EXPECT_EQ(chooseCodec(0xA7, 0).sampleRate, 11025u);
    EXPECT_EQ(chooseCodec(0xE7, 0).sampleRate, 44100u);
    EXPECT_EQ(chooseCodec(0x87, 0).frameSamples, 160u);
}

TEST(CodecTable, RowsDescribeTheirKinds) {
    for (unsigned kind = 0; kind < kCodecKindCount; ++kind) {
        const CodecRow* row = codecRow(kind);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(static_cast<unsigned>(row->kind), kind);
        EXPECT_EQ(row->speex, kind >= 7 && kind <= 9);
    }
    EXPECT_EQ(codecRow(12), nullptr);
    EXPECT_EQ(codecRow(10)->frameBytes, 80u);
    EXPECT_EQ(codecRow(11)->frameBytes, 40u);
    EXPECT_EQ(codecRow(31), nullptr);
    EXPECT_EQ(codecRow(2)->frameBytes, 33u);
    EXPECT_EQ(codecRow(3)->frameBytes, 38u);
    EXPECT_EQ(codecRow(4)->frameBytes, 50u);
    EXPECT_EQ(codecRow(5)->frameBytes, 800u);
    EXPECT_EQ(codecRow(6)->frameBytes, 7u);
}

TEST(CodecSelection, SameIdDoesNothingEvenAfterTheAdapterWasReleased) {
    CodecSelection selection;
    EXPECT_FALSE(selection.hasId());
    EXPECT_TRUE(selection.select(0x82));
    VoiceCodec* gsm = selection.codec();
    ASSERT_NE(gsm, nullptr);
    EXPECT_FALSE(selection.select(0x82));
    EXPECT_EQ(selection.codec(), gsm);  // not re-created

    selection.release();  // as at shutdown
    EXPECT_EQ(selection.codec(), nullptr);
    EXPECT_EQ(selection.id(), 0x82);
    EXPECT_FALSE(selection.select(0x82));
    EXPECT_EQ(selection.codec(), nullptr);
    EXPECT_EQ(selection.frameSamples(), 160u);

    EXPECT_TRUE(selection.select(0xA8));
    EXPECT_NE(selection.codec(), nullptr);
    EXPECT_EQ(selection.frameSamples(), 320u);
    EXPECT_EQ(selection.sampleRate(), 16000u);
}

TEST(CodecSelection, KindsWithoutCodecKeepThePreviousFrameLength) {
    CodecSelection selection;
    ASSERT_TRUE(selection.select(0x86));  // LPC-10, 180 samples
    ASSERT_TRUE(selection.select(0x8F));
    EXPECT_EQ(selection.codec(), nullptr);
    EXPECT_EQ(selection.frameSamples(), 180u);
    EXPECT_EQ(selection.bitsPerSample(), 16u);
    ASSERT_TRUE(selection.select(0x3F));
    EXPECT_EQ(selection.frameSamples(), 180u);
    EXPECT_EQ(selection.bitsPerSample(), 8u);
    EXPECT_EQ(selection.sampleRate(), 11025u);

    CodecSelection fresh;  // nothing chosen before: the raw PCM frame
    ASSERT_TRUE(fresh.select(0x9F));
    EXPECT_EQ(fresh.frameSamples(), CodecSelection::kInitialFrameSamples);
}

TEST(CodecSelection, TheFirstSelectionAppliesEvenForIdZero) {
    CodecSelection selection;
    EXPECT_TRUE(selection.select(0x00));
    EXPECT_EQ(selection.codec(), nullptr);
    EXPECT_EQ(selection.frameSamples(), 1000u);
    EXPECT_EQ(selection.sampleRate(), 8000u);
    EXPECT_EQ(selection.bitsPerSample(), 8u);
    EXPECT_FALSE(selection.select(0x00));
}

}  // namespace
}  // namespace ambrel
