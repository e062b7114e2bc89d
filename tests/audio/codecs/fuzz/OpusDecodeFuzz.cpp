// Any bytes as an Opus frame of either frame length: one frame of samples
// comes out, decoded or kept from before; concealment after it stays in step.
#include <cstdlib>
#include <vector>

#include "audio/CodecTable.h"

namespace {

ambrel::CodecChoice& choice(std::size_t which) {
    static ambrel::CodecChoice choices[2] = {ambrel::chooseCodec(0xEA, 0), ambrel::chooseCodec(0xEB, 0)};
    return choices[which % 2];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::vector<std::int16_t> wide;
    static std::vector<std::uint8_t> narrow;
    // By length: a 40-byte (5 ms) frame reaches the low-delay decoder, an
    // 80-byte (20 ms) one the other.
    ambrel::CodecChoice& c = choice(size / 40 == 1 ? 1 : 0);
    const std::size_t frame = c.frameSamples;
    if ((size / 3) % 2 == 0) {
        const std::size_t n = c.codec->decode16(data, size, wide, false);
        if ((n != 0 && n != frame) || wide.size() != frame) std::abort();
    } else {
        const std::size_t n = c.codec->decode8(data, size, narrow, false);
        if ((n != 0 && n != frame) || narrow.size() != frame) std::abort();
    }
    if (size % 5 == 0) {
        const std::size_t n = c.codec->conceal16(wide, false);
        if ((n != 0 && n != frame) || wide.size() != frame) std::abort();
    }
    return 0;
}
