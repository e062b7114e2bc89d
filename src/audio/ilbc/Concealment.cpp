#include "audio/ilbc/Concealment.h"

#include <algorithm>
#include <cmath>

#include "audio/ilbc/Dsp.h"

namespace ambrel::ilbc {

void Concealment::reset() {
    prevLag_ = 120;
    lostCount_ = 0;
    prevLost_ = false;
    periodicity_ = 0.0f;
    seed_ = 777;
    prevLpc_.fill(0.0f);
    prevLpc_[0] = 1.0f;
    prevResidual_.fill(0.0f);
}

void Concealment::received(const float* residual, const float* lpc) {
    lostCount_ = 0;
    prevLost_ = false;
    std::copy_n(lpc, kLpcSize, prevLpc_.begin());
    std::copy_n(residual, blockLength_, prevResidual_.begin());
}

// Pitch prediction of the last 60 samples of the previous residual at `lag`.
void Concealment::correlation(int lag, float& cc, float& periodicity) const {
    const float* buffer = prevResidual_.data();
    int range = 60;
    if (blockLength_ - range - lag < 0) range = blockLength_ - lag;
    float cross = 0.0f;
    float lagEnergy = 0.0f;
    float energy = 0.0f;
    for (int i = 0; i < range; ++i) {
        const int at = blockLength_ - range + i;
        cross += buffer[at] * buffer[at - lag];
        lagEnergy += buffer[at - lag] * buffer[at - lag];
        energy += buffer[at] * buffer[at];
    }
    if (lagEnergy > 0.0f) {
        cc = cross * cross / lagEnergy;
        periodicity = absOf(cross) / (sqrtOf(lagEnergy) * sqrtOf(energy));
    } else {
        cc = 0.0f;
        periodicity = 0.0f;
    }
}

void Concealment::conceal(int inLag, float* residual, float* lpc) {
    ++lostCount_;
    int lag = 20;
    float periodicity = 0.0f;
    if (!prevLost_) {
        // First lost frame: refine the pitch around the decoder's estimate.
        float best;
        lag = inLag - 3;
        correlation(lag, best, periodicity);
        for (int i = inLag - 2; i <= inLag + 3; ++i) {
            float cc, per;
            correlation(i, cc, per);
            if (cc > best) {
                best = cc;
                lag = i;
                periodicity = per;
            }
        }
    } else {
        lag = prevLag_;
        periodicity = periodicity_;
    }

    // Attenuation after 40 ms of consecutive loss (the repetition below
    // damps further, so the output decays).
    float useGain = 1.0f;
    if (lostCount_ * blockLength_ > 320) useGain = 0.9f;

    const float voicing = sqrtOf(periodicity);
    float pitchFactor = 0.0f;
    if (voicing > 0.7f)
        pitchFactor = 1.0f;
    else if (voicing > 0.4f)
        pitchFactor = (voicing - 0.4f) / (0.7f - 0.4f);

    // Repeat two pitch periods when the lag is short, to avoid a buzz. A lag
    // longer than the remembered block would read before its start: cap it.
    int useLag = lag < 80 ? 2 * lag : lag;
    useLag = std::min(useLag, blockLength_);

    std::array<float, kMaxBlock> noise;
    float energy = 0.0f;
    for (int i = 0; i < blockLength_; ++i) {
        seed_ = (seed_ * 69069u + 1u) & 0x7fffffffu;
        const int randLag = 50 + static_cast<int>(static_cast<std::int64_t>(seed_) % 70);
        int pick = i - randLag;
        noise[i] = pick < 0 ? prevResidual_[blockLength_ + pick] : noise[pick];

        pick = i - useLag;
        residual[i] = pick < 0 ? prevResidual_[blockLength_ + pick] : residual[pick];

        const float mixed = pitchFactor * residual[i] + (1.0f - pitchFactor) * noise[i];
        if (i < 80)
            residual[i] = useGain * mixed;
        else if (i < 160)
            residual[i] = 0.95f * useGain * mixed;
        else
            residual[i] = 0.9f * useGain * mixed;
        energy += residual[i] * residual[i];
    }
    // Below 30 dB, use the noise only.
    if (std::sqrt(static_cast<double>(energy / static_cast<float>(blockLength_))) < 30.0)
        std::copy_n(noise.begin(), blockLength_, residual);

    std::copy(prevLpc_.begin(), prevLpc_.end(), lpc);
    prevLag_ = lag;
    periodicity_ = periodicity;
    prevLost_ = true;
    std::copy_n(residual, blockLength_, prevResidual_.begin());
}

}  // namespace ambrel::ilbc
