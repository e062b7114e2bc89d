#include "audio/ilbc/Decoder.h"

#include <algorithm>
#include <stdexcept>

#include "audio/ilbc/BitPacking.h"
#include "audio/ilbc/Codebook.h"
#include "audio/ilbc/Dsp.h"
#include "audio/ilbc/StartState.h"
#include "audio/ilbc/Tables.h"

namespace ambrel::ilbc {

namespace {

// Dequantised LSF vectors of a frame from their split-VQ indices.
void dequantizeLsf(const FrameParams& p, int sets, float* lsf) {
    for (int set = 0; set < sets; ++set) {
        int pos = 0;
        int cbPos = 0;
        for (int i = 0; i < kLsfSplits; ++i) {
            const int dim = tables::kLsfSplitDim[i];
            std::copy_n(tables::kLsfCodebook.data() + cbPos + p.lsf[set * kLsfSplits + i] * dim, dim,
                        lsf + set * kOrder + pos);
            pos += dim;
            cbPos += tables::kLsfSplitSize[i] * dim;
        }
    }
}

bool indicesValid(const ModeConfig& config, const FrameParams& p) {
    if (p.start < 1 || p.start > config.maxStart) return false;
    const int diff = kStateLength - config.stateShort;
    for (int k = 0; k < kStages; ++k)
        if (!codebookIndexValid(kStartStateMemory, diff, p.extraIndex[k])) return false;
    for (int i = 0; i < config.adaptiveSubframes; ++i)
        for (int k = 0; k < kStages; ++k)
            if (!codebookIndexValid(kCodebookMemory, kSubframe, p.index[i][k])) return false;
    return true;
}

}  // namespace

Decoder::Decoder(Mode mode, bool enhancer)
    : config_(&modeConfig(mode)),
      useEnhancer_(enhancer),
      concealment_(config_->blockLength),
      enhancer_(mode) {
    reset();
}

void Decoder::reset() {
    synthState_.fill(0.0f);
    std::copy(tables::kLsfMean.begin(), tables::kLsfMean.end(), lsfDeqOld_.begin());
    oldSynth_.fill(0.0f);
    for (int i = 0; i < kMaxSubframes; ++i) oldSynth_[i * kLpcSize] = 1.0f;
    hpState_.fill(0.0f);
    lastLag_ = 20;
    prevConcealed_ = false;
    concealment_.reset();
    enhancer_.reset();
}

bool Decoder::decodeResidual(std::span<const std::uint8_t> frame, Residual& residual, SubframeFilters& synth) {
    const ModeConfig& c = *config_;
    FrameParams p;
    const bool empty = unpackFrame(c, frame, p);
    indexFromTransmitted(p.index[0].data());
    if (empty || !indicesValid(c, p)) return false;

    // LPC filters per sub-block, interpolated from the previous frame's LSF.
    std::array<float, kOrder * kMaxLpcSets> lsf;
    dequantizeLsf(p, c.lpcSets, lsf.data());
    stabiliseLsf(lsf.data(), kOrder, c.lpcSets);
    if (c.mode == Mode::Ms30) {
        interpolateLsfToLpc(lsfDeqOld_.data(), lsf.data(), tables::kLsfWeights30[0], synth.data());
        for (int i = 1; i < c.subframes; ++i)
            interpolateLsfToLpc(lsf.data(), lsf.data() + kOrder, tables::kLsfWeights30[i], synth.data() + i * kLpcSize);
        std::copy_n(lsf.begin() + kOrder, kOrder, lsfDeqOld_.begin());
    } else {
        for (int i = 0; i < c.subframes; ++i)
            interpolateLsfToLpc(lsfDeqOld_.data(), lsf.data(), tables::kLsfWeights20[i], synth.data() + i * kLpcSize);
        std::copy_n(lsf.begin(), kOrder, lsfDeqOld_.begin());
    }

    // Start state: the scalar part, then the adaptive-codebook part that
    // completes its two sub-blocks (built backwards when it comes first).
    const int shortLen = c.stateShort;
    const int diff = kStateLength - shortLen;
    const int start = p.start;
    const int startPos = p.stateFirst ? (start - 1) * kSubframe : (start - 1) * kSubframe + diff;
    constructStartState(p.scale, p.state.data(), synth.data() + (start - 1) * kLpcSize, shortLen,
                        residual.data() + startPos);

    CodebookMemory mem;
    Residual reversed;
    if (p.stateFirst) {
        mem.load(residual.data() + startPos, shortLen);
        constructExcitation(mem.startState(), kStartStateMemory, p.extraIndex.data(), p.extraGain.data(), diff,
                            residual.data() + startPos + shortLen);
    } else {
        mem.loadReversed(residual.data() + startPos, shortLen);
        constructExcitation(mem.startState(), kStartStateMemory, p.extraIndex.data(), p.extraGain.data(), diff,
                            reversed.data());
        for (int k = 0; k < diff; ++k) residual[startPos - 1 - k] = reversed[k];
    }

    // Sub-blocks after the start state, then (time-reversed) those before.
    int sub = 0;
    const int forward = c.subframes - start - 1;
    if (forward > 0) {
        mem.load(residual.data() + (start - 1) * kSubframe, kStateLength);
        for (int s = 0; s < forward; ++s, ++sub) {
            float* block = residual.data() + (start + 1 + s) * kSubframe;
            constructExcitation(mem.full(), kCodebookMemory, p.index[sub].data(), p.gain[sub].data(), kSubframe,
                                block);
            mem.append(block);
        }
    }
    const int backward = start - 1;
    if (backward > 0) {
        mem.loadReversed(residual.data() + (start - 1) * kSubframe, kSubframe * (c.subframes + 1 - start));
        for (int s = 0; s < backward; ++s, ++sub) {
            float* block = reversed.data() + s * kSubframe;
            constructExcitation(mem.full(), kCodebookMemory, p.index[sub].data(), p.gain[sub].data(), kSubframe,
                                block);
            mem.append(block);
        }
        for (int i = 0; i < kSubframe * backward; ++i) residual[kSubframe * backward - 1 - i] = reversed[i];
    }
    return true;
}

void Decoder::synthesise(Residual& residual, SubframeFilters& synth, bool concealed, std::span<float> out) {
    const ModeConfig& c = *config_;
    std::array<float, kMaxBlock> data;
    if (useEnhancer_) {
        lastLag_ = enhancer_.process(residual.data(), data.data(), prevConcealed_);
        // The enhancer delays by one (20 ms) or two (30 ms) sub-blocks, so
        // the first of them take the previous frame's last filters.
        const int delayed = c.mode == Mode::Ms20 ? 1 : 2;
        for (int i = 0; i < c.subframes; ++i) {
            const float* a = i < delayed ? oldSynth_.data() + (i + c.subframes - delayed) * kLpcSize
                                         : synth.data() + (i - delayed) * kLpcSize;
            synthesisFilter(std::span<float>(data.data() + i * kSubframe, kSubframe), a, synthState_);
        }
    } else {
        // Pitch lag for a later concealment from the frame's last block
        // (lags up to 119, as far as a 20 ms frame reaches back).
        const float* target = residual.data() + c.blockLength - kEnhBlock;
        lastLag_ = bestPastLag(target, 20, std::min(120, c.blockLength - kEnhBlock + 1), kEnhBlock);
        std::copy_n(residual.begin(), c.blockLength, data.begin());
        for (int i = 0; i < c.subframes; ++i)
            synthesisFilter(std::span<float>(data.data() + i * kSubframe, kSubframe), synth.data() + i * kLpcSize,
                            synthState_);
    }
    highPass(std::span<const float>(data.data(), c.blockLength), out.first(c.blockLength), tables::kHpOutputZeros,
             tables::kHpOutputPoles, hpState_);
    std::copy_n(synth.begin(), c.subframes * kLpcSize, oldSynth_.begin());
    prevConcealed_ = concealed;
}

bool Decoder::decode(std::span<const std::uint8_t> frame, std::span<float> out) {
    if (out.size() < frameSamples()) throw std::invalid_argument("iLBC decoder: output shorter than a frame");
    Residual residual;
    SubframeFilters synth;
    if (frame.size() < frameBytes() || !decodeResidual(frame, residual, synth)) {
        conceal(out);
        return false;
    }
    concealment_.received(residual.data(), synth.data() + (config_->subframes - 1) * kLpcSize);
    synthesise(residual, synth, false, out);
    return true;
}

void Decoder::conceal(std::span<float> out) {
    if (out.size() < frameSamples()) throw std::invalid_argument("iLBC decoder: output shorter than a frame");
    Residual residual{};
    SubframeFilters synth;
    std::array<float, kLpcSize> lpc;
    concealment_.conceal(lastLag_, residual.data(), lpc.data());
    for (int i = 0; i < config_->subframes; ++i) std::copy(lpc.begin(), lpc.end(), synth.begin() + i * kLpcSize);
    synthesise(residual, synth, true, out);
}

}  // namespace ambrel::ilbc
