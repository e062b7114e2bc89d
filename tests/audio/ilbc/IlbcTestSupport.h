// Helpers shared by the iLBC tests: vector files and signal measures.
#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/ilbc/Mode.h"

namespace ambrel::ilbc::test {

inline std::vector<std::uint8_t> readBytes(const std::string& name) {
    std::ifstream in(std::string(ILBC_VECTOR_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Little-endian 16-bit PCM.
inline std::vector<std::int16_t> readPcm(const std::string& name) {
    const auto bytes = readBytes(name);
    std::vector<std::int16_t> pcm(bytes.size() / 2);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return pcm;
}

inline double snrDb(const std::vector<std::int16_t>& reference, const std::vector<std::int16_t>& test) {
    double signal = 0.0, noise = 0.0;
    for (std::size_t i = 0; i < reference.size() && i < test.size(); ++i) {
        const double d = static_cast<double>(reference[i]) - test[i];
        signal += static_cast<double>(reference[i]) * reference[i];
        noise += d * d;
    }
    if (noise == 0.0) return 200.0;
    return 10.0 * std::log10(signal / noise);
}

inline const char* modeName(Mode mode) { return mode == Mode::Ms20 ? "20" : "30"; }

}  // namespace ambrel::ilbc::test
