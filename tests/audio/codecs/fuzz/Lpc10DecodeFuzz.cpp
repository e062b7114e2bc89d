// Any bytes as an LPC-10 frame.
#include "FixedFrameFuzz.h"
#include "audio/codecs/Lpc10Codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return ambrel::fuzz::decodeFixedFrame<ambrel::Lpc10Codec>(data, size);
}
