// Helpers for the codec tests: a deterministic speech-like signal, scratch
// files and running external programs.
#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace ambrel::test {

// About 0.4 s cycles of speech-like sound: a voiced stretch (a glottal pulse
// train with gliding pitch through three formant resonators), a fricative
// noise burst and a near-silent pause. Same output for the same arguments.
inline std::vector<std::int16_t> speechLike(std::uint32_t rate, double seconds, std::uint32_t seed = 1) {
    const std::size_t count = static_cast<std::size_t>(rate * seconds);
    std::vector<std::int16_t> out(count);
    const double pi = 3.14159265358979323846;
    struct Resonator {
        double a1, a2, gain, y1 = 0, y2 = 0;
        double step(double x) {
            const double y = gain * x + a1 * y1 - a2 * y2;
            y2 = y1;
            y1 = y;
            return y;
        }
    };
    auto resonator = [&](double freq, double bandwidth) {
        const double r = std::exp(-pi * bandwidth / rate);
        const double f = std::min(freq, rate * 0.45);
        return Resonator{2 * r * std::cos(2 * pi * f / rate), r * r, 1 - r};
    };
    Resonator formants[3] = {resonator(700, 130), resonator(1220, 70), resonator(2600, 160)};
    std::uint32_t noise = seed * 2654435761u + 1;
    auto nextNoise = [&]() {
        noise = noise * 1664525u + 1013904223u;
        return static_cast<double>(static_cast<std::int32_t>(noise)) / 2147483648.0;
    };
    double phase = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double cycle = std::fmod(t, 0.4);
        double excitation = 0;
        double level = 0;
        if (cycle < 0.25) {
            const double pitch = 110 + 30 * std::sin(2 * pi * 0.7 * t);
            phase += pitch / rate;
            if (phase >= 1) {
                phase -= 1;
                excitation = 1;
            }
            excitation += 0.02 * nextNoise();
            level = std::sin(pi * cycle / 0.25);
        } else if (cycle < 0.32) {
            excitation = 0.08 * nextNoise();
            level = 0.6;
        } else {
            excitation = 0.002 * nextNoise();
            level = 1;
        }
        double y = 0;
        for (Resonator& f : formants) y += f.step(excitation);
        const double v = std::clamp(y * level * 60000.0, -32768.0, 32767.0);
        out[i] = static_cast<std::int16_t>(std::lround(v));
    }
    return out;
}

// A fresh scratch directory, removed with the object.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ambrel-codecs-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline void writeSamples(const std::string& path, const std::vector<std::int16_t>& samples) {
    writeFile(path, samples.data(), samples.size() * sizeof(std::int16_t));  // little-endian host
}

inline std::vector<std::int16_t> readSamples(const std::string& path) {
    const std::vector<std::uint8_t> bytes = readFile(path);
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return samples;
}

inline std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

// Runs a shell command; returns its exit code (-1 when it did not exit).
// Its standard error goes to `errFile` when given.
inline int run(const std::string& command, const std::string& errFile = {}) {
    std::string full = command;
    if (!errFile.empty()) full += " 2>" + quote(errFile);
    const int status = std::system(full.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace ambrel::test
