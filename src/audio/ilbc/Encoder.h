// iLBC encoder (RFC 3951 section 3).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "audio/ilbc/Constants.h"
#include "audio/ilbc/Mode.h"

namespace ambrel::ilbc {

// Turns frames of frameSamples(mode) samples at 8000 Hz (floats on the 16-bit
// scale) into frames of frameBytes(mode) bytes; the empty-frame bit is 0.
// One object per stream; not thread-safe; encode() allocates nothing.
class Encoder {
public:
    explicit Encoder(Mode mode);

    // Back to the initial state (same mode).
    void reset();

    Mode mode() const { return config_->mode; }
    std::size_t frameSamples() const { return ilbc::frameSamples(mode()); }
    std::size_t frameBytes() const { return ilbc::frameBytes(mode()); }

    // Encodes the first frameSamples() samples into the first frameBytes()
    // bytes of `frame`. Throws std::invalid_argument when either is short.
    void encode(std::span<const float> samples, std::span<std::uint8_t> frame);

private:
    using SubframeFilters = std::array<float, kLpcSize * kMaxSubframes>;

    void analyse(const float* data, SubframeFilters& synth, SubframeFilters& weight, int* lsfIndex);

    const ModeConfig* config_;
    FilterState analysisState_{};
    std::array<float, kOrder> lsfOld_{};
    std::array<float, kOrder> lsfDeqOld_{};
    std::array<float, kLpcLookback + kMaxBlock> lpcBuffer_{};
    std::array<float, 4> hpState_{};
};

}  // namespace ambrel::ilbc
