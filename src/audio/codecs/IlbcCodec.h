// iLBC (RFC 3951) over Ambrel's own library: 20 ms mode (160 samples to 38
// bytes) or 30 ms mode (240 samples to 50 bytes).
#pragma once

#include <array>
#include <memory>

#include "audio/codecs/Pcm16Codec.h"
#include "audio/ilbc/Decoder.h"
#include "audio/ilbc/Encoder.h"

namespace ambrel {

class IlbcCodec final : public Pcm16Codec {
public:
    explicit IlbcCodec(ilbc::Mode mode);

    // Adapters for the codec table rows of the two modes.
    static std::unique_ptr<VoiceCodec> make20();
    static std::unique_ptr<VoiceCodec> make30();

    // Re-initialises the encoder with `mode` and the decoder with `mode` and
    // the enhancer on. Not while another call runs.
    void setMode(ilbc::Mode mode);
    ilbc::Mode mode() const { return encoder_.mode(); }
    std::size_t frameSamples() const { return encoder_.frameSamples(); }
    std::size_t frameBytes() const { return encoder_.frameBytes(); }

    // Fresh encoder and decoder in the current mode (enhancer on).
    void reset() override;
    // Recorder thread. Encodes one frame (the first frameSamples() samples;
    // fewer are padded with silence) and appends frameBytes() bytes.
    std::size_t encode16(const std::int16_t* samples, std::size_t count,
                         std::vector<std::uint8_t>& out, bool append) override;
    // Player thread. Appends frameSamples() samples decoded from the
    // first frameBytes() bytes and returns their count; a frame the sender
    // marked empty, or with an impossible index, is concealed. A frame
    // shorter than frameBytes() is not decoded: returns 0 and the samples
    // keep what the reused buffer held.
    std::size_t decode16(const std::uint8_t* bytes, std::size_t length,
                         std::vector<std::int16_t>& out, bool append) override;

    // Player thread. The decoder's packet-loss mode for a lost frame.
    std::size_t conceal16(std::vector<std::int16_t>& out, bool append) override;

private:
    ilbc::Encoder encoder_;
    ilbc::Decoder decoder_;
    // One frame in floating point per direction: encoding and decoding run
    // on different threads.
    std::array<float, 240> encodeBlock_{};
    std::array<float, 240> decodeBlock_{};
};

}  // namespace ambrel
