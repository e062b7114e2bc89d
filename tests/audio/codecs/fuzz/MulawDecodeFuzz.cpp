// Any bytes as a µ-law frame: one sample per byte.
#include <cstdlib>

#include "audio/codecs/MulawCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ambrel::MulawCodec codec;
    static std::vector<std::int16_t> wide;
    static std::vector<std::uint8_t> narrow;
    if (size % 2 == 0) {
        if (codec.decode16(data, size, wide, false) != size || wide.size() != size) std::abort();
        for (std::size_t i = 0; i < size; ++i) {
            if (wide[i] < -32256 || wide[i] > 32256) std::abort();
        }
    } else {
        if (codec.decode8(data, size, narrow, false) != size || narrow.size() != size) std::abort();
    }
    return 0;
}
