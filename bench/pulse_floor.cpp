// What the sound server's client costs by itself during a call: one playing
// stream fed silence by a renderer and one recording stream whose blocks are
// thrown away, opened through the PulseAudio backend with the formats a call
// uses. Prints the process's CPU time (share of one core, as the scheduler
// counts it) and its threads' wake-ups a second. A copy in a call costs this
// plus the codec, the playout stage and the link.
//
//   pulse_floor [--rate HZ] [--frame-ms MS] [--seconds S] [--sink NAME] [--source NAME]
//
// Defaults: 8000 Hz, 20 ms frames, 20 s, the server's default devices.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "audio/Playout.h"
#include "platform/MessageThread.h"
#include "platform/PulseBackend.h"

namespace {

using namespace ambrel;

class Silence : public SoundRenderer {
public:
    std::size_t render(std::uint8_t* data, std::size_t bytes, std::uint32_t) override {
        std::memset(data, 0, bytes);
        return bytes;
    }
};

class Discard : public SoundCapturer {
public:
    void captured(const std::uint8_t*, std::size_t) override {}
};

struct Sample {
    double cpuSeconds = 0;
    long wakeups = 0;
};

// All of this process's threads.
Sample sample() {
    Sample s;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream stat(task.path() / "schedstat");
        unsigned long long ns = 0;
        if (stat >> ns) s.cpuSeconds += static_cast<double>(ns) / 1e9;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) s.wakeups += std::atol(line.c_str() + 24);
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned rate = 8000, frameMs = 20, seconds = 20;
    std::string sink, source;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--rate") {
            rate = static_cast<unsigned>(std::atoi(value));
        } else if (option == "--frame-ms") {
            frameMs = static_cast<unsigned>(std::atoi(value));
        } else if (option == "--seconds") {
            seconds = static_cast<unsigned>(std::atoi(value));
        } else if (option == "--sink") {
            sink = value;
        } else if (option == "--source") {
            source = value;
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (rate < 1000 || frameMs == 0 || seconds == 0) {
        std::fprintf(stderr, "bad --rate, --frame-ms or --seconds\n");
        return 2;
    }
    const std::uint32_t frameSamples = rate * frameMs / 1000;
    SoundFormat recordFormat;
    recordFormat.sampleRate = rate;
    recordFormat.blockSamples = frameSamples;
    SoundFormat playFormat = recordFormat;
    playFormat.blockSamples = playoutBlockSamples(rate, frameSamples);

    MessageThread thread;
    thread.start([](const Message&) {}, "floor-messages");
    auto backend = makePulseBackend();
    SoundError error;
    auto output = backend->openOutput(sink.empty() ? SoundDeviceRef(-1) : SoundDeviceRef::named(sink), playFormat,
                                       thread, error);
    if (!output) {
        std::fprintf(stderr, "cannot play: %s\n", error.text.c_str());
        return 1;
    }
    auto input = backend->openInput(source.empty() ? SoundDeviceRef(-1) : SoundDeviceRef::named(source),
                                    recordFormat, thread, error);
    if (!input) {
        std::fprintf(stderr, "cannot record: %s\n", error.text.c_str());
        return 1;
    }
    Silence silence;
    Discard discard;
    if (!output->setRenderer(&silence) || !input->setCapturer(&discard) || !input->start().ok()) {
        std::fprintf(stderr, "the streams cannot run without lent buffers\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // settle
    const Sample before = sample();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const Sample after = sample();
    input->close();
    output->close();
    thread.quit();
    thread.join();
    std::printf("%u Hz, %u ms frames, %u s: CPU %.2f %% of one core, %.0f wake-ups/s\n", rate, frameMs, seconds,
                100.0 * (after.cpuSeconds - before.cpuSeconds) / seconds,
                static_cast<double>(after.wakeups - before.wakeups) / seconds);
    return 0;
}
