// PulseMixer against the private sound server of the test run (null sinks):
// volumes read and written both ways, change events, no server.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/MixerBase.h"
#include "platform/PulseMixer.h"
#include "platform/mixer_private_sink.h"

namespace ambrel {
namespace {

using test::channelVolume;
using test::runCommand;

class PulseMixerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "needs a sound server: run under tests/support/with-pulse.sh";
        own = std::make_unique<test::PrivateSink>("mixer");
        ASSERT_TRUE(own->ok()) << own->module;
        sink = own->name;
        source = own->monitor();
        std::string error;
        mixer = PulseMixer::open(&error, PulseMixer::Devices{sink, source});
        ASSERT_TRUE(mixer) << error;
    }
    void TearDown() override {
        mixer.reset();
        own.reset();
    }
    std::unique_ptr<test::PrivateSink> own;
    std::unique_ptr<PulseMixer> mixer;
    std::string sink;
    std::string source;
};

TEST_F(PulseMixerTest, SpeakersFollowTheDefaultSinkBothWays) {
    ASSERT_EQ(std::system(("pactl set-sink-volume " + sink + " 30% 60%").c_str()), 0);
    std::vector<uint32_t> values;
    ASSERT_TRUE(mixer->readControl(PulseMixer::kSpeakersControl, values));
    ASSERT_EQ(values.size(), 2u);
    EXPECT_NEAR(values[0], 0.30 * 65536, 400);
    EXPECT_NEAR(values[1], 0.60 * 65536, 400);

    CMixerBase b;
    ASSERT_TRUE(b.bind(mixer.get(), kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2))
        << b.diagnostic();
    EXPECT_EQ(*b.readPosition(), static_cast<int>(values[1] / 256));
    ASSERT_TRUE(b.writePosition(128));  // half: right 50 %, left keeps half of it
    std::string volume = runCommand("pactl get-sink-volume " + sink);
    EXPECT_NEAR(channelVolume(volume, "front-left"), 16384, 4) << volume;
    EXPECT_EQ(channelVolume(volume, "front-right"), 32768) << volume;
}

TEST_F(PulseMixerTest, MicrophoneIsTheRecordingSource) {
    CMixerBase b;
    ASSERT_TRUE(b.bind(mixer.get(), kMixerDestinationWaveIn, kMixerSourceMicrophone, kMixerControlVolume, 2))
        << b.diagnostic();
    ASSERT_TRUE(b.writePosition(64));
    std::string volume = runCommand("pactl get-source-volume " + source);
    EXPECT_EQ(channelVolume(volume, "front-left"), 16384) << volume;
    EXPECT_EQ(channelVolume(volume, "front-right"), 16384) << volume;
}

TEST_F(PulseMixerTest, ChangeElsewhereReachesTheListener) {
    std::atomic<int> speakerEvents{0};
    int token = mixer->addChangeListener([&](uint32_t id) {
        if (id == PulseMixer::kSpeakersControl) ++speakerEvents;
    });
    ASSERT_EQ(std::system(("pactl set-sink-volume " + sink + " 41%").c_str()), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (speakerEvents == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GT(speakerEvents.load(), 0);
    mixer->removeChangeListener(token);
    int seen = speakerEvents;
    ASSERT_EQ(std::system(("pactl set-sink-volume " + sink + " 42%").c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(speakerEvents.load(), seen);
}

TEST(PulseMixerDefaults, FollowTheServersDefaultSink) {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "needs a sound server: run under tests/support/with-pulse.sh";
    auto mixer = PulseMixer::open();
    ASSERT_TRUE(mixer);
    // Read only: other tests play through the default devices.
    auto speakers = mixer->destination(0);
    ASSERT_TRUE(speakers);
    EXPECT_EQ(speakers->componentType, kMixerDestinationSpeakers);
    EXPECT_GE(speakers->channels, 1);
    std::vector<uint32_t> values;
    EXPECT_TRUE(mixer->readControl(PulseMixer::kSpeakersControl, values));
    EXPECT_EQ(static_cast<int>(values.size()), speakers->channels);
    auto microphone = mixer->source(1, 0);
    ASSERT_TRUE(microphone);
    EXPECT_EQ(microphone->componentType, kMixerSourceMicrophone);
    EXPECT_FALSE(mixer->source(0, 0));
    EXPECT_FALSE(mixer->lineControl(0, -1, 0x50030002));
}

TEST(PulseMixerNoServer, OpenFailsCleanly) {
    ::setenv("PULSE_SERVER", "unix:/nonexistent/ambrel-test-socket", 1);
    std::string error;
    auto mixer = PulseMixer::open(&error);
    EXPECT_FALSE(mixer);
    EXPECT_FALSE(error.empty());
    CMixerBase b;
    EXPECT_FALSE(b.bind(mixer.get(), kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
}

}  // namespace
}  // namespace ambrel
