// VoiceCodec: the one interface every codec adapter implements. The audio
// engine drives the current adapter without knowing which codec it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ambrel {

// One frame in, one frame out. A frame is the codec's samples per frame (see
// CodecTable.h); the engine always hands exactly one frame.
//
// Output buffers: when `append` is false `out` is emptied first; the result is
// appended and the number of units produced is returned (bytes for encoders
// and decode8, 16-bit samples for decode16). Buffers are reused by the
// caller, so an adapter allocates only while a buffer still grows.
//
// A failed library encode or decode returns 0 but still leaves one frame's
// length in `out` (a decoder leaves what the reused buffer held there, normally
// the previous frame). Input from the network is never trusted: any bytes of
// any length are safe to decode.
//
// 8-bit samples are unsigned (128 = silence); 16-bit samples are signed.
// Growing a buffer beyond available memory throws MemoryException.
//
// Threads: not thread-safe. Encoding runs on the recorder thread; each player
// decodes (and conceals) with an adapter of its own on its player thread.
// Encoder and decoder states are separate, so one encoding and one decoding
// call may run at the same time.
class VoiceCodec {
public:
    // Puts encoder and decoder back into their initial state.
    virtual void reset() {}

    // Encodes one frame of `count` 8-bit unsigned samples into `out`.
    virtual std::size_t encode8(const std::uint8_t* samples, std::size_t count,
                                std::vector<std::uint8_t>& out, bool append) = 0;
    // Decodes one frame of `length` bytes into 8-bit unsigned samples.
    virtual std::size_t decode8(const std::uint8_t* bytes, std::size_t length,
                                std::vector<std::uint8_t>& out, bool append) = 0;
    // Encodes one frame of `count` 16-bit signed samples into `out`.
    virtual std::size_t encode16(const std::int16_t* samples, std::size_t count,
                                 std::vector<std::uint8_t>& out, bool append) = 0;
    // Decodes one frame of `length` bytes into 16-bit signed samples.
    virtual std::size_t decode16(const std::uint8_t* bytes, std::size_t length,
                                 std::vector<std::int16_t>& out, bool append) = 0;
    // Makes up one frame of 16-bit samples for a frame that never arrived,
    // from the decoder's state, and moves that state on as a lost frame
    // would. Returns the samples produced; 0 (the default) means the codec
    // has no concealment of its own and leaves `out` as it was: the player
    // then repeats the last pitch period it played (see Playout.h).
    virtual std::size_t conceal16(std::vector<std::int16_t>& out, bool append) {
        (void)out;
        (void)append;
        return 0;
    }

    virtual ~VoiceCodec() = default;
};

}  // namespace ambrel
