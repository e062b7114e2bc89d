// Helpers for the sound-device tests: a message thread that records what the
// devices post, and WAV files made and read with libsndfile.
#pragma once

#include <sndfile.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MessageThread.h"
#include "platform/SoundDevice.h"

namespace ambrel::test {

// What a device posted: the message and, for a recording buffer, a copy of
// the bytes it carried.
struct Posted {
    Message message;
    SoundBuffer* buffer = nullptr;
    std::uint32_t bytes = 0;
    std::vector<std::uint8_t> data;
    std::chrono::steady_clock::time_point when;
};

// A running message thread that keeps every posted message. `onMessage` (set
// before start) runs on the message thread after the message was recorded.
class Collector {
public:
    std::function<void(const Posted&)> onMessage;

    Collector() {
        thread.start([this](const Message& m) {
            Posted p;
            p.message = m;
            p.buffer = m.lParamAs<SoundBuffer>();
            p.when = std::chrono::steady_clock::now();
            if (p.buffer) {
                p.bytes = p.buffer->bytesRecorded;
                if (m.id == kMsgInputData) p.data.assign(p.buffer->data, p.buffer->data + p.bytes);
            }
            if (onMessage) onMessage(p);
            {
                std::lock_guard lock(mutex_);
                posted_.push_back(std::move(p));
            }
            changed_.notify_all();
        });
    }
    ~Collector() { stop(); }

    void stop() {
        thread.quit();
        thread.join();
    }

    // Waits until at least n messages arrived; false on time-out.
    bool waitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return posted_.size() >= n; });
    }

    std::vector<Posted> posted() {
        std::lock_guard lock(mutex_);
        return posted_;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return posted_.size();
    }

    MessageThread thread;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Posted> posted_;
};

inline SoundFormat format(std::uint32_t rate, std::uint32_t bits, std::uint32_t block) {
    SoundFormat f;
    f.sampleRate = rate;
    f.bitsPerSample = bits;
    f.blockSamples = block;
    return f;
}

// A set of buffers of equal size, each with its own storage.
struct Buffers {
    Buffers(std::size_t count, std::uint32_t bytes) : storage(count, std::vector<std::uint8_t>(bytes)), list(count) {
        for (std::size_t i = 0; i < count; ++i) {
            list[i].data = storage[i].data();
            list[i].capacity = bytes;
            list[i].user = i;
        }
    }
    std::vector<std::vector<std::uint8_t>> storage;
    std::vector<SoundBuffer> list;
    SoundBuffer* operator[](std::size_t i) { return &list[i]; }
};

// A scratch directory under the system's temporary directory, removed at the end.
class ScratchDir {
public:
    ScratchDir() {
        auto base = std::filesystem::temp_directory_path();
        for (int i = 0;; ++i) {
            path_ = base / ("ambrel-platform-" + std::to_string(::getpid()) + "-" + std::to_string(i));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Writes interleaved float samples (-1..1) as a WAV file of the given subformat.
inline bool writeWav(const std::string& path, int rate, int channels, const std::vector<float>& samples,
                     int subformat = SF_FORMAT_PCM_16) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | subformat;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    sf_count_t frames = static_cast<sf_count_t>(samples.size() / static_cast<std::size_t>(channels));
    bool ok = sf_writef_float(f, samples.data(), frames) == frames;
    sf_close(f);
    return ok;
}

struct WavData {
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<short> samples;  // interleaved
};

inline WavData readWav(const std::string& path) {
    WavData w;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return w;
    w.rate = info.samplerate;
    w.channels = info.channels;
    w.format = info.format;
    w.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_short(f, w.samples.data(), info.frames);
    sf_close(f);
    return w;
}

inline std::vector<std::int16_t> asSamples16(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::int16_t> s(bytes.size() / 2);
    std::memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
}

// Amplitude of the frequency component f (Hz) in x at rate r (a single-bin DFT).
inline double toneAmplitude(const std::vector<double>& x, double f, double r) {
    double c = 0, s = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        double ph = 2.0 * 3.141592653589793 * f * static_cast<double>(i) / r;
        c += x[i] * std::cos(ph);
        s += x[i] * std::sin(ph);
    }
    return 2.0 * std::sqrt(c * c + s * s) / static_cast<double>(x.size());
}

}  // namespace ambrel::test
