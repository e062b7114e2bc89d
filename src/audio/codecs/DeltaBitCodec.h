// Lossless delta coder on 8-bit samples. Each sample costs one 1 bit when it
// equals the previous one, else |d| zero bits, a 1 bit and a sign bit (1 when
// d < 0). Bits are packed least significant first; every frame starts from
// 128 and ends on a byte boundary (fill bits are 0).
#pragma once

#include "audio/VoiceCodec.h"

namespace ambrel {

class DeltaBitCodec final : public VoiceCodec {
public:
    static constexpr std::size_t kFrameSamples = 800;

    DeltaBitCodec();

    // Recorder thread. Returns the bytes written (at most 33 per sample).
    std::size_t encode8(const std::uint8_t* samples, std::size_t count,
                        std::vector<std::uint8_t>& out, bool append) override;
    // Player thread. Decodes every complete code in the bytes (at most 8
    // samples per byte); trailing zero bits and a code cut short are ignored.
    // Returns the samples produced.
    std::size_t decode8(const std::uint8_t* bytes, std::size_t length,
                        std::vector<std::uint8_t>& out, bool append) override;
    // As encode8 after narrowing the samples to 8 bits.
    std::size_t encode16(const std::int16_t* samples, std::size_t count,
                         std::vector<std::uint8_t>& out, bool append) override;
    // As decode8, widening the samples to 16 bits.
    std::size_t decode16(const std::uint8_t* bytes, std::size_t length,
                         std::vector<std::int16_t>& out, bool append) override;

    // Length in bytes of the frame of `samples` codes at the start of
    // `bytes` (up to its byte boundary), or `length` when the bytes end first.
    // Frames have no header, so this is how concatenated frames are split.
    static std::size_t frameLength(const std::uint8_t* bytes, std::size_t length, std::size_t samples);

private:
    std::vector<std::uint8_t> encodeScratch_;  // recorder thread
    std::vector<std::uint8_t> decodeScratch_;  // player thread
};

}  // namespace ambrel
