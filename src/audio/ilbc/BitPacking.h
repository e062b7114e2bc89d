// The quantisation indices of one frame and their bit layout (RFC 3951 3.8).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "audio/ilbc/Constants.h"

namespace ambrel::ilbc {

// Every index a frame carries, as it stands in the bit stream (the codebook
// indices of the first adaptive sub-block are in their transmitted, converted
// form).
struct FrameParams {
    std::array<int, kLsfSplits * kMaxLpcSets> lsf{};
    int start = 0;        // start-state position, 1..maxStart
    int stateFirst = 0;   // 1: scalar part first within the two sub-blocks
    int scale = 0;        // index of the start-state maximum
    std::array<int, kMaxStateShort> state{};
    std::array<int, kStages> extraIndex{};
    std::array<int, kStages> extraGain{};
    std::array<std::array<int, kStages>, kMaxAdaptiveSubframes> index{};
    std::array<std::array<int, kStages>, kMaxAdaptiveSubframes> gain{};
};

// Writes config.bytes bytes: class 1, 2 and 3 bits, each value most
// significant part first, then the empty-frame bit as 0. Values must fit
// their bit widths.
void packFrame(const ModeConfig& config, const FrameParams& params, std::span<std::uint8_t> frame);

// Reads config.bytes bytes (frame.size() must be at least that). Every field
// comes out within its bit width. Returns the empty-frame bit (true: the
// sender marked the frame empty).
bool unpackFrame(const ModeConfig& config, std::span<const std::uint8_t> frame, FrameParams& params);

}  // namespace ambrel::ilbc
