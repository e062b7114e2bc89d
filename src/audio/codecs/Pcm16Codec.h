// Base of the adapters whose codec works on 16-bit samples: the 8-bit entry
// points convert the frame to 16 bits, run the 16-bit path and convert the
// decoded samples back.
#pragma once

#include "audio/VoiceCodec.h"

namespace ambrel {

class Pcm16Codec : public VoiceCodec {
public:
    // Recorder thread.
    std::size_t encode8(const std::uint8_t* samples, std::size_t count,
                        std::vector<std::uint8_t>& out, bool append) final;
    // Player thread. On a failed decode the previous frame is converted
    // again, so `out` still holds one frame.
    std::size_t decode8(const std::uint8_t* bytes, std::size_t length,
                        std::vector<std::uint8_t>& out, bool append) final;

protected:
    Pcm16Codec();

private:
    // One scratch buffer per direction: encoding and decoding run on
    // different threads.
    std::vector<std::int16_t> encodeScratch_;
    std::vector<std::int16_t> decodeScratch_;
};

}  // namespace ambrel
