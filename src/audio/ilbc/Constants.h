// Dimensions of the iLBC algorithm and the per-mode layout of a frame.
#pragma once

#include <array>
#include <cstdint>

#include "audio/ilbc/Mode.h"

namespace ambrel::ilbc {

inline constexpr int kOrder = 10;              // LPC order
inline constexpr int kHalfOrder = kOrder / 2;
inline constexpr int kLpcSize = kOrder + 1;    // a[0] = 1 plus kOrder coefficients
inline constexpr int kSubframe = 40;           // samples per sub-block
inline constexpr int kStateLength = 80;        // two sub-blocks hold the start state
inline constexpr int kMaxBlock = 240;
inline constexpr int kMaxSubframes = 6;
inline constexpr int kMaxAdaptiveSubframes = 4;
inline constexpr int kMaxStateShort = 58;
inline constexpr int kMaxLpcSets = 2;
inline constexpr int kLsfSplits = 3;
inline constexpr int kLpcLookback = 60;

inline constexpr int kStages = 3;              // adaptive codebook stages
inline constexpr int kCodebookMemory = 147;    // CB_MEML: memory of a full sub-block
inline constexpr int kStartStateMemory = 85;   // memory for the part of the start state
inline constexpr int kCodebookFilterLength = 8;
inline constexpr int kCodebookHalfFilter = 4;
inline constexpr int kRestrictedRange = 34;    // search width of the filtered section
inline constexpr float kMaxGain = 1.3f;

inline constexpr float kChirpSynthesis = 0.9025f;
inline constexpr float kChirpWeighting = 0.4222f;

inline constexpr float kEps = 2.220446049250313e-016f;
inline constexpr float kFloatMax = 1.0e37f;
inline constexpr float kPi = 3.14159265358979323846f;
inline constexpr float kTwoPi = 6.283185307f;
inline constexpr float kInvTwoPi = 0.159154943f;

// Enhancer.
inline constexpr int kEnhBlock = 80;
inline constexpr int kEnhBlockHalf = kEnhBlock / 2;
inline constexpr int kEnhHalfLength = 3;      // 2 * 3 + 1 pitch-synchronous segments
inline constexpr int kEnhSlop = 2;
inline constexpr int kEnhOverhang = 2;
inline constexpr int kEnhUpsampling = 4;
inline constexpr int kEnhFilterHalf = 3;
inline constexpr int kEnhVectorLength = kEnhBlock + 2 * kEnhFilterHalf;
inline constexpr int kEnhCorrDim = 2 * kEnhSlop + 1;
inline constexpr int kEnhBlocks = kMaxBlock / kEnhBlock;
inline constexpr int kEnhBlocksExtra = 5;
inline constexpr int kEnhBlocksTotal = 8;
inline constexpr int kEnhBufferLength = kEnhBlocksTotal * kEnhBlock;
inline constexpr float kEnhAlpha = 0.05f;

// The last kOrder samples an LPC filter has seen.
using FilterState = std::array<float, kOrder>;

// Bits of one parameter given to each of the three protection classes, most
// significant part first (RFC 3951 section 3.8).
using BitSplit = std::array<std::uint8_t, 3>;

struct BitAllocation {
    std::array<BitSplit, kLsfSplits * kMaxLpcSets> lsf;
    BitSplit start;
    BitSplit stateFirst;
    BitSplit scale;
    BitSplit state;                                  // per start-state sample
    std::array<BitSplit, kStages> extraIndex;
    std::array<BitSplit, kStages> extraGain;
    std::array<std::array<BitSplit, kStages>, kMaxAdaptiveSubframes> index;
    std::array<std::array<BitSplit, kStages>, kMaxAdaptiveSubframes> gain;
};

struct ModeConfig {
    Mode mode;
    int blockLength;        // samples per frame
    int subframes;          // 40-sample sub-blocks per frame
    int adaptiveSubframes;  // sub-blocks coded with the adaptive codebook
    int lpcSets;            // LSF vectors per frame
    int bytes;
    int stateShort;         // scalar-quantised part of the start state
    int maxStart;           // largest valid start-state position (1-based)
    const BitAllocation* bits;
};

const ModeConfig& modeConfig(Mode mode);

}  // namespace ambrel::ilbc
