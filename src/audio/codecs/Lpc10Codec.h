// LPC-10 at 2400 bit/s over spandsp: 180 samples to 54 channel bits packed
// into 7 bytes, least significant bit first (bit i of the frame in byte i / 8
// at bit position i % 8; the last byte uses its low 6 bits).
#pragma once

#include <array>

#include "audio/codecs/Pcm16Codec.h"

struct lpc10_encode_state_s;
struct lpc10_decode_state_s;

namespace ambrel {

class Lpc10Codec final : public Pcm16Codec {
public:
    static constexpr std::size_t kFrameSamples = 180;
    static constexpr std::size_t kFrameBytes = 7;
    static constexpr std::size_t kFrameBits = 54;

    Lpc10Codec();
    ~Lpc10Codec() override;
    Lpc10Codec(const Lpc10Codec&) = delete;
    Lpc10Codec& operator=(const Lpc10Codec&) = delete;

    // Re-initialises encoder and decoder in place. Not while another call runs.
    void reset() override;
    // Recorder thread. Encodes the first 180 samples (fewer are padded with
    // silence) into 7 bytes; returns 7.
    std::size_t encode16(const std::int16_t* samples, std::size_t count,
                         std::vector<std::uint8_t>& out, bool append) override;
    // Player thread. Appends 180 samples decoded from the first 7 bytes
    // and returns 180; a frame shorter than 7 bytes is not decoded (returns 0,
    // the samples keep what the reused buffer held).
    std::size_t decode16(const std::uint8_t* bytes, std::size_t length,
                         std::vector<std::int16_t>& out, bool append) override;

    // Converts 7 bytes from the library's layout (channel bit i at bit
    // 7 - i % 8) to the frame's (bit i % 8), and back. The 2 bits past
    // channel bit 53 are cleared.
    static void toFrameLayout(const std::uint8_t* library, std::uint8_t* frame);
    static void toLibraryLayout(const std::uint8_t* frame, std::uint8_t* library);

private:
    lpc10_encode_state_s* encoder_ = nullptr;
    lpc10_decode_state_s* decoder_ = nullptr;
    std::array<std::int16_t, kFrameSamples> input_{};
    std::array<std::uint8_t, kFrameBytes> encoded_{};  // encoder side only
    std::array<std::uint8_t, kFrameBytes> received_{};  // decoder side only
};

}  // namespace ambrel
