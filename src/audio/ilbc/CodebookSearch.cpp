#include "audio/ilbc/CodebookSearch.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "audio/ilbc/Codebook.h"
#include "audio/ilbc/Dsp.h"
#include "audio/ilbc/Tables.h"

namespace ambrel::ilbc {

namespace {

constexpr int kMaxCodebook = 256;

float inverseEnergy(float energy) { return energy > 0.0f ? 1.0f / (energy + kEps) : 0.0f; }

// The best candidate so far: the largest normalised correlation whose gain
// stays below kMaxGain; the first stage accepts positive correlations only.
struct Best {
    float measure = -10000000.0f;
    float gain = 0.0f;
    int index = 0;

    void consider(int stage, int index_, float crossDot, float invEnergy) {
        float m = crossDot * crossDot * invEnergy;
        if (stage == 0 && !(crossDot > 0.0f)) m = -10000000.0f;
        const float g = crossDot * invEnergy;
        if (m > measure && std::fabs(g) < kMaxGain) {
            index = index_;
            measure = m;
            gain = g;
        }
    }
};

// Augmented vectors of lags low..high (20..39) ending at `buffer`: energies
// are updated recursively and stored at startIndex + lag - 20.
void searchAugmented(int low, int high, int stage, int startIndex, const float* target, const float* buffer,
                     Best& best, float* energy, float* invEnergy) {
    float recursive = 0.0f;
    const float* pp = buffer - low + 1;
    for (int j = 0; j < low - 5; ++j, ++pp) recursive += (*pp) * (*pp);
    const float* ppe = buffer - low;
    for (int lag = low; lag <= high; ++lag) {
        const int at = startIndex + lag - 20;
        const int interpStart = lag - 4;
        recursive = recursive + (*ppe) * (*ppe);
        --ppe;
        energy[at] = recursive;

        float crossDot = 0.0f;
        pp = buffer - lag;
        for (int j = 0; j < interpStart; ++j) crossDot += target[j] * pp[j];
        float alpha = 0.2f;
        const float* ppo = buffer - 4;
        const float* ppi = buffer - lag - 4;
        for (int j = interpStart; j < lag; ++j, ++ppo, ++ppi) {
            const float weighted = (1.0f - alpha) * (*ppo) + alpha * (*ppi);
            energy[at] += weighted * weighted;
            crossDot += target[j] * weighted;
            alpha += 0.2f;
        }
        pp = buffer - lag;
        for (int j = lag; j < kSubframe; ++j, ++pp) {
            energy[at] += (*pp) * (*pp);
            crossDot += target[j] * (*pp);
        }
        invEnergy[at] = inverseEnergy(energy[at]);
        best.consider(stage, at, crossDot, invEnergy[at]);
    }
}

// The augmented vector of lag `lag` (20..39) ending at `buffer`.
void augmentedVector(int lag, const float* buffer, float* out) {
    const int low = lag - 5;
    std::copy_n(buffer - lag, lag, out);
    float alpha = 0.0f;
    const float* ppo = buffer - 5;
    const float* ppi = buffer - lag - 5;
    for (int j = low; j < lag; ++j, ++ppo, ++ppi) {
        out[j] = (1.0f - alpha) * (*ppo) + alpha * (*ppi);
        alpha += 0.2f;
    }
    std::copy_n(buffer - lag, kSubframe - lag, out + lag);
}

// cross[i] = sum_j target[j] * base[j - i] for i in [0, count), each sum
// taken in order of j. Four candidates run side by side: the sums stay
// exactly those of one-at-a-time loops, only their latencies overlap.
void crossDots(const float* target, const float* base, int length, int count, float* cross) {
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const float* p = base - i;
        float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
        for (int j = 0; j < length; ++j) {
            const float t = target[j];
            s0 += t * p[j];
            s1 += t * p[j - 1];
            s2 += t * p[j - 2];
            s3 += t * p[j - 3];
        }
        cross[i] = s0;
        cross[i + 1] = s1;
        cross[i + 2] = s2;
        cross[i + 3] = s3;
    }
    for (; i < count; ++i) {
        const float* p = base - i;
        float sum = 0.0f;
        for (int j = 0; j < length; ++j) sum += target[j] * p[j];
        cross[i] = sum;
    }
}

}  // namespace

