// Packet-loss concealment (RFC 3951 4.5): remembers the last frame's
// residual and LPC filter and, for a lost frame, builds a residual by
// pitch-synchronous repetition mixed with noise.
#pragma once

#include <array>
#include <cstdint>

#include "audio/ilbc/Constants.h"

namespace ambrel::ilbc {

class Concealment {
public:
    explicit Concealment(int blockLength) : blockLength_(blockLength) { reset(); }

    void reset();

    // A frame was decoded: remember its residual and last LPC filter.
    void received(const float* residual, const float* lpc);

    // A frame is missing: writes blockLength residual samples and the LPC
    // filter to synthesise them with. `lag` is the decoder's last pitch lag.
    void conceal(int lag, float* residual, float* lpc);

private:
    void correlation(int lag, float& cc, float& periodicity) const;

    int blockLength_;
    int prevLag_ = 120;
    int lostCount_ = 0;
    bool prevLost_ = false;
    float periodicity_ = 0.0f;
    std::uint64_t seed_ = 777;
    std::array<float, kLpcSize> prevLpc_{};
    std::array<float, kMaxBlock> prevResidual_{};
};

}  // namespace ambrel::ilbc
