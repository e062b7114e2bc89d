// The adaptive codebook of iLBC (RFC 3951 3.6.3 and 4.3): vectors taken
// from the past excitation, augmented (interpolated) vectors for lags shorter
// than a sub-block, and a second, filtered copy of both sections.
#pragma once

#include <algorithm>
#include <array>

#include "audio/ilbc/Constants.h"

namespace ambrel::ilbc {

// Vectors in one (unfiltered or filtered) section for a memory of lMem
// samples and vectors of `length` samples (length 40 adds 20 augmented ones).
constexpr int codebookSectionSize(int lMem, int length) {
    return lMem - length + 1 + (length == kSubframe ? length / 2 : 0);
}

// True when `index` names a vector that codebookVector can build.
bool codebookIndexValid(int lMem, int length, int index);

// out[n] = sum_j mem[from + n - 3 + j] * filter[7 - j], zero outside the memory.
void filterCodebookMemory(const float* mem, int lMem, int from, int count, float* out);

// Builds vector `index` (valid by codebookIndexValid) of `length` samples.
void codebookVector(const float* mem, int lMem, int index, int length, float* out);

// Gain tables of 32, 16 and 8 levels for stages 1, 2 and 3, scaled by the
// magnitude of the previous stage's gain (at least 0.1).
float dequantizeGain(int index, float maxIn, int levels);
float quantizeGain(float in, float maxIn, int levels, int& index);
inline int gainLevels(int stage) { return stage == 0 ? 32 : stage == 1 ? 16 : 8; }

// Sum over the stages of gain * codebook vector (iCBConstruct).
void constructExcitation(const float* mem, int lMem, const int* index, const int* gainIndex, int length,
                         float* out);

// The first adaptive sub-block sends stage 2 and 3 indices in 7 bits: the
// part of the codebook that a short memory can fill is mapped onto 0..127.
void indexToTransmitted(int* stageIndices);
void indexFromTransmitted(int* stageIndices);

// The past excitation the codebook is built from, grown sub-block by
// sub-block from the start state (forwards, or backwards in reversed time).
class CodebookMemory {
public:
    // Zeros, then `count` samples of `from` in time order at the end.
    void load(const float* from, int count) {
        std::fill_n(mem_.begin(), kCodebookMemory - count, 0.0f);
        std::copy_n(from, count, mem_.end() - count);
    }
    // Zeros, then `count` samples of `from` in reversed order at the end (at
    // most the whole memory).
    void loadReversed(const float* from, int count) {
        count = std::min(count, kCodebookMemory);
        for (int k = 0; k < count; ++k) mem_[kCodebookMemory - 1 - k] = from[k];
        std::fill_n(mem_.begin(), kCodebookMemory - count, 0.0f);
    }
    // Drops the oldest sub-block and appends `block`.
    void append(const float* block) {
        std::copy(mem_.begin() + kSubframe, mem_.end(), mem_.begin());
        std::copy_n(block, kSubframe, mem_.end() - kSubframe);
    }
    const float* full() const { return mem_.data(); }
    // The newest kStartStateMemory samples, for the start state's codebook part.
    const float* startState() const { return mem_.data() + kCodebookMemory - kStartStateMemory; }

private:
    std::array<float, kCodebookMemory> mem_{};
};

}  // namespace ambrel::ilbc
