#include "audio/ilbc/Enhancer.h"

#include <algorithm>
#include <cstring>

#include "audio/ilbc/Dsp.h"
#include "audio/ilbc/Tables.h"

namespace ambrel::ilbc {

namespace {

int nearestNeighbor(const float* array, float value, int length) {
    float crit = array[0] - value;
    float best = crit * crit;
    int index = 0;
    for (int i = 1; i < length; ++i) {
        crit = array[i] - value;
        crit = crit * crit;
        if (crit < best) {
            best = crit;
            index = i;
        }
    }
    return index;
}

// corr[i] = sum_j seq1[i + j] * seq2[j] for i in [0, dim1 - dim2]; four
// outputs side by side, each sum in order of j.
void correlate(float* corr, const float* seq1, int dim1, const float* seq2, int dim2) {
    const int count = dim1 - dim2 + 1;
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
        for (int j = 0; j < dim2; ++j) {
            const float t = seq2[j];
            s0 += seq1[i + j] * t;
            s1 += seq1[i + 1 + j] * t;
            s2 += seq1[i + 2 + j] * t;
            s3 += seq1[i + 3 + j] * t;
        }
        corr[i] = s0;
        corr[i + 1] = s1;
        corr[i + 2] = s2;
        corr[i + 3] = s3;
    }
    for (; i < count; ++i) {
        float sum = 0.0f;
        for (int j = 0; j < dim2; ++j) sum += seq1[i + j] * seq2[j];
        corr[i] = sum;
    }
}

// Upsampling by 4 with the polyphase filter, zeros outside the sequence;
// a filter longer than the sequence is shortened symmetrically.
void upsample(float* out, const float* seq, int dim) {
    int half = kEnhFilterHalf;
    int length = 2 * half + 1;
    std::array<const float*, kEnhUpsampling> phase;
    if (length > dim) {
        const int half2 = dim / 2;
        for (int j = 0; j < kEnhUpsampling; ++j) phase[j] = tables::kPolyphaseUpsampler.data() + j * length + half - half2;
        half = half2;
        length = 2 * half + 1;
    } else {
        for (int j = 0; j < kEnhUpsampling; ++j) phase[j] = tables::kPolyphaseUpsampler.data() + j * length;
    }
    float* pu = out;
    for (int i = half; i < length; ++i) {  // filter overhangs the left end
        for (int j = 0; j < kEnhUpsampling; ++j) {
            float sum = 0.0f;
            for (int k = 0; k <= i; ++k) sum += seq[i - k] * phase[j][k];
            *pu++ = sum;
        }
    }
    for (int i = length; i < dim; ++i) {
        for (int j = 0; j < kEnhUpsampling; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < length; ++k) sum += seq[i - k] * phase[j][k];
            *pu++ = sum;
        }
    }
    for (int q = 1; q <= half; ++q) {  // filter overhangs the right end
        for (int j = 0; j < kEnhUpsampling; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < length - q; ++k) sum += seq[dim - 1 - k] * phase[j][q + k];
            *pu++ = sum;
        }
    }
}

// Finds, at quarter-sample resolution, the segment near estStart that best
// matches the block at centerStart, and returns it resampled in `seg`.
void refine(float* seg, float& updatedStart, const float* data, int dataLength, int centerStart, float estStart) {
    const int estRounded = static_cast<int>(static_cast<double>(estStart) - 0.5);
    const int searchStart = std::max(estRounded - kEnhSlop, 0);
    int searchEnd = estRounded + kEnhSlop;
    if (searchEnd + kEnhBlock >= dataLength) searchEnd = dataLength - kEnhBlock - 1;
    const int corrDim = searchEnd - searchStart + 1;

    std::array<float, kEnhCorrDim> corr;
    std::array<float, kEnhCorrDim * kEnhUpsampling> corrUp;
    correlate(corr.data(), data + searchStart, corrDim + kEnhBlock - 1, data + centerStart, kEnhBlock);
    upsample(corrUp.data(), corr.data(), corrDim);
    int tloc = 0;
    float maxv = corrUp[0];
    for (int i = 1; i < kEnhUpsampling * corrDim; ++i) {
        if (corrUp[i] > maxv) {
            tloc = i;
            maxv = corrUp[i];
        }
    }
    updatedStart = static_cast<float>(searchStart) + static_cast<float>(tloc) / static_cast<float>(kEnhUpsampling) + 1.0f;
    int tloc2 = tloc / kEnhUpsampling;
    if (tloc > tloc2 * kEnhUpsampling) ++tloc2;
    const int st = searchStart + tloc2 - kEnhFilterHalf;

    std::array<float, kEnhVectorLength> vect{};
    if (st < 0) {
        std::copy_n(data, kEnhVectorLength + st, vect.begin() - st);
    } else {
        const int end = st + kEnhVectorLength;
        const int available = end > dataLength ? kEnhVectorLength - (end - dataLength) : kEnhVectorLength;
        std::copy_n(data + st, available, vect.begin());
    }
    const int fraction = tloc2 * kEnhUpsampling - tloc;
    correlate(seg, vect.data(), kEnhVectorLength,
              tables::kPolyphaseUpsampler.data() + (2 * kEnhFilterHalf + 1) * fraction, 2 * kEnhFilterHalf + 1);
}

