// Helpers for calls through the private PulseAudio daemon of the test
// command: shell commands, null sinks of a test's own, a recorder listener
// that keeps what it hears, and the likeness of what was said and heard.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "audio/SoundListener.h"
#include "audio/engine/CallSupport.h"

namespace ambrel::test {

inline std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, p)) out += line;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// A null sink of this test's own (other tests use the daemon's sinks at the
// same time), at the call's format so the daemon routes it without resampling.
class NullSink {
public:
    NullSink(const std::string& name, std::uint32_t rate) : name_(name) {
        module_ = run("pactl load-module module-null-sink sink_name=" + name + " rate=" + std::to_string(rate) +
                      " channels=1 format=s16le 2>/dev/null");
    }
    ~NullSink() {
        if (!module_.empty()) run("pactl unload-module " + module_ + " 2>/dev/null");
    }
    bool loaded() const { return !module_.empty() && module_.find_first_not_of("0123456789") == std::string::npos; }
    const std::string& name() const { return name_; }

private:
    std::string name_, module_;
};

// Collects what a recorder delivers (recorder thread).
class Capture : public SoundListener {
public:
    void block(const std::uint8_t* data, std::size_t n) override {
        std::lock_guard<std::mutex> hold(mutex_);
        const std::size_t at = samples_.size();
        samples_.resize(at + n / 2);
        std::memcpy(samples_.data() + at, data, n / 2 * 2);
    }
    Samples samples() {
        std::lock_guard<std::mutex> hold(mutex_);
        return samples_;
    }

private:
    std::mutex mutex_;
    Samples samples_;
};

// The best normalised correlation of `heard` with `said` over the lags
// 0..maxLag: a coarse search on 10 ms energy envelopes, then sample by sample
// around the best envelope lag.
struct Likeness {
    double envelope = 0;  // correlation of the 10 ms energy envelopes
    double waveform = 0;  // correlation of the samples themselves
};

inline Likeness compare(const Samples& said, const Samples& heard, std::size_t block, std::size_t maxLag) {
    auto envelope = [block](const Samples& s) {
        std::vector<double> e(s.size() / block);
        for (std::size_t i = 0; i < e.size(); ++i) e[i] = rms(&s[i * block], block);
        return e;
    };
    const auto es = envelope(said), eh = envelope(heard);
    std::size_t coarse = 0;
    double best = -1;
    for (std::size_t lag = 0; lag <= maxLag / block && lag + es.size() <= eh.size(); ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = 0; i < es.size(); ++i) {
            ab += es[i] * eh[i + lag], aa += es[i] * es[i], bb += eh[i + lag] * eh[i + lag];
        }
        const double c = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
        if (c > best) best = c, coarse = lag * block;
    }
    Likeness l;
    l.envelope = best;
    const std::size_t from = coarse > 2 * block ? coarse - 2 * block : 0;
    for (std::size_t lag = from; lag <= coarse + 2 * block && lag + said.size() <= heard.size(); ++lag)
        l.waveform = std::max(l.waveform, correlation(said.data(), heard.data() + lag, said.size()));
    return l;
}

}  // namespace ambrel::test
