#include "audio/ilbc/Encoder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "audio/ilbc/BitPacking.h"
#include "audio/ilbc/Codebook.h"
#include "audio/ilbc/CodebookSearch.h"
#include "audio/ilbc/Dsp.h"
#include "audio/ilbc/StartState.h"
#include "audio/ilbc/Tables.h"

namespace ambrel::ilbc {

namespace {

// The start of the two consecutive sub-blocks with the most (edge-weighted)
// residual energy: 1-based index of the first of them.
int classifyFrame(const ModeConfig& c, const float* residual) {
    static constexpr std::array<float, kMaxSubframes - 1> kBlockWeight = {0.8f, 0.9f, 1.0f, 0.9f, 0.8f};
    static const std::array<float, 5> kEdgeWeight = {1.0f / 6.0f, 2.0f / 6.0f, 3.0f / 6.0f, 4.0f / 6.0f,
                                                     5.0f / 6.0f};
    std::array<float, kMaxSubframes> front{};  // energy with a faded-in start
    std::array<float, kMaxSubframes> back{};   // energy with a faded-out end
    const int n = c.subframes;
    const float* pp = residual;
    for (int l = 0; l < 5; ++l, ++pp) front[0] += kEdgeWeight[l] * (*pp) * (*pp);
    for (int l = 5; l < kSubframe; ++l, ++pp) front[0] += (*pp) * (*pp);
    for (int s = 1; s < n - 1; ++s) {
        pp = residual + s * kSubframe;
        for (int l = 0; l < 5; ++l, ++pp) {
            front[s] += kEdgeWeight[l] * (*pp) * (*pp);
            back[s] += (*pp) * (*pp);
        }
        for (int l = 5; l < kSubframe - 5; ++l, ++pp) {
            front[s] += (*pp) * (*pp);
            back[s] += (*pp) * (*pp);
        }
        for (int l = kSubframe - 5; l < kSubframe; ++l, ++pp) {
            front[s] += (*pp) * (*pp);
            back[s] += kEdgeWeight[kSubframe - l - 1] * (*pp) * (*pp);
        }
    }
    pp = residual + (n - 1) * kSubframe;
    for (int l = 0; l < kSubframe - 5; ++l, ++pp) back[n - 1] += (*pp) * (*pp);
    for (int l = kSubframe - 5; l < kSubframe; ++l, ++pp) back[n - 1] += kEdgeWeight[kSubframe - l - 1] * (*pp) * (*pp);

    int w = c.mode == Mode::Ms20 ? 1 : 0;
    float best = (front[0] + back[1]) * kBlockWeight[w];
    int bestStart = 1;
    for (int s = 2; s < n; ++s) {
        ++w;
        if ((front[s - 1] + back[s]) * kBlockWeight[w] > best) {
            best = (front[s - 1] + back[s]) * kBlockWeight[w];
            bestStart = s;
        }
    }
    return bestStart;
}

}  // namespace

Encoder::Encoder(Mode mode) : config_(&modeConfig(mode)) { reset(); }

void Encoder::reset() {
    analysisState_.fill(0.0f);
    std::copy(tables::kLsfMean.begin(), tables::kLsfMean.end(), lsfOld_.begin());
    std::copy(tables::kLsfMean.begin(), tables::kLsfMean.end(), lsfDeqOld_.begin());
    lpcBuffer_.fill(0.0f);
    hpState_.fill(0.0f);
}

// LPC analysis, LSF quantisation and the interpolated filters per sub-block:
// quantised ones for synthesis, unquantised and bandwidth-expanded ones for
// the perceptual weighting.
void Encoder::analyse(const float* data, SubframeFilters& synth, SubframeFilters& weight, int* lsfIndex) {
    const ModeConfig& c = *config_;
    const int keep = kLpcLookback + kMaxBlock - c.blockLength;
    std::copy_n(data, c.blockLength, lpcBuffer_.begin() + keep);

    std::array<float, kOrder * kMaxLpcSets> lsf;
    for (int k = 0; k < c.lpcSets; ++k) {
        // No look-ahead: the last analysis of a frame uses the asymmetric window.
        std::array<float, kMaxBlock> windowed;
        if (k < c.lpcSets - 1) {
            for (int i = 0; i < kMaxBlock; ++i) windowed[i] = tables::kLpcWindow[i] * lpcBuffer_[i];
        } else {
            for (int i = 0; i < kMaxBlock; ++i)
                windowed[i] = tables::kLpcAsymmetricWindow[i] * lpcBuffer_[kLpcLookback + i];
        }
        std::array<float, kLpcSize> r;
        autocorrelation(windowed.data(), kMaxBlock, kOrder, r.data());
        for (int i = 0; i < kLpcSize; ++i) r[i] = r[i] * tables::kLpcLagWindow[i];
        std::array<float, kLpcSize> a, expanded;
        levinsonDurbin(r.data(), kOrder, a.data());
        bandwidthExpand(a.data(), kChirpSynthesis, kLpcSize, expanded.data());
        lpcToLsf(expanded.data(), lsf.data() + k * kOrder);
    }
    std::memmove(lpcBuffer_.data(), lpcBuffer_.data() + c.blockLength, keep * sizeof(float));

    std::array<float, kOrder * kMaxLpcSets> lsfDeq;
    for (int k = 0; k < c.lpcSets; ++k) {
        int pos = 0;
        int cbPos = 0;
        for (int i = 0; i < kLsfSplits; ++i) {
            const int dim = tables::kLsfSplitDim[i];
            lsfIndex[k * kLsfSplits + i] =
                vectorQuantize(lsf.data() + k * kOrder + pos, tables::kLsfCodebook.data() + cbPos,
                               tables::kLsfSplitSize[i], dim, lsfDeq.data() + k * kOrder + pos);
            pos += dim;
            cbPos += dim * tables::kLsfSplitSize[i];
        }
    }
    stabiliseLsf(lsfDeq.data(), kOrder, c.lpcSets);

    std::array<float, kLpcSize> lp;
    auto setFilters = [&](int sub, const float* deq1, const float* deq2, const float* lsf1, const float* lsf2,
                          float coef) {
        interpolateLsfToLpc(deq1, deq2, coef, synth.data() + sub * kLpcSize);
        interpolateLsfToLpc(lsf1, lsf2, coef, lp.data());
        bandwidthExpand(lp.data(), kChirpWeighting, kLpcSize, weight.data() + sub * kLpcSize);
    };
    if (c.mode == Mode::Ms30) {
        setFilters(0, lsfDeqOld_.data(), lsfDeq.data(), lsfOld_.data(), lsf.data(), tables::kLsfWeights30[0]);
        for (int i = 1; i < c.subframes; ++i)
            setFilters(i, lsfDeq.data(), lsfDeq.data() + kOrder, lsf.data(), lsf.data() + kOrder,
                       tables::kLsfWeights30[i]);
        std::copy_n(lsf.begin() + kOrder, kOrder, lsfOld_.begin());
        std::copy_n(lsfDeq.begin() + kOrder, kOrder, lsfDeqOld_.begin());
    } else {
        for (int i = 0; i < c.subframes; ++i)
            setFilters(i, lsfDeqOld_.data(), lsfDeq.data(), lsfOld_.data(), lsf.data(), tables::kLsfWeights20[i]);
        std::copy_n(lsf.begin(), kOrder, lsfOld_.begin());
        std::copy_n(lsfDeq.begin(), kOrder, lsfDeqOld_.begin());
    }
}

void Encoder::encode(std::span<const float> samples, std::span<std::uint8_t> frame) {
    if (samples.size() < frameSamples() || frame.size() < frameBytes())
        throw std::invalid_argument("iLBC encoder: buffer shorter than a frame");
    const ModeConfig& c = *config_;
    std::array<float, kMaxBlock> data;
    highPass(samples.first(c.blockLength), std::span<float>(data.data(), c.blockLength), tables::kHpInputZeros,
             tables::kHpInputPoles, hpState_);

    FrameParams p;
    SubframeFilters synth, weight;
    analyse(data.data(), synth, weight, p.lsf.data());

    std::array<float, kMaxBlock> residual;
    for (int n = 0; n < c.subframes; ++n)
        analysisFilter(std::span<const float>(data.data() + n * kSubframe, kSubframe), synth.data() + n * kLpcSize,
                       std::span<float>(residual.data() + n * kSubframe, kSubframe), analysisState_);

    // Start state: the scalar part sits at the start or the end of its two
    // sub-blocks, whichever holds more energy.
    const int start = classifyFrame(c, residual.data());
    const int shortLen = c.stateShort;
    const int diff = kStateLength - shortLen;
    float en1 = 0.0f, en2 = 0.0f;
    for (int i = 0; i < shortLen; ++i) {
        const float a = residual[(start - 1) * kSubframe + i];
        const float b = residual[(start - 1) * kSubframe + diff + i];
        en1 += a * a;
        en2 += b * b;
    }
    const bool stateFirst = en1 > en2;
    const int startPos = stateFirst ? (start - 1) * kSubframe : (start - 1) * kSubframe + diff;
    p.start = start;
    p.stateFirst = stateFirst ? 1 : 0;
    searchStartState(residual.data() + startPos, synth.data() + (start - 1) * kLpcSize,
                     weight.data() + (start - 1) * kLpcSize, shortLen, stateFirst, p.scale, p.state.data());

    // The encoder keeps the decoder's residual to build its codebook memories.
    std::array<float, kMaxBlock> decoded;
    constructStartState(p.scale, p.state.data(), synth.data() + (start - 1) * kLpcSize, shortLen,
                        decoded.data() + startPos);

    CodebookMemory mem;
    std::array<float, kMaxBlock> reversedTarget, reversedDecoded;
    if (stateFirst) {
        mem.load(decoded.data() + startPos, shortLen);
        searchCodebook(p.extraIndex.data(), p.extraGain.data(), residual.data() + startPos + shortLen,
                       mem.startState(), kStartStateMemory, diff, weight.data() + start * kLpcSize, 0);
        constructExcitation(mem.startState(), kStartStateMemory, p.extraIndex.data(), p.extraGain.data(), diff,
                            decoded.data() + startPos + shortLen);
    } else {
        for (int k = 0; k < diff; ++k) reversedTarget[k] = residual[(start + 1) * kSubframe - 1 - (k + shortLen)];
        mem.loadReversed(decoded.data() + startPos, shortLen);
        searchCodebook(p.extraIndex.data(), p.extraGain.data(), reversedTarget.data(), mem.startState(),
                       kStartStateMemory, diff, weight.data() + (start - 1) * kLpcSize, 0);
        constructExcitation(mem.startState(), kStartStateMemory, p.extraIndex.data(), p.extraGain.data(), diff,
                            reversedDecoded.data());
        for (int k = 0; k < diff; ++k) decoded[startPos - 1 - k] = reversedDecoded[k];
    }

    // Sub-blocks after the start state, then (time-reversed) those before;
    // each one's decoded excitation extends the memory for the next.
    int sub = 0;
    const int forward = c.subframes - start - 1;
    if (forward > 0) {
        mem.load(decoded.data() + (start - 1) * kSubframe, kStateLength);
        for (int s = 0; s < forward; ++s, ++sub) {
            const int at = (start + 1 + s) * kSubframe;
            searchCodebook(p.index[sub].data(), p.gain[sub].data(), residual.data() + at, mem.full(),
                           kCodebookMemory, kSubframe, weight.data() + (start + 1 + s) * kLpcSize, sub + 1);
            constructExcitation(mem.full(), kCodebookMemory, p.index[sub].data(), p.gain[sub].data(), kSubframe,
                                decoded.data() + at);
            mem.append(decoded.data() + at);
        }
    }
    const int backward = start - 1;
    if (backward > 0) {
        for (int k = 0; k < kSubframe * backward; ++k) reversedTarget[k] = residual[(start - 1) * kSubframe - 1 - k];
        mem.loadReversed(decoded.data() + (start - 1) * kSubframe, kSubframe * (c.subframes + 1 - start));
        for (int s = 0; s < backward; ++s, ++sub) {
            float* block = reversedDecoded.data() + s * kSubframe;
            searchCodebook(p.index[sub].data(), p.gain[sub].data(), reversedTarget.data() + s * kSubframe,
                           mem.full(), kCodebookMemory, kSubframe, weight.data() + (start - 2 - s) * kLpcSize,
                           sub + 1);
            constructExcitation(mem.full(), kCodebookMemory, p.index[sub].data(), p.gain[sub].data(), kSubframe,
                                block);
            mem.append(block);
        }
    }

    indexToTransmitted(p.index[0].data());
    packFrame(c, p, frame);
}

}  // namespace ambrel::ilbc
