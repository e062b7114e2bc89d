// Shared body of the fuzz targets of fixed-frame decoders: any bytes give
// exactly one frame of samples, decoded or kept from before, never more.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace ambrel::fuzz {

template <class Codec>
int decodeFixedFrame(const std::uint8_t* data, std::size_t size) {
    static Codec codec;  // decoder state carries over, as in a call
    static std::vector<std::int16_t> wide;
    static std::vector<std::uint8_t> narrow;
    constexpr std::size_t frame = Codec::kFrameSamples;
    if (size % 2 == 0) {  // both widths, chosen by the input
        const std::size_t n = codec.decode16(data, size, wide, false);
        if ((n != 0 && n != frame) || wide.size() != frame) std::abort();
    } else {
        const std::size_t n = codec.decode8(data, size, narrow, false);
        if ((n != 0 && n != frame) || narrow.size() != frame) std::abort();
    }
    return 0;
}

}  // namespace ambrel::fuzz