void searchCodebook(int* index, int* gainIndex, const float* targetIn, const float* mem, int lMem, int length,
                    const float* weightDenum, int block) {
    const bool full = length == kSubframe;
    const int baseSize = codebookSectionSize(lMem, length);

    // Memory and target through the weighting filter (from rest).
    std::array<float, kOrder + kCodebookMemory + kSubframe> buf{};
    std::copy_n(mem, lMem, buf.begin() + kOrder);
    std::copy_n(targetIn, length, buf.begin() + kOrder + lMem);
    allPoleFilter(buf.data() + kOrder, weightDenum, lMem + length, kOrder);
    const float* weighted = buf.data() + kOrder;  // lMem samples of memory, then the target

    std::array<float, kSubframe> target;
    std::copy_n(weighted + lMem, length, target.begin());
    float targetEnergy = 0.0f;
    for (int i = 0; i < length; ++i) targetEnergy += target[i] * target[i];

    std::array<float, kCodebookMemory> filtered;
    filterCodebookMemory(weighted, lMem, 0, lMem, filtered.data());

    std::array<float, kMaxCodebook> energy{};
    std::array<float, kMaxCodebook> invEnergy{};
    std::array<float, kStages> gains{};
    std::array<float, kSubframe> sum{};
    for (int stage = 0; stage < kStages; ++stage) {
        const int range = tables::kSearchRange[block][stage];
        Best best;

        // First section: plain vectors, energies by a sliding window.
        const float* end = weighted + lMem;  // one past the newest memory sample
        if (stage == 0) {
            float e = 0.0f;
            for (int j = 0; j < length; ++j) e += end[j - length] * end[j - length];
            energy[0] = e;
            invEnergy[0] = inverseEnergy(e);
        }
        std::array<float, kMaxCodebook> cross;
        crossDots(target.data(), end - length, length, range, cross.data());
        best.consider(stage, 0, cross[0], invEnergy[0]);
        const float* ppi = end - length - 1;
        const float* ppo = end - 1;
        for (int i = 1; i < range; ++i) {
            const float crossDot = cross[i];
            if (stage == 0) {
                energy[i] = energy[i - 1] + (*ppi) * (*ppi) - (*ppo) * (*ppo);
                --ppo;
                --ppi;
                invEnergy[i] = inverseEnergy(energy[i]);
            }
            best.consider(stage, i, crossDot, invEnergy[i]);
        }
        if (full)
            searchAugmented(20, 39, stage, baseSize - length / 2, target.data(), end, best, energy.data(),
                            invEnergy.data());

        // Filtered section: only around the best index found so far.
        const int baseIndex = best.index;
        int augStart = 0;
        int augEnd = 0;
        int first = baseIndex - kRestrictedRange / 2;
        int last = first + kRestrictedRange;
        if (full) {
            if (first < 0) {
                augStart = 40 + first;
                augEnd = 39;
                first = 0;
            } else if (baseIndex < baseSize - 20) {
                if (last > range) {
                    first -= last - range;
                    last = range;
                }
            } else if (first < baseSize - 20) {
                augStart = 20;
                first = 0;
                last = 0;
                augEnd = 19 + kRestrictedRange;
                if (augEnd > 39) {
                    last = augEnd - 39;
                    augEnd = 39;
                }
            } else {
                augStart = 20 + first - (baseSize - 20);
                augEnd = 39;
                first = 0;
                last = kRestrictedRange - (augEnd - augStart + 1);
            }
        } else {
            if (first < 0) {
                last -= first;
                first = 0;
            }
            if (last > range) {
                first -= last - range;
                last = range;
            }
        }

        if (stage == 0) {
            float* e = energy.data() + baseSize;
            *e = 0.0f;
            for (int j = 0; j < length; ++j) *e += filtered[lMem - length + j] * filtered[lMem - length + j];
            const float* fi = filtered.data() + lMem - 1 - length;
            const float* fo = filtered.data() + lMem - 1;
            for (int j = 0; j < range - 1; ++j, --fi, --fo, ++e) e[1] = e[0] + (*fi) * (*fi) - (*fo) * (*fo);
        }
        if (last > first) crossDots(target.data(), filtered.data() + lMem - length - first, length, last - first, cross.data());
        for (int i = first + baseSize; i < last + baseSize; ++i) {
            invEnergy[i] = inverseEnergy(energy[i]);
            best.consider(stage, i, cross[i - first - baseSize], invEnergy[i]);
        }
        if (full && augStart != 0)
            searchAugmented(augStart, augEnd, stage, 2 * baseSize - 20, target.data(), filtered.data() + lMem, best,
                            energy.data(), invEnergy.data());

        index[stage] = best.index;
        float gain = best.gain;
        if (stage == 0) {
            if (gain < 0.0f) gain = 0.0f;
            if (gain > kMaxGain) gain = kMaxGain;
            gain = quantizeGain(gain, 1.0f, 32, gainIndex[stage]);
        } else {
            gain = quantizeGain(gain, std::fabs(gains[stage - 1]), gainLevels(stage), gainIndex[stage]);
        }

        // Take the chosen vector off the target.
        std::array<float, kSubframe> aug;
        const float* v;
        const int chosen = index[stage];
        if (chosen < baseSize) {
            if (!full || chosen < baseSize - 20) {
                v = end - length - chosen;
            } else {
                augmentedVector(chosen - baseSize + 40, end, aug.data());
                v = aug.data();
            }
        } else if (!full || chosen - baseSize < baseSize - 20) {
            v = filtered.data() + lMem - length - chosen + baseSize;
        } else {
            augmentedVector(chosen - 2 * baseSize + 40, filtered.data() + lMem, aug.data());
            v = aug.data();
        }
        for (int j = 0; j < length; ++j) {
            sum[j] += gain * v[j];
            target[j] -= gain * v[j];
        }
        gains[stage] = gain;
    }

    // Energy matching: raise the first gain while the decoded vector stays
    // below the target's energy.
    float sumEnergy = 0.0f;
    for (int i = 0; i < length; ++i) sumEnergy += sum[i] * sum[i];
    int j = gainIndex[0];
    for (int i = gainIndex[0]; i < 32; ++i) {
        const float e = sumEnergy * tables::kGain5Bit[i] * tables::kGain5Bit[i];
        if (e < (targetEnergy * gains[0] * gains[0]) && tables::kGain5Bit[j] < (2.0 * gains[0])) j = i;
    }
    gainIndex[0] = j;
}

}  // namespace ambrel::ilbc
