// The slider arithmetic over a scripted mixer: binding rules, the four fader
// kinds, the stereo balance ratio.
#include <gtest/gtest.h>

#include "platform/MixerBase.h"
#include "platform/mixer_scripted.h"

namespace ambrel {
namespace {

using test::ScriptedMixer;

ScriptedMixer speakersAndMicrophone(int speakerChannels, int micChannels) {
    ScriptedMixer m;
    m.destinations.push_back(ScriptedMixer::volumeLine(kMixerDestinationSpeakers, speakerChannels, 1));
    auto wavein = ScriptedMixer::volumeLine(kMixerDestinationWaveIn, 2, 2);
    wavein.sources.push_back(ScriptedMixer::volumeLine(0x1008, 2, 4));  // wave-out source first
    wavein.sources.push_back(ScriptedMixer::volumeLine(kMixerSourceMicrophone, micChannels, 3));
    m.destinations.push_back(wavein);
    m.values[1] = std::vector<uint32_t>(speakerChannels, 0);
    m.values[2] = {100, 100};
    m.values[3] = std::vector<uint32_t>(micChannels, 0);
    m.values[4] = {0, 0};
    return m;
}

TEST(MixerBase, StereoMainFaderKeepsTheChannelProportion) {
    auto m = speakersAndMicrophone(2, 1);
    m.values[1] = {30000, 60000};
    CMixerBase b;
    ASSERT_TRUE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, CMixerBase::kMain));
    EXPECT_EQ(b.steps(), 65535);
    EXPECT_EQ(b.stepSize(), 1u);
    EXPECT_EQ(*b.readPosition(), 60000);  // the louder channel
    EXPECT_FLOAT_EQ(b.balanceRatio(), 0.5f);

    ASSERT_TRUE(b.writePosition(40000));
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{20000, 40000}));
    // Down to silence and back up: the remembered ratio restores the balance.
    ASSERT_TRUE(b.writePosition(0));
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(*b.readPosition(), 0);
    ASSERT_TRUE(b.writePosition(10000));
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{5000, 10000}));

    // Left louder: the ratio is negative and the right channel is scaled.
    m.values[1] = {60000, 30000};
    EXPECT_EQ(*b.readPosition(), 60000);
    ASSERT_TRUE(b.writePosition(20000));
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{20000, 10000}));
}

TEST(MixerBase, StepSizeDividesTheRange) {
    auto m = speakersAndMicrophone(2, 1);
    m.destinations[0].control->steps = 100;  // step size 655
    m.values[1] = {32768, 32768};
    CMixerBase b;
    ASSERT_TRUE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, CMixerBase::kMain));
    EXPECT_EQ(b.stepSize(), 655u);
    EXPECT_EQ(*b.readPosition(), 50);
    ASSERT_TRUE(b.writePosition(100));
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{65500, 65500}));
    ASSERT_TRUE(b.writePosition(250));  // clamped to the last step
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{65500, 65500}));
}

TEST(MixerBase, MonoMicrophoneWorksWithTheMainKindOnly) {
    auto m = speakersAndMicrophone(2, 1);
    m.values[3] = {12345};
    CMixerBase b;
    ASSERT_TRUE(b.bind(&m, kMixerDestinationWaveIn, kMixerSourceMicrophone, kMixerControlVolume, CMixerBase::kMain));
    EXPECT_EQ(b.controlId(), 3u);  // the microphone, not the wave-out source listed first
    EXPECT_EQ(b.channels(), 1);
    EXPECT_EQ(*b.readPosition(), 12345);
    ASSERT_TRUE(b.writePosition(777));
    EXPECT_EQ(m.values[3], (std::vector<uint32_t>{777}));

    for (int kind : {CMixerBase::kLeft, CMixerBase::kRight, CMixerBase::kBalance}) {
        CMixerBase other;
        EXPECT_FALSE(other.bind(&m, kMixerDestinationWaveIn, kMixerSourceMicrophone, kMixerControlVolume, kind));
        EXPECT_FALSE(other.isBound());
    }
}

