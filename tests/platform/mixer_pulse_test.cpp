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

namespace ambrel {
namespace {

std::string run(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return out;
    std::array<char, 512> buffer;
    while (fgets(buffer.data(), buffer.size(), pipe.get())) out += buffer.data();
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// The raw volume of one channel in pactl's "front-left: 16384 /  25% / ..." text.
long channelVolume(const std::string& pactlText, const std::string& channel) {
    size_t at = pactlText.find(channel + ": ");
    if (at == std::string::npos) return -1;
    return std::strtol(pactlText.c_str() + at + channel.size() + 2, nullptr, 10);
}

class PulseMixerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "needs a sound server: run under tests/support/with-pulse.sh";
        std::string error;
        mixer = PulseMixer::open(&error);
        ASSERT_TRUE(mixer) << error;
        sink = run("pactl get-default-sink");
        ASSERT_FALSE(sink.empty());
    }
    std::unique_ptr<PulseMixer> mixer;
    std::string sink;
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
    std::string volume = run("pactl get-sink-volume " + sink);
    EXPECT_NEAR(channelVolume(volume, "front-left"), 16384, 4) << volume;
    EXPECT_EQ(channelVolume(volume, "front-right"), 32768) << volume;
}

TEST_F(PulseMixerTest, MicrophoneIsTheDefaultSource) {
    std::string source = run("pactl get-default-source");
    ASSERT_FALSE(source.empty());
    CMixerBase b;
    ASSERT_TRUE(b.bind(mixer.get(), kMixerDestinationWaveIn, kMixerSourceMicrophone, kMixerControlVolume, 2))
        << b.diagnostic();
    ASSERT_TRUE(b.writePosition(64));
    std::string volume = run("pactl get-source-volume " + source);
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
