#include "audio/ilbc/StartState.h"

#include <algorithm>
#include <array>

#include "audio/ilbc/Dsp.h"
#include "audio/ilbc/Tables.h"

namespace ambrel::ilbc {

namespace {

// Time-reversed A(z) over A(z): an all-pass filter. The state is quantised in
// the all-pass domain, where the error spectrum follows the synthesis
// filter. The filtered signal gets a zero tail of equal length, and
// folding the tail back makes the convolution circular.
void allPassCircular(const float* syntDenum, int length, std::array<float, kOrder + 2 * kStateLength>& in,
                     std::array<float, kOrder + 2 * kStateLength>& out) {
    std::array<float, kLpcSize> numerator;
    for (int k = 0; k < kOrder; ++k) numerator[k] = syntDenum[kOrder - k];
    numerator[kOrder] = syntDenum[0];
    std::fill_n(out.begin(), kOrder, 0.0f);
    zeroPoleFilter(in.data() + kOrder, numerator.data(), syntDenum, 2 * length, kOrder, out.data() + kOrder);
}

}  // namespace

void constructStartState(int scaleIndex, const int* indices, const float* syntDenum, int length, float* out) {
    const float maxVal = pow10Of(tables::kStateMaxQuantizer[scaleIndex]) / 4.5f;
    std::array<float, kOrder + 2 * kStateLength> in{};
    std::array<float, kOrder + 2 * kStateLength> filtered;
    float* x = in.data() + kOrder;
    for (int k = 0; k < length; ++k) x[k] = maxVal * tables::kStateQuantizer[indices[length - 1 - k]];
    allPassCircular(syntDenum, length, in, filtered);
    const float* y = filtered.data() + kOrder;
    for (int k = 0; k < length; ++k) out[k] = y[length - 1 - k] + y[2 * length - 1 - k];
}

void searchStartState(const float* residual, const float* syntDenum, const float* weightDenum, int length,
                      bool stateFirst, int& scaleIndex, int* indices) {
    std::array<float, kOrder + 2 * kStateLength> in{};
    std::array<float, kOrder + 2 * kStateLength> filtered;
    std::copy_n(residual, length, in.data() + kOrder);
    allPassCircular(syntDenum, length, in, filtered);
    float* y = filtered.data() + kOrder;
    for (int k = 0; k < length; ++k) y[k] += y[k + length];

    float maxVal = y[0];
    for (int k = 1; k < length; ++k)
        if (y[k] * y[k] > maxVal * maxVal) maxVal = y[k];
    maxVal = absOf(maxVal);
    if (maxVal < 10.0f) maxVal = 10.0f;
    maxVal = log10Of(maxVal);
    float quantized;
    scaleIndex = scalarQuantize(maxVal, tables::kStateMaxQuantizer.data(),
                                static_cast<int>(tables::kStateMaxQuantizer.size()), quantized);
    const float scale = 4.5f / pow10Of(tables::kStateMaxQuantizer[scaleIndex]);
    for (int k = 0; k < length; ++k) y[k] *= scale;

    // Noise-shaped scalar quantisation: both the target and the quantised
    // signal pass the weighting filter; the filter switches at the sub-block
    // boundary.
    const int boundary = stateFirst ? kSubframe : length - kSubframe;
    std::array<float, kOrder + kMaxStateShort> shapedBuf{};
    float* shaped = shapedBuf.data() + kOrder;
    const float* weight = weightDenum;
    allPoleFilter(y, weight, boundary, kOrder);
    for (int n = 0; n < length; ++n) {
        if (n == boundary) {
            weight += kLpcSize;
            allPoleFilter(y + n, weight, length - n, kOrder);
        }
        shaped[n] = 0.0f;
        allPoleFilter(shaped + n, weight, 1, kOrder);
        const float target = y[n] - shaped[n];
        float q;
        indices[n] = scalarQuantize(target, tables::kStateQuantizer.data(), 8, q);
        shaped[n] = tables::kStateQuantizer[indices[n]];
        allPoleFilter(shaped + n, weight, 1, kOrder);
    }
}

}  // namespace ambrel::ilbc
