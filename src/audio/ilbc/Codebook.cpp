#include "audio/ilbc/Codebook.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "audio/ilbc/Tables.h"

namespace ambrel::ilbc {

namespace {

// Distance back from the end of the memory to the vector's start (k) for an
// index in the augmented part (interpolated) or plain part of a section.
struct VectorPlace {
    bool interpolated;
    int k;
};

VectorPlace placeInSection(int lMem, int length, int indexInSection) {
    const int plain = lMem - length + 1;
    if (indexInSection < plain) return {false, indexInSection + length};
    return {true, 2 * (indexInSection - plain) + length};
}

// Augmented vector: the last k/2 samples repeated, with a 5-sample linear
// cross-fade between the two copies.
void interpolatedVector(const float* buffer, int lMem, int k, int length, float* out) {
    const int high = k / 2;
    const int low = high - 5;
    std::copy_n(buffer + lMem - k / 2, low, out);
    float alpha = 0.0f;
    for (int j = low; j < high; ++j) {
        out[j] = (1.0f - alpha) * buffer[lMem - k / 2 + j] + alpha * buffer[lMem - k + j];
        alpha += 0.2f;
    }
    std::copy_n(buffer + lMem - k + high, length - high, out + high);
}

}  // namespace

bool codebookIndexValid(int lMem, int length, int index) {
    if (index < 0 || length > lMem) return false;
    const int section = codebookSectionSize(lMem, length);
    if (index < 2 * section) return true;
    // Past the end of the table the construction rule still names an
    // interpolated filtered vector (the 7-bit start-state index of 20 ms
    // frames can reach two of them); accept it while it fits the memory.
    const VectorPlace place = placeInSection(lMem, length, index - section);
    return place.k <= lMem && place.k / 2 <= length;
}

void filterCodebookMemory(const float* mem, int lMem, int from, int count, float* out) {
    // The memory between zeros, so that every tap reads a sample.
    constexpr int kBefore = kCodebookHalfFilter - 1;
    std::array<float, kBefore + kCodebookMemory + kCodebookFilterLength> padded{};
    std::copy_n(mem, lMem, padded.begin() + kBefore);
    const auto& f = tables::kCodebookFilter;
    for (int n = 0; n < count; ++n) {
        const float* x = padded.data() + from + n;  // = mem[from + n - 3]
        float sum = 0.0f;
        for (int j = 0; j < kCodebookFilterLength; ++j) sum += x[j] * f[kCodebookFilterLength - 1 - j];
        out[n] = sum;
    }
}

void codebookVector(const float* mem, int lMem, int index, int length, float* out) {
    const int section = codebookSectionSize(lMem, length);
    if (index < section) {
        const VectorPlace place = placeInSection(lMem, length, index);
        if (!place.interpolated)
            std::copy_n(mem + lMem - place.k, length, out);
        else
            interpolatedVector(mem, lMem, place.k, length, out);
        return;
    }
    const VectorPlace place = placeInSection(lMem, length, index - section);
    const int from = lMem - place.k;
    if (!place.interpolated) {
        filterCodebookMemory(mem, lMem, from, length, out);
        return;
    }
    std::array<float, kCodebookMemory> filtered;
    filterCodebookMemory(mem, lMem, from, place.k, filtered.data() + from);
    interpolatedVector(filtered.data(), lMem, place.k, length, out);
}

float dequantizeGain(int index, float maxIn, int levels) {
    float scale = std::fabs(maxIn);
    if (scale < 0.1) scale = 0.1f;
    if (levels == 8) return scale * tables::kGain3Bit[index];
    if (levels == 16) return scale * tables::kGain4Bit[index];
    return scale * tables::kGain5Bit[index];
}

float quantizeGain(float in, float maxIn, int levels, int& index) {
    float scale = maxIn;
    if (scale < 0.1) scale = 0.1f;
    const float* table = levels == 8 ? tables::kGain3Bit.data()
                         : levels == 16 ? tables::kGain4Bit.data()
                                        : tables::kGain5Bit.data();
    float best = 10000000.0f;
    int bestIndex = 0;
    for (int i = 0; i < levels; ++i) {
        const float measure = (in - scale * table[i]) * (in - scale * table[i]);
        if (measure < best) {
            bestIndex = i;
            best = measure;
        }
    }
    index = bestIndex;
    return scale * table[bestIndex];
}

void constructExcitation(const float* mem, int lMem, const int* index, const int* gainIndex, int length,
                         float* out) {
    std::array<float, kStages> gain;
    gain[0] = dequantizeGain(gainIndex[0], 1.0f, 32);
    gain[1] = dequantizeGain(gainIndex[1], std::fabs(gain[0]), 16);
    gain[2] = dequantizeGain(gainIndex[2], std::fabs(gain[1]), 8);
    std::array<float, kSubframe> vec;
    codebookVector(mem, lMem, index[0], length, vec.data());
    for (int j = 0; j < length; ++j) out[j] = gain[0] * vec[j];
    for (int k = 1; k < kStages; ++k) {
        codebookVector(mem, lMem, index[k], length, vec.data());
        for (int j = 0; j < length; ++j) out[j] += gain[k] * vec[j];
    }
}

void indexToTransmitted(int* stageIndices) {
    for (int k = 1; k < kStages; ++k) {
        int& i = stageIndices[k];
        if (i >= 108 && i < 172)
            i -= 64;
        else if (i >= 236)
            i -= 128;
    }
}

void indexFromTransmitted(int* stageIndices) {
    for (int k = 1; k < kStages; ++k) {
        int& i = stageIndices[k];
        if (i >= 44 && i < 108)
            i += 64;
        else if (i >= 108 && i < 128)
            i += 128;
    }
}

}  // namespace ambrel::ilbc
