// The volume sliders: the vertical inversion over a scripted mixer, following
// changes made elsewhere, and against the test run's sound server, pactl and
// the slider moving each other.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <memory>

#include "app/MixerFader.h"
#include "app/app_test_support.h"
#include "platform/PulseMixer.h"
#include "platform/mixer_private_sink.h"
#include "platform/mixer_scripted.h"

namespace ambrel {
namespace {

using test::waitFor;

class FaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::qtApp(); }
};

TEST_F(FaderTest, TopIsLoudestAndChangesElsewhereMoveTheSlider) {
    test::ScriptedMixer m;
    m.destinations.push_back(test::ScriptedMixer::volumeLine(kMixerDestinationSpeakers, 2, 1, 100));
    m.values[1] = {0, 0};
    CMixerFader fader;
    ASSERT_TRUE(fader.bind(&m, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
    EXPECT_TRUE(fader.isEnabled());
    EXPECT_EQ(fader.maximum(), 100);
    EXPECT_EQ(fader.value(), 100);  // silent: at the bottom
    EXPECT_EQ(m.writes, 0);         // binding only reads

    m.change(1, {30000, 60000});  // another program
    ASSERT_TRUE(waitFor([&] { return fader.value() == 100 - 60000 / 655; }));
    EXPECT_EQ(m.writes, 0);  // following never writes back

    fader.setValue(60);  // the user drags: position 40 from the bottom
    ASSERT_EQ(m.writes, 1);
    EXPECT_EQ(m.values[1], (std::vector<uint32_t>{13100, 26200}));

    // Another control's change does not move it.
    m.change(2, {1, 1});
    test::spin(50);
    EXPECT_EQ(fader.value(), 60);

    fader.unbind();
    EXPECT_FALSE(fader.isEnabled());
    m.change(1, {65535, 65535});
    test::spin(50);
    EXPECT_EQ(fader.value(), 60);
    EXPECT_TRUE(m.listeners.empty());
}

TEST_F(FaderTest, WithoutAMixerTheSliderStaysDisabled) {
    CMixerFader fader;
    EXPECT_FALSE(fader.bind(nullptr, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
    EXPECT_FALSE(fader.isEnabled());
}

TEST_F(FaderTest, PactlAndTheSpeakerSliderMoveEachOther) {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "needs a sound server: run under tests/support/with-pulse.sh";
    test::PrivateSink own("fader");
    ASSERT_TRUE(own.ok()) << own.module;
    auto mixer = PulseMixer::open(nullptr, PulseMixer::Devices{own.name, own.monitor()});
    ASSERT_TRUE(mixer);
    const std::string& sink = own.name;
    ASSERT_EQ(std::system(("pactl set-sink-volume " + sink + " 100%").c_str()), 0);
    CMixerFader fader;
    ASSERT_TRUE(fader.bind(mixer.get(), kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2));
    EXPECT_EQ(fader.value(), 0);  // full volume: at the top

    ASSERT_EQ(std::system(("pactl set-sink-volume " + sink + " 25%").c_str()), 0);
    EXPECT_TRUE(waitFor([&] { return fader.value() == 256 - 64; })) << fader.value();

    fader.setValue(128);  // half way
    std::string volume = test::runCommand("pactl get-sink-volume " + sink);
    EXPECT_EQ(test::channelVolume(volume, "front-left"), 32768) << volume;
    EXPECT_EQ(test::channelVolume(volume, "front-right"), 32768) << volume;
    fader.unbind();
}

}  // namespace
}  // namespace ambrel
