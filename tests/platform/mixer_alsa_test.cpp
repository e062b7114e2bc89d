// AlsaMixer through ALSA's pulse control plugin against a null sink of the
// test run's sound server: the sliders' binding both ways and a change made
// elsewhere reaching the listener; the card a PCM name belongs to.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "platform/AlsaMixer.h"
#include "platform/MixerBase.h"
#include "platform/mixer_private_sink.h"

namespace ambrel {
namespace {

using test::channelVolume;
using test::runCommand;

TEST(AlsaMixer, ControlDeviceOfAPcmName) {
    EXPECT_EQ(alsaControlName("hw:1,0"), "hw:1");
    EXPECT_EQ(alsaControlName("plughw:CARD=Device,DEV=0"), "hw:Device");
    EXPECT_EQ(alsaControlName("front:CARD=\"PCH\",DEV=0"), "hw:PCH");
    EXPECT_EQ(alsaControlName("default"), "default");
    EXPECT_EQ(alsaControlName("pulse:some_sink"), "default");
    EXPECT_EQ(alsaControlName("plughw:"), "default");
}

TEST(AlsaMixer, SlidersMoveTheCardAndFollowChangesMadeElsewhere) {
    const char* server = std::getenv("PULSE_SERVER");
    if (!server) GTEST_SKIP() << "needs a sound server: run under tests/support/with-pulse.sh";
    test::PrivateSink own("alsamixer");
    ASSERT_TRUE(own.ok()) << own.module;
    // A control device of the pulse plugin on the test's sink and its monitor.
    const auto home = std::filesystem::temp_directory_path() / ("ambrel-alsamixer-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    std::ofstream(home / ".asoundrc") << "ctl.ambrel_test { type pulse server \"" << server << "\" sink \"" << own.name
                                      << "\" source \"" << own.monitor() << "\" }\n";
    ::setenv("HOME", home.c_str(), 1);
    std::string error;
    auto mixer = AlsaMixer::open("ambrel_test", "ambrel_test", &error);
    std::filesystem::remove_all(home);
    if (!mixer && error.find("No such device or address") != std::string::npos)
        GTEST_SKIP() << "ALSA's pulse plugin is not installed (libasound2-plugins): " << error;
    ASSERT_TRUE(mixer) << error;

    // A change made elsewhere: the listener hears of it and the new values
    // can be read (the control device learns of it a little later).
    std::atomic<int> speakerEvents{0};
    const int token = mixer->addChangeListener([&](uint32_t id) {
        if (id == AlsaMixer::kSpeakersControl) ++speakerEvents;
    });
    ASSERT_EQ(own.set("set-sink-volume " + own.name + " 30% 60%"), 0);
    std::vector<uint32_t> values;
    auto followed = [&] {
        return speakerEvents > 0 && mixer->readControl(AlsaMixer::kSpeakersControl, values) && values.size() == 2 &&
               std::abs(static_cast<double>(values[1]) - 0.60 * 65536) < 300;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!followed() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(followed()) << speakerEvents << " change events; values " << values.size();
    EXPECT_NEAR(values[0], 0.30 * 65536, 300);
    mixer->removeChangeListener(token);

    CMixerBase speakers;
    ASSERT_TRUE(speakers.bind(mixer.get(), kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, 2))
        << speakers.diagnostic();
    EXPECT_EQ(*speakers.readPosition(), static_cast<int>(values[1] / speakers.stepSize()));
    ASSERT_TRUE(speakers.writePosition(speakers.steps() / 2));  // right half, left keeps its share
    std::string volume = runCommand("pactl get-sink-volume " + own.name);
    EXPECT_NEAR(channelVolume(volume, "front-right"), 32768, 300) << volume;
    EXPECT_NEAR(channelVolume(volume, "front-left"), 16384, 300) << volume;

    CMixerBase microphone;
    ASSERT_TRUE(microphone.bind(mixer.get(), kMixerDestinationWaveIn, kMixerSourceMicrophone, kMixerControlVolume, 2))
        << microphone.diagnostic();
    ASSERT_TRUE(microphone.writePosition(microphone.steps() / 4));
    volume = runCommand("pactl get-source-volume " + own.monitor());
    EXPECT_NEAR(channelVolume(volume, "front-left"), 16384, 300) << volume;
}

}  // namespace
}  // namespace ambrel
