// iLBC decoder (RFC 3951 section 4).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "audio/ilbc/Concealment.h"
#include "audio/ilbc/Constants.h"
#include "audio/ilbc/Enhancer.h"
#include "audio/ilbc/Mode.h"

namespace ambrel::ilbc {

// Turns frames of frameBytes(mode) bytes into frameSamples(mode) samples at
// 8000 Hz. Output samples are floats on the 16-bit scale, not limited: pass
// them through toSample() for 16-bit PCM. With the enhancer on, the output
// lags the input by 40 (20 ms mode) or 80 samples (30 ms mode).
// One object per stream; not thread-safe; decode() allocates nothing.
class Decoder {
public:
    explicit Decoder(Mode mode, bool enhancer = true);

    // Back to the initial state (same mode and enhancer setting).
    void reset();

    Mode mode() const { return config_->mode; }
    std::size_t frameSamples() const { return ilbc::frameSamples(mode()); }
    std::size_t frameBytes() const { return ilbc::frameBytes(mode()); }

    // Decodes one frame (the first frameBytes() bytes of `frame`) into the
    // first frameSamples() samples of `out`. A frame whose empty-frame bit is
    // set, which carries an impossible index, or which is shorter than
    // frameBytes() is concealed as if lost. Returns false when the frame was
    // concealed. Throws std::invalid_argument when `out` is too short.
    bool decode(std::span<const std::uint8_t> frame, std::span<float> out);

    // Packet-loss mode: makes up one frame for a frame that never arrived.
    // Throws std::invalid_argument when `out` is too short.
    void conceal(std::span<float> out);

private:
    using Residual = std::array<float, kMaxBlock>;
    using SubframeFilters = std::array<float, kLpcSize * kMaxSubframes>;

    bool decodeResidual(std::span<const std::uint8_t> frame, Residual& residual, SubframeFilters& synth);
    void synthesise(Residual& residual, SubframeFilters& synth, bool concealed, std::span<float> out);

    const ModeConfig* config_;
    bool useEnhancer_;
    FilterState synthState_{};
    std::array<float, kOrder> lsfDeqOld_{};
    SubframeFilters oldSynth_{};
    std::array<float, 4> hpState_{};
    int lastLag_ = 20;
    bool prevConcealed_ = false;
    Concealment concealment_;
    Enhancer enhancer_;
};

// Float decoder output to a 16-bit sample: limited to [-32768, 32767], then
// truncated toward zero (NaN, which a sane stream never yields, gives 0).
inline std::int16_t toSample(float x) {
    if (x != x) return 0;
    if (x < -32768.0f) x = -32768.0f;
    else if (x > 32767.0f) x = 32767.0f;
    return static_cast<std::int16_t>(x);
}

}  // namespace ambrel::ilbc
