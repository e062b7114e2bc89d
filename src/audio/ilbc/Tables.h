// Numeric tables of RFC 3951 (codebooks, windows, filters, quantisers).
#pragma once

#include <array>

#include "audio/ilbc/Constants.h"

namespace ambrel::ilbc::tables {

extern const std::array<float, 3> kHpInputZeros;
extern const std::array<float, 3> kHpInputPoles;
extern const std::array<float, 3> kHpOutputZeros;
extern const std::array<float, 3> kHpOutputPoles;
extern const std::array<float, 7> kDownsampleFilter;
extern const std::array<float, 8> kStateQuantizer;
extern const std::array<float, 64> kStateMaxQuantizer;
extern const std::array<float, 8> kCodebookFilter;
extern const std::array<float, 8> kGain3Bit;
extern const std::array<float, 16> kGain4Bit;
extern const std::array<float, 32> kGain5Bit;
extern const std::array<float, 28> kPolyphaseUpsampler;
extern const std::array<float, 8> kEnhancerPitchLocations;
extern const std::array<float, 10> kLsfMean;
extern const std::array<float, 6> kLsfWeights30;
extern const std::array<float, 4> kLsfWeights20;
extern const std::array<float, 240> kLpcWindow;
extern const std::array<float, 240> kLpcAsymmetricWindow;
extern const std::array<float, 11> kLpcLagWindow;
extern const std::array<float, 1088> kLsfCodebook;

// LSF split vector quantiser: dimensions and sizes of the three splits.
inline constexpr std::array<int, kLsfSplits> kLsfSplitDim = {3, 3, 4};
inline constexpr std::array<int, kLsfSplits> kLsfSplitSize = {64, 128, 128};

// Search range of the first codebook section per sub-block (0 = start-state
// part) and stage.
inline constexpr std::array<std::array<int, kStages>, 5> kSearchRange = {{
    {58, 58, 58}, {108, 44, 44}, {108, 108, 108}, {108, 108, 108}, {108, 108, 108}}};

}  // namespace ambrel::ilbc::tables