TEST(MixerBase, SingleChannelAndBalanceKinds) {
    auto m = speakersAndMicrophone(2, 1);
    m.values[1] = {20000, 40000};
    CMixerBase left, right, balance;
    ASSERT_TRUE(left.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, CMixerBase::kLeft));
    ASSERT_TRUE(right.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, CMixerBase::kRight));
    ASSERT_TRUE(balance.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, CMixerBase::kBalance));
    EXPECT_EQ(*left.readPosition(), 20000);
    EXPECT_EQ(*right.readPosition(), 40000);
    // ratio 0.5 -> three quarters of the way to the right.
    EXPECT_EQ(*balance.readPosition(), static_cast<int>(1.5 * 65535 * 0.5));

    ASSERT_TRUE(left.writePosition(1000));
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{1000, 40000}));
    right.readPosition();  // a fader writes from the values it last read
    ASSERT_TRUE(right.writePosition(2000));
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{1000, 2000}));

    // Balance: centre keeps both at the louder value, the ends silence one side.
    m.values[1] = {30000, 60000};
    balance.readPosition();
    ASSERT_TRUE(balance.writePosition(65535 / 2));
    EXPECT_EQ(m.values[1][0], 60000u);
    EXPECT_NEAR(m.values[1][1], 60000.0, 2.0);
    ASSERT_TRUE(balance.writePosition(0));
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{60000, 0}));
    ASSERT_TRUE(balance.writePosition(65535));
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{0, 60000}));
}

TEST(MixerBase, BindFailuresLeaveTheSliderUnbound) {
    auto m = speakersAndMicrophone(2, 2);
    CMixerBase b;
    EXPECT_FALSE(b.bind(nullptr, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
    EXPECT_EQ(b.diagnostic(), "No mixer device present");
    ScriptedMixer empty;
    EXPECT_FALSE(b.bind(&empty, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
    // Not a fader control, a kind out of range.
    EXPECT_FALSE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, 0x20010002, 2));
    EXPECT_FALSE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 4));
    EXPECT_FALSE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, -1));
    // A missing destination or source line.
    EXPECT_FALSE(b.bind(&m, 5, kMixerSourceNone, kMixerControlVolume, 2));
    EXPECT_NE(b.diagnostic().find("MIXERLINE_COMPONENTTYPE_DST_HEADPHONES"), std::string::npos);
    EXPECT_FALSE(b.bind(&m, kMixerDestinationWaveIn, 0x1005, kMixerControlVolume, 2));
    EXPECT_NE(b.diagnostic().find("MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC"), std::string::npos);
    // A line without controls, a control of another type, unknown units, no steps.
    m.destinations[0].info.controlCount = 0;
    EXPECT_FALSE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
    m.destinations[0].info.controlCount = 1;
    EXPECT_FALSE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, 0x50030002, 2));
    EXPECT_NE(b.diagnostic().find("MIXERCONTROL_CONTROLTYPE_BASS"), std::string::npos);
    m.destinations[0].control->units = MixerUnits::Unknown;
    EXPECT_FALSE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
    EXPECT_EQ(b.diagnostic(), "Control uses unknown units.");
    m.destinations[0].control->units = MixerUnits::Unsigned;
    m.destinations[0].control->steps = 0;
    EXPECT_FALSE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
    m.destinations[0].control->steps = 65535;
    // A control that cannot be read.
    m.failReads = true;
    EXPECT_FALSE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
    m.failReads = false;
    EXPECT_TRUE(b.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
    EXPECT_FALSE(b.readPosition() == std::nullopt);
    b.close();
    EXPECT_FALSE(b.writePosition(3));
    EXPECT_EQ(b.readPosition(), std::nullopt);
}

}  // namespace
}  // namespace ambrel
