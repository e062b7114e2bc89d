#include "audio/ilbc/Dsp.h"

#include <algorithm>

#include "audio/ilbc/Tables.h"

namespace ambrel::ilbc {

void allPoleFilter(float* x, const float* coef, int length, int order) {
    for (int n = 0; n < length; ++n)
        for (int k = 1; k <= order; ++k) x[n] -= coef[k] * x[n - k];
}

void allZeroFilter(const float* in, const float* coef, int length, int order, float* out) {
    for (int n = 0; n < length; ++n) {
        out[n] = coef[0] * in[n];
        for (int k = 1; k <= order; ++k) out[n] += coef[k] * in[n - k];
    }
}

void zeroPoleFilter(const float* in, const float* zeros, const float* poles, int length, int order, float* out) {
    allZeroFilter(in, zeros, length, order, out);
    allPoleFilter(out, poles, length, order);
}

void synthesisFilter(std::span<float> block, const float* a, FilterState& state) {
    std::array<float, kOrder + kMaxBlock> buf;
    const int length = static_cast<int>(block.size());
    std::copy(state.begin(), state.end(), buf.begin());
    std::copy(block.begin(), block.end(), buf.begin() + kOrder);
    allPoleFilter(buf.data() + kOrder, a, length, kOrder);
    std::copy_n(buf.begin() + kOrder, length, block.begin());
    std::copy_n(buf.begin() + length, kOrder, state.begin());
}

void analysisFilter(std::span<const float> in, const float* a, std::span<float> out, FilterState& state) {
    std::array<float, kOrder + kMaxBlock> buf;
    const int length = static_cast<int>(in.size());
    std::copy(state.begin(), state.end(), buf.begin());
    std::copy(in.begin(), in.end(), buf.begin() + kOrder);
    const float* x = buf.data() + kOrder;
    for (int n = 0; n < length; ++n) {
        float sum = 0.0f;
        for (int k = 0; k <= kOrder; ++k) sum += a[k] * x[n - k];
        out[n] = sum;
    }
    std::copy_n(buf.begin() + length, kOrder, state.begin());
}

void highPass(std::span<const float> in, std::span<float> out, const std::array<float, 3>& zeros,
              const std::array<float, 3>& poles, std::array<float, 4>& state) {
    const std::size_t length = in.size();
    for (std::size_t i = 0; i < length; ++i) {
        const float x = in[i];
        float y = zeros[0] * x;
        y += zeros[1] * state[0];
        y += zeros[2] * state[1];
        state[1] = state[0];
        state[0] = x;
        out[i] = y;
    }
    for (std::size_t i = 0; i < length; ++i) {
        float y = out[i];
        y -= poles[1] * state[2];
        y -= poles[2] * state[3];
        state[3] = state[2];
        state[2] = y;
        out[i] = y;
    }
}

void autocorrelation(const float* x, int length, int order, float* r) {
    for (int lag = 0; lag <= order; ++lag) {
        float sum = 0.0f;
        for (int n = 0; n < length - lag; ++n) sum += x[n] * x[n + lag];
        r[lag] = sum;
    }
}

void levinsonDurbin(const float* r, int order, float* a) {
    a[0] = 1.0f;
    if (r[0] < kEps) {  // silent input: flat spectrum
        for (int i = 0; i < order; ++i) a[i + 1] = 0.0f;
        return;
    }
    float k = -r[1] / r[0];
    a[1] = k;
    float alpha = r[0] + r[1] * k;
    for (int m = 1; m < order; ++m) {
        float sum = r[m + 1];
        for (int i = 0; i < m; ++i) sum += a[i + 1] * r[m - i];
        k = -sum / alpha;
        alpha += k * sum;
        const int half = (m + 1) >> 1;
        for (int i = 0; i < half; ++i) {
            const float t = a[i + 1] + k * a[m - i];
            a[m - i] += k * a[i + 1];
            a[i + 1] = t;
        }
        a[m + 1] = k;
    }
}

void bandwidthExpand(const float* in, float coef, int length, float* out) {
    float chirp = coef;
    out[0] = in[0];
    for (int i = 1; i < length; ++i) {
        out[i] = chirp * in[i];
        chirp *= coef;
    }
}

void interpolate(const float* a, const float* b, float coef, int length, float* out) {
    const float inv = 1.0f - coef;
    for (int i = 0; i < length; ++i) out[i] = coef * a[i] + inv * b[i];
}

void lsfToLpc(const float* lsfIn, float* aOut) {
    std::array<float, kOrder> f;
    for (int i = 0; i < kOrder; ++i) f[i] = lsfIn[i] * kInvTwoPi;  // to fractions of the sample rate

    // Out-of-range LSFs (not produced by a sane quantiser) are spread evenly.
    if (f[0] <= 0.0f || f[kOrder - 1] >= 0.5f) {
        if (f[0] <= 0.0f) f[0] = 0.022f;
        if (f[kOrder - 1] >= 0.5f) f[kOrder - 1] = 0.499f;
        const float step = (f[kOrder - 1] - f[0]) / static_cast<float>(kOrder - 1);
        for (int i = 1; i < kOrder; ++i) f[i] = f[i - 1] + step;
    }

    // P and Q are built as products of second-order sections; running the
    // recursion over an impulse yields the polynomial coefficients one by one.
    std::array<float, kHalfOrder> p, q, a1{}, a2{}, b1{}, b2{};
    std::array<float, kHalfOrder + 1> a{}, b{};
    for (int i = 0; i < kHalfOrder; ++i) {
        p[i] = cosOf(kTwoPi * f[2 * i]);
        q[i] = cosOf(kTwoPi * f[2 * i + 1]);
    }
    auto step = [&] {
        for (int i = 0; i < kHalfOrder; ++i) {
            a[i + 1] = a[i] - 2 * p[i] * a1[i] + a2[i];
            b[i + 1] = b[i] - 2 * q[i] * b1[i] + b2[i];
            a2[i] = a1[i];
            a1[i] = a[i];
            b2[i] = b1[i];
            b1[i] = b[i];
        }
    };
    a[0] = 0.25f;
    b[0] = 0.25f;
    step();
    for (int j = 0; j < kOrder; ++j) {
        if (j == 0) {
            a[0] = 0.25f;
            b[0] = -0.25f;
        } else {
            a[0] = b[0] = 0.0f;
        }
        step();
        aOut[j + 1] = 2 * (a[kHalfOrder] + b[kHalfOrder]);
    }
    aOut[0] = 1.0f;
}

void lpcToLsf(const float* a, float* lsf) {
    // Roots of P and Q alternate on the unit circle: search each on a grid
    // of cos(omega) that is refined four times around a sign change.
    static constexpr std::array<float, 4> kSteps = {0.00635f, 0.003175f, 0.0015875f, 0.00079375f};
    std::array<float, kHalfOrder> p, q, pPre, qPre;
    for (int i = 0; i < kHalfOrder; ++i) {
        p[i] = -1.0f * (a[i + 1] + a[kOrder - i]);
        q[i] = a[kOrder - i] - a[i + 1];
    }
    pPre[0] = -1.0f - p[0];
    qPre[0] = 1.0f - q[0];
    for (int i = 1; i < kHalfOrder; ++i) {
        pPre[i] = -pPre[i - 1] - p[i];
        qPre[i] = qPre[i - 1] - q[i];
    }
    pPre[4] = pPre[4] / 2;
    qPre[4] = qPre[4] / 2;

    float omega = 0.0f;
    float oldOmega = 0.0f;
    float oldP = kFloatMax;
    float oldQ = kFloatMax;
    for (int root = 0; root < kOrder; ++root) {
        const bool even = (root & 1) == 0;
        const float* c = even ? pPre.data() : qPre.data();
        float& old = even ? oldP : oldQ;
        int stepIndex = 0;
        float step = kSteps[0];
        while (stepIndex < static_cast<int>(kSteps.size())) {
            const float x = cosOf(omega * kTwoPi);
            const float h1 = 2.0f * x + c[0];
            const float h2 = 2.0f * x * h1 - 1.0f + c[1];
            const float h3 = 2.0f * x * h2 - h1 + c[2];
            const float h4 = 2.0f * x * h3 - h2 + c[3];
            const float h5 = x * h4 - h3 + c[4];
            if ((h5 * old) <= 0.0f || omega >= 0.5f) {
                if (stepIndex == static_cast<int>(kSteps.size()) - 1) {
                    lsf[root] = (std::fabs(h5) >= std::fabs(old)) ? omega - step : omega;
                    old = (old >= 0.0f) ? -1.0f * kFloatMax : kFloatMax;
                    omega = oldOmega;
                    stepIndex = static_cast<int>(kSteps.size());
                } else {
                    if (stepIndex == 0) oldOmega = omega;
                    ++stepIndex;
                    omega -= kSteps[stepIndex];  // back one step of the finer grid
                    step = kSteps[stepIndex];
                }
            } else {
                old = h5;
                omega += step;
            }
        }
    }
    for (int i = 0; i < kOrder; ++i) lsf[i] = lsf[i] * kTwoPi;
}

void interpolateLsfToLpc(const float* lsf1, const float* lsf2, float coef, float* a) {
    std::array<float, kOrder> lsf;
    interpolate(lsf1, lsf2, coef, kOrder, lsf.data());
    lsfToLpc(lsf.data(), a);
}

bool stabiliseLsf(float* lsf, int dim, int vectors) {
    constexpr float kMinGap = 0.039f;   // 50 Hz
    constexpr float kHalfGap = 0.0195f;
    constexpr float kMaxLsf = 3.14f;    // 4000 Hz
    constexpr float kMinLsf = 0.01f;    // 0 Hz
    bool changed = false;
    for (int pass = 0; pass < 2; ++pass) {
        for (int m = 0; m < vectors; ++m) {
            for (int k = 0; k < dim - 1; ++k) {
                float* v = lsf + m * dim + k;
                if ((v[1] - v[0]) < kMinGap) {
                    if (v[1] < v[0]) {
                        v[1] = v[0] + kHalfGap;
                        v[0] = v[1] - kHalfGap;
                    } else {
                        v[0] -= kHalfGap;
                        v[1] += kHalfGap;
                    }
                    changed = true;
                }
                if (v[0] < kMinLsf) {
                    v[0] = kMinLsf;
                    changed = true;
                }
                if (v[0] > kMaxLsf) {
                    v[0] = kMaxLsf;
                    changed = true;
                }
            }
        }
    }
    return changed;
}

int vectorQuantize(const float* x, const float* codebook, int size, int dim, float* quantized) {
    float best = kFloatMax;
    int bestIndex = 0;
    for (int j = 0; j < size; ++j) {
        const float* c = codebook + j * dim;
        float dist = x[0] - c[0];
        dist *= dist;
        for (int i = 1; i < dim; ++i) {
            const float d = x[i] - c[i];
            dist += d * d;
        }
        if (dist < best) {
            best = dist;
            bestIndex = j;
        }
    }
    std::copy_n(codebook + bestIndex * dim, dim, quantized);
    return bestIndex;
}

int scalarQuantize(float x, const float* table, int size, float& quantized) {
    if (!(x > table[0])) {  // also takes NaN, which must not reach the search below
        quantized = table[0];
        return 0;
    }
    int i = 0;
    while (x > table[i] && i < size - 1) ++i;
    if (x > (table[i] + table[i - 1]) / 2) {
        quantized = table[i];
        return i;
    }
    quantized = table[i - 1];
    return i - 1;
}

void downsample(const float* in, int length, float* out) {
    constexpr int kTaps = 7;
    constexpr int kDelay = 3;
    const auto& c = tables::kDownsampleFilter;
    for (int i = kDelay; i < length; i += 2) {
        float o = 0.0f;
        for (int j = 0; j < kTaps; ++j) o += c[j] * in[i - j];
        *out++ = o;
    }
    // One more output from the tail, as the reference decimator takes it.
    float o = 0.0f;
    for (int j = 0; j < kTaps - 2; ++j) o += c[2 + j] * in[length - 1 - j];
    *out = o;
}

float crossCorrCoef(const float* target, const float* regressor, int length) {
    float cross = 0.0f;
    float energy = 0.0f;
    for (int i = 0; i < length; ++i) {
        cross += target[i] * regressor[i];
        energy += regressor[i] * regressor[i];
    }
    return cross > 0.0f ? cross * cross / energy : 0.0f;
}

int bestPastLag(const float* target, int minLag, int endLag, int length) {
    // Four lags side by side; each sum runs in the same order as alone.
    float best = 0.0f;
    int lag = minLag;
    auto consider = [&](int l, float cross, float energy) {
        const float cc = cross > 0.0f ? cross * cross / energy : 0.0f;
        if (l == minLag || cc > best) {
            best = cc;
            lag = l;
        }
    };
    int l = minLag;
    for (; l + 4 <= endLag; l += 4) {
        std::array<float, 4> cross{}, energy{};
        for (int i = 0; i < length; ++i) {
            const float t = target[i];
            for (int k = 0; k < 4; ++k) {
                const float r = target[i - l - k];
                cross[k] += t * r;
                energy[k] += r * r;
            }
        }
        for (int k = 0; k < 4; ++k) consider(l + k, cross[k], energy[k]);
    }
    for (; l < endLag; ++l) {
        float cross = 0.0f, energy = 0.0f;
        for (int i = 0; i < length; ++i) {
            const float r = target[i - l];
            cross += target[i] * r;
            energy += r * r;
        }
        consider(l, cross, energy);
    }
    return lag;
}

}  // namespace ambrel::ilbc
