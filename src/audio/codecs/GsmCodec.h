// GSM 06.10 full rate over libgsm: 160 samples to a 33-byte frame whose first
// byte carries 0xD in its upper four bits, and back.
#pragma once

#include <array>

#include "audio/codecs/Pcm16Codec.h"

struct gsm_state;

namespace ambrel {

class GsmCodec final : public Pcm16Codec {
public:
    static constexpr std::size_t kFrameSamples = 160;
    static constexpr std::size_t kFrameBytes = 33;

    GsmCodec();
    ~GsmCodec() override;
    GsmCodec(const GsmCodec&) = delete;
    GsmCodec& operator=(const GsmCodec&) = delete;

    // Fresh encoder and decoder states. Not while another call runs.
    void reset() override;
    // Recorder thread. Encodes the first 160 samples (fewer are padded with
    // silence) into 33 bytes; returns 33.
    std::size_t encode16(const std::int16_t* samples, std::size_t count,
                         std::vector<std::uint8_t>& out, bool append) override;
    // Player thread. Appends 160 samples decoded from the first 33 bytes
    // and returns 160. A frame shorter than 33 bytes or whose first byte does
    // not start with 0xD is not decoded: returns 0, the 160 samples keep what
    // the reused buffer held.
    std::size_t decode16(const std::uint8_t* bytes, std::size_t length,
                         std::vector<std::int16_t>& out, bool append) override;

private:
    gsm_state* encoder_ = nullptr;
    gsm_state* decoder_ = nullptr;
    std::array<short, kFrameSamples> input_{};          // libgsm wants a writable frame
    std::array<unsigned char, kFrameBytes> frame_{};    // ditto for the code bytes
};

}  // namespace ambrel
