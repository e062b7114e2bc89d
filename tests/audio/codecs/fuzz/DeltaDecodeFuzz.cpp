// Any bytes as a delta-coded frame: at most eight samples a byte, and the
// frame splitter stays inside the bytes.
#include <cstdlib>

#include "audio/codecs/DeltaBitCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ambrel::DeltaBitCodec codec;
    static std::vector<std::int16_t> wide;
    static std::vector<std::uint8_t> narrow;
    if (size % 2 == 0) {
        const std::size_t n = codec.decode16(data, size, wide, false);
        if (n != wide.size() || n > size * 8) std::abort();
    } else {
        const std::size_t n = codec.decode8(data, size, narrow, false);
        if (n != narrow.size() || n > size * 8) std::abort();
    }
    const std::size_t length = ambrel::DeltaBitCodec::frameLength(data, size, ambrel::DeltaBitCodec::kFrameSamples);
    if (length > size) std::abort();
    return 0;
}
