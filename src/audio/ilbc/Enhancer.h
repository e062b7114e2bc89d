// The decoder's pitch enhancer (RFC 3951 4.6): smooths each 80-sample block
// of the residual towards its pitch-synchronous neighbours in the past and
// the future. It looks one block ahead, so its output lags the input by
// 40 samples (20 ms mode) or 80 samples (30 ms mode).
#pragma once

#include <array>

#include "audio/ilbc/Constants.h"

namespace ambrel::ilbc {

using SegmentWeights = std::array<float, 2 * kEnhHalfLength + 1>;

class Enhancer {
public:
    explicit Enhancer(Mode mode);

    void reset();

    // Takes one frame of residual (`in`, frameSamples of the mode) and writes
    // the enhanced, delayed frame to `out`. previousConcealed: the previous
    // frame was made up by the concealment, so its look-ahead is re-mixed
    // with a backward prediction from this frame. Returns the pitch lag the
    // concealment should use next.
    int process(const float* in, float* out, bool previousConcealed);

private:
    void enhanceBlock(float* out, int centerStart) const;

    Mode mode_;
    SegmentWeights weights_;
    std::array<float, kEnhBufferLength> buffer_{};
    std::array<float, kEnhBlocksTotal> period_{};
};

}  // namespace ambrel::ilbc