// Hann weights of the neighbouring segments (the current one gets none).
SegmentWeights segmentWeights() {
    constexpr int half = kEnhHalfLength;
    SegmentWeights wt;
    for (int i = 1; i <= 2 * half + 1; ++i) wt[i - 1] = 0.5f * (1 - cosOf(2 * kPi * i / (2 * half + 2)));
    wt[half] = 0.0f;
    return wt;
}

// Mixes the current block with the weighted sum of its neighbours, keeping
// the change within a fraction alpha of the block's energy.
void smooth(float* out, const float* segments, const SegmentWeights& wt, float alpha) {
    constexpr int half = kEnhHalfLength;

    std::array<float, kEnhBlock> surround;
    for (int i = 0; i < kEnhBlock; ++i) surround[i] = segments[i] * wt[0];
    for (int k = 1; k < half; ++k)
        for (int i = 0; i < kEnhBlock; ++i) surround[i] += segments[k * kEnhBlock + i] * wt[k];
    for (int k = half + 1; k <= 2 * half; ++k)
        for (int i = 0; i < kEnhBlock; ++i) surround[i] += segments[k * kEnhBlock + i] * wt[k];

    const float* current = segments + half * kEnhBlock;
    float w00 = 0.0f, w10 = 0.0f, w11 = 0.0f;
    for (int i = 0; i < kEnhBlock; ++i) {
        w00 += current[i] * current[i];
        w11 += surround[i] * surround[i];
        w10 += surround[i] * current[i];
    }
    if (std::fabs(w11) < 1.0f) w11 = 1.0f;
    const float c = sqrtOf(w00 / w11);

    float errs = 0.0f;
    for (int i = 0; i < kEnhBlock; ++i) {
        out[i] = c * surround[i];
        const float err = current[i] - out[i];
        errs += err * err;
    }
    if (errs > alpha * w00) {
        if (w00 < 1) w00 = 1;
        const float denom = (w11 * w00 - w10 * w10) / (w00 * w00);
        float a = 0.0f;
        float b = 1.0f;
        if (denom > 0.0001) {
            a = sqrtOf((alpha - alpha * alpha / 4) / denom);
            b = -alpha / 2 - a * w10 / w00;
            b = b + 1;
        }
        for (int i = 0; i < kEnhBlock; ++i) out[i] = a * surround[i] + b * current[i];
    }
}

// The 2 * half + 1 pitch-synchronous segments around the block at centerStart.
void pitchSegments(float* segments, const float* data, int dataLength, int centerStart, const float* period,
                   const float* plocs, int periodLength, int half) {
    std::array<float, 2 * kEnhHalfLength + 1> start;
    std::array<int, 2 * kEnhHalfLength + 1> lagBlock;
    const int centerEnd = centerStart + kEnhBlock - 1;
    lagBlock[half] = nearestNeighbor(plocs, 0.5f * (centerStart + centerEnd), periodLength);
    start[half] = static_cast<float>(centerStart);
    std::copy_n(data + centerStart, kEnhBlock, segments + half * kEnhBlock);

    for (int q = half - 1; q >= 0; --q) {  // past
        start[q] = start[q + 1] - period[lagBlock[q + 1]];
        lagBlock[q] = nearestNeighbor(plocs, start[q] + kEnhBlockHalf - period[lagBlock[q + 1]], periodLength);
        if (start[q] - kEnhOverhang >= 0)
            refine(segments + q * kEnhBlock, start[q], data, dataLength, centerStart, start[q]);
        else
            std::fill_n(segments + q * kEnhBlock, kEnhBlock, 0.0f);
    }
    std::array<float, kEnhBlocksTotal> plocs2;
    for (int i = 0; i < periodLength; ++i) plocs2[i] = plocs[i] - period[i];
    for (int q = half + 1; q <= 2 * half; ++q) {  // future
        lagBlock[q] = nearestNeighbor(plocs2.data(), start[q - 1] + kEnhBlockHalf, periodLength);
        start[q] = start[q - 1] + period[lagBlock[q]];
        if (start[q] + kEnhBlock + kEnhOverhang < dataLength)
            refine(segments + q * kEnhBlock, start[q], data, dataLength, centerStart, start[q]);
        else
            std::fill_n(segments + q * kEnhBlock, kEnhBlock, 0.0f);
    }
}

}  // namespace

