// Any bytes as a GSM 06.10 frame.
#include "FixedFrameFuzz.h"
#include "audio/codecs/GsmCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return ambrel::fuzz::decodeFixedFrame<ambrel::GsmCodec>(data, size);
}
