// Helpers for whole calls through real engines: a synthetic talker, WAV files,
// a link-audio wrapper that counts what the link asks of the engine, and a
// matcher that finds each decoded frame in a played recording.
#pragma once

#include <sndfile.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/CodecTable.h"
#include "audio/LinkAudio.h"
#include "link/LinkOwner.h"
#include "link/VoiceLink.h"

namespace ambrel::test {

using Samples = std::vector<std::int16_t>;

// A scratch folder under the system's temporary directory, removed at the end.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag) {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("ambrel-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Something like a voice: syllables of a harmonic sound whose pitch and
// formants move, with pauses, between `lead` and `tail` seconds of silence.
// `pitch` shifts the voice (1.0 = about 120 Hz) so two talkers differ.
inline Samples synthSpeech(std::uint32_t rate, double lead, double speech, double tail, double pitch) {
    const std::size_t n0 = static_cast<std::size_t>(lead * rate);
    const std::size_t n1 = static_cast<std::size_t>(speech * rate);
    const std::size_t n2 = static_cast<std::size_t>(tail * rate);
    Samples out(n0 + n1 + n2, 0);
    const double pi = 3.14159265358979323846;
    double phase = 0.0;
    for (std::size_t i = 0; i < n1; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double syllable = std::fmod(t, 0.25);
        if (syllable > 0.19) continue;  // pause between syllables
        const double envelope = std::sin(pi * syllable / 0.19);
        const double f0 = pitch * (120.0 + 30.0 * std::sin(2 * pi * 1.3 * t));
        phase += 2 * pi * f0 / rate;
        const double f1 = 500.0 + 300.0 * std::sin(2 * pi * 2.1 * t);
        const double f2 = 1500.0 + 500.0 * std::cos(2 * pi * 1.7 * t);
        double v = 0.0;
        for (int k = 1; f0 * k < rate / 2.0 && k < 40; ++k) {
            const double f = f0 * k;
            const double gain = std::exp(-std::pow((f - f1) / 200.0, 2)) + 0.5 * std::exp(-std::pow((f - f2) / 300.0, 2)) +
                                0.05 / k;
            v += gain * std::sin(k * phase);
        }
        out[n0 + i] = static_cast<std::int16_t>(std::lround(std::clamp(v * 5000.0 * envelope, -32000.0, 32000.0)));
    }
    return out;
}

// A click every `period` seconds after `lead` seconds: one sample at full
// scale followed by a short decaying tone, so every codec keeps it.
inline Samples clickTrain(std::uint32_t rate, double lead, double period, int clicks, double tail) {
    const std::size_t total = static_cast<std::size_t>((lead + period * clicks + tail) * rate);
    Samples out(total, 0);
    for (int c = 0; c < clicks; ++c) {
        const std::size_t at = static_cast<std::size_t>((lead + period * c) * rate);
        const std::size_t len = rate / 50;  // 20 ms burst
        for (std::size_t i = 0; i < len && at + i < total; ++i) {
            const double t = static_cast<double>(i) / rate;
            out[at + i] = static_cast<std::int16_t>(20000.0 * std::exp(-t * 200.0) * std::sin(2 * 3.14159265 * 700.0 * t));
        }
    }
    return out;
}

// `bits` 8: an 8-bit unsigned WAV of the samples' high bytes (s >> 8).
inline bool writeWav(const std::string& path, const Samples& samples, std::uint32_t rate, int bits = 16) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | (bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    const auto n = sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return n == static_cast<sf_count_t>(samples.size());
}

inline Samples readWav(const std::string& path, std::uint32_t* rate = nullptr) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    Samples mono(static_cast<std::size_t>(info.frames));
    std::vector<std::int16_t> frames(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    sf_readf_short(f, frames.data(), info.frames);
    sf_close(f);
    for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = frames[i * static_cast<std::size_t>(info.channels)];
    if (rate) *rate = static_cast<std::uint32_t>(info.samplerate);
    return mono;
}

// What a fresh copy of the codec makes of `input`, frame by frame: the sound a
// peer must play when every frame arrives. Whole frames only.
inline Samples codecRoundTrip(CodecId id, const Samples& input) {
    CodecChoice choice = chooseCodec(id, CodecSelection::kInitialFrameSamples);
    const std::size_t frame = choice.frameSamples;
    Samples out;
    std::vector<std::uint8_t> bits;
    std::vector<std::int16_t> decoded;
    for (std::size_t at = 0; at + frame <= input.size(); at += frame) {
        if (!choice.codec) {
            out.insert(out.end(), input.begin() + static_cast<std::ptrdiff_t>(at),
                       input.begin() + static_cast<std::ptrdiff_t>(at + frame));
            continue;
        }
        choice.codec->encode16(input.data() + at, frame, bits, false);
        choice.codec->decode16(bits.data(), bits.size(), decoded, false);
        decoded.resize(frame);
        out.insert(out.end(), decoded.begin(), decoded.end());
    }
    return out;
}

// How well the frames of `reference` turn up, in order, in `played`.
struct FrameMatch {
    int speechFrames = 0;  // reference frames with sound in them
    int exact = 0;         // found sample for sample
    int similar = 0;       // found by correlation only (when asked)
    double meanCorrelation = 0.0;  // over speech frames; 1 for exact, 0 for missing
};

inline double rms(const std::int16_t* p, std::size_t n) {
    double s = 0;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<double>(p[i]) * p[i];
    return std::sqrt(s / static_cast<double>(n ? n : 1));
}

inline double correlation(const std::int16_t* a, const std::int16_t* b, std::size_t n) {
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ab += static_cast<double>(a[i]) * b[i];
        aa += static_cast<double>(a[i]) * a[i];
        bb += static_cast<double>(b[i]) * b[i];
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

// Playback inserts silence wherever the player ran dry and may drop a frame
// when its ring is full, so each frame is searched for after the previous
// one rather than at one global offset. `correlate`: a frame not found
// exactly is looked for by normalised correlation within `window` samples.
inline FrameMatch matchFrames(const Samples& reference, std::size_t frame, const Samples& played, bool correlate,
                              std::size_t window) {
    FrameMatch m;
    double correlationSum = 0;
    std::size_t cursor = 0;
    for (std::size_t at = 0; at + frame <= reference.size(); at += frame) {
        const std::int16_t* want = reference.data() + at;
        if (rms(want, frame) < 300.0) continue;
        ++m.speechFrames;
        bool found = false;
        for (std::size_t p = cursor; p + frame <= played.size(); ++p) {
            if (played[p] == want[0] && std::memcmp(&played[p], want, frame * 2) == 0) {
                ++m.exact;
                correlationSum += 1.0;
                cursor = p + frame;
                found = true;
                break;
            }
        }
        if (found || !correlate) continue;
        double best = 0;
        std::size_t bestAt = cursor;
        for (std::size_t p = cursor; p < cursor + window && p + frame <= played.size(); ++p) {
            const double c = correlation(want, &played[p], frame);
            if (c > best) best = c, bestAt = p;
        }
        if (best > 0.5) {
            ++m.similar;
            correlationSum += best;
            cursor = bestAt + frame;
        }
    }
    m.meanCorrelation = m.speechFrames ? correlationSum / m.speechFrames : 0.0;
    return m;
}

// The engine as the link sees it, plus counts and times of what the link
// asked: frames handed to playFrame, and when capture started and the player
// was made (steady clock).
class WatchedAudio : public LinkAudio {
public:
    using Clock = std::chrono::steady_clock;

    explicit WatchedAudio(std::unique_ptr<AudioEngine> engine) : engine_(std::move(engine)) {}
    AudioEngine& engine() { return *engine_; }

    void setSink(AudioSink* sink) override { engine_->setSink(sink); }
    void resetCaptureLevel() override { engine_->resetCaptureLevel(); }
    int addPlayer(int device) override {
        playerMadeAt_.store(Clock::now().time_since_epoch().count());
        const int index = engine_->addPlayer(device);
        playerIndex_.store(index);
        return index;
    }
    void startCapture() override {
        Clock::rep expected = 0;
        captureStartedAt_.compare_exchange_strong(expected, Clock::now().time_since_epoch().count());
        engine_->startCapture();
    }
    void playFrame(int playerIndex, const std::uint8_t* bytes, int length) override {
        engine_->playFrame(playerIndex, bytes, length);
        played_.fetch_add(1);
    }
    void stopCapture() override { engine_->stopCapture(); }
    void shutdown() override { engine_->shutdown(); }
    int captureLevel() override { return engine_->captureLevel(); }
    int playerLevel(int playerIndex) override { return engine_->playerLevel(playerIndex); }
    PlayoutStats playerStats(int playerIndex) override { return engine_->playerStats(playerIndex); }

    int framesPlayed() const { return played_.load(); }
    int playerIndex() const { return playerIndex_.load(); }
    // Zero until it happened.
    Clock::time_point captureStartedAt() const { return Clock::time_point(Clock::duration(captureStartedAt_.load())); }
    Clock::time_point playerMadeAt() const { return Clock::time_point(Clock::duration(playerMadeAt_.load())); }

private:
    std::unique_ptr<AudioEngine> engine_;
    std::atomic<int> played_{0};
    std::atomic<int> playerIndex_{-1};
    std::atomic<Clock::rep> captureStartedAt_{0};
    std::atomic<Clock::rep> playerMadeAt_{0};
};

// Keeps the highest levels the link reported (recorder thread).
class LevelOwner : public LinkOwner {
public:
    void postLinkMessage(int) override {}
    void reportLevels(int input, int output) override {
        int v = maxInput.load();
        while (input > v && !maxInput.compare_exchange_weak(v, input)) {}
        v = maxOutput.load();
        while (output > v && !maxOutput.compare_exchange_weak(v, output)) {}
    }
    std::atomic<int> maxInput{-1000}, maxOutput{-1000};
};

// One copy of the program: engine, link and owner.
struct Talker {
    Talker(SoundSystem& sound, ErrorReporter* reporter, CodecId id, int recordDevice, int playDevice) {
        auto engine = std::make_unique<AudioEngine>(sound, reporter);
        engine->setCodec(id);
        engine->setRecordDevice(recordDevice);
        auto watched = std::make_unique<WatchedAudio>(std::move(engine));
        audio = watched.get();
        link = std::make_unique<VoiceLink>(std::move(watched));
        link->setOwner(&owner);
        link->setOutputDevice(playDevice);
        link->create();
        link->start();
    }
    ~Talker() {
        link->disconnect();
        link.reset();  // stops the worker, which shuts the engine down
    }
    AudioEngine& engine() { return audio->engine(); }
    std::uint64_t drops() { return engine().playerDrops(audio->playerIndex()); }

    LevelOwner owner;
    WatchedAudio* audio = nullptr;
    std::unique_ptr<VoiceLink> link;
};

// `callee` listens on a free loopback port and `caller` connects to it.
inline void startCall(Talker& callee, Talker& caller) {
    callee.link->listen("127.0.0.1", 0);
    caller.link->connect("127.0.0.1", callee.link->localSocketAddress().hostPort());
}

// Polls `done` until it holds or `seconds` pass; true if it held.
inline bool waitUntil(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace ambrel::test