Enhancer::Enhancer(Mode mode) : mode_(mode), weights_(segmentWeights()) { reset(); }

void Enhancer::reset() {
    buffer_.fill(0.0f);
    period_.fill(40.0f);
}

void Enhancer::enhanceBlock(float* out, int centerStart) const {
    std::array<float, (2 * kEnhHalfLength + 1) * kEnhBlock> segments;
    pitchSegments(segments.data(), buffer_.data(), kEnhBufferLength, centerStart, period_.data(),
                  tables::kEnhancerPitchLocations.data(), kEnhBlocksTotal, kEnhHalfLength);
    smooth(out, segments.data(), weights_, kEnhAlpha);
}

int Enhancer::process(const float* in, float* out, bool previousConcealed) {
    const bool is20 = mode_ == Mode::Ms20;
    const int blockLength = is20 ? 160 : 240;
    const int plcBlock = is20 ? 40 : kEnhBlock;
    const int offset = is20 ? 1 : 0;  // 20 ms frames fill two of the three blocks

    std::memmove(buffer_.data(), buffer_.data() + blockLength, (kEnhBufferLength - blockLength) * sizeof(float));
    std::copy_n(in, blockLength, buffer_.end() - blockLength);
    const int shift = 3 - offset;
    std::memmove(period_.data(), period_.data() + shift, (kEnhBlocksTotal - shift) * sizeof(float));

    // Pitch per block, estimated at half rate.
    constexpr int kInLength = kEnhBlocks * kEnhBlock + 120;
    std::array<float, kInLength / 2> down;
    downsample(buffer_.data() + (kEnhBlocksExtra + offset) * kEnhBlock - 120, kInLength - offset * kEnhBlock,
               down.data());
    int lag = 0;
    for (int block = 0; block < kEnhBlocks - offset; ++block) {
        const float* target = down.data() + 60 + block * kEnhBlockHalf;
        lag = bestPastLag(target, 10, 60, kEnhBlockHalf);
        period_[block + kEnhBlocksExtra + offset] = static_cast<float>(lag) * 2;
    }

    if (previousConcealed) {
        // The concealed frame's look-ahead is faded into a backward pitch
        // prediction from this frame's start.
        const int inLag = static_cast<int>(period_[kEnhBlocksExtra + offset]);
        lag = inLag - 1;
        float maxcc = crossCorrCoef(in, in + lag, plcBlock);
        for (int l = inLag; l <= inLag + 1; ++l) {
            const float cc = crossCorrCoef(in, in + l, plcBlock);
            if (cc > maxcc) {
                maxcc = cc;
                lag = l;
            }
        }
        period_[kEnhBlocksExtra + offset - 1] = static_cast<float>(lag);

        std::array<float, kEnhBlock> pred;
        const int fromIn = std::min(lag, plcBlock);
        for (int t = 0; t < fromIn; ++t) pred[plcBlock - 1 - t] = in[lag - 1 - t];
        float* old = buffer_.data() + kEnhBufferLength - 1 - blockLength;  // last sample before this frame
        for (int t = 0; t < plcBlock - lag; ++t) pred[plcBlock - 1 - fromIn - t] = old[-t];

        float predEnergy = 0.0f;
        float oldEnergy = 0.0f;
        for (int i = 0; i < plcBlock; ++i) {
            oldEnergy += old[-i] * old[-i];
            predEnergy += pred[i] * pred[i];
        }
        predEnergy = sqrtOf(predEnergy / static_cast<float>(plcBlock));
        oldEnergy = sqrtOf(oldEnergy / static_cast<float>(plcBlock));
        if (predEnergy > 2.0f * oldEnergy && predEnergy > 0.0f) {
            for (int i = 0; i < plcBlock - 10; ++i) pred[i] *= 2.0f * oldEnergy / predEnergy;
            for (int i = plcBlock - 10; i < plcBlock; ++i)
                pred[i] *= static_cast<float>(i - plcBlock + 10) * (1.0f - 2.0f * oldEnergy / predEnergy) /
                               static_cast<float>(10) +
                           2.0f * oldEnergy / predEnergy;
        }
        for (int i = 0; i < plcBlock; ++i) {
            const float w = static_cast<float>(i + 1) / static_cast<float>(plcBlock + 1);
            old[-i] *= w;
            old[-i] += (1.0f - w) * pred[plcBlock - 1 - i];
        }
    }

    if (is20) {
        for (int block = 0; block < 2; ++block) enhanceBlock(out + block * kEnhBlock, (5 + block) * kEnhBlock + 40);
    } else {
        for (int block = 0; block < 3; ++block) enhanceBlock(out + block * kEnhBlock, (4 + block) * kEnhBlock);
    }
    return lag * 2;
}

}  // namespace ambrel::ilbc
