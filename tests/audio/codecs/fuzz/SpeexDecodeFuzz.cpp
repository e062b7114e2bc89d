// Any bytes as a Speex frame in each mode: one frame of samples comes out,
// and the decoder never claims more bytes than it was given.
#include <cstdlib>
#include <memory>

#include "audio/CodecTable.h"
#include "audio/codecs/SpeexCodec.h"

namespace {

// Narrowband, wideband and ultra-wideband as the table configures them
// (variable rate: the decoder is the same).
ambrel::CodecChoice& choice(std::size_t which) {
    static ambrel::CodecChoice choices[3] = {ambrel::chooseCodec(0x89, 0), ambrel::chooseCodec(0xA9, 0),
                                             ambrel::chooseCodec(0xC9, 0)};
    return choices[which % 3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::vector<std::int16_t> wide;
    static std::vector<std::uint8_t> narrow;
    ambrel::CodecChoice& c = choice(size);
    auto& speex = static_cast<ambrel::SpeexCodec&>(*c.codec);
    speex.setQuietMs(0);  // every input reaches the library
    const std::size_t frame = c.frameSamples;
    if ((size / 3) % 2 == 0) {
        const std::size_t n = speex.decode16(data, size, wide, false);
        if ((n != 0 && n != frame) || wide.size() != frame) std::abort();
    } else {
        const std::size_t n = speex.decode8(data, size, narrow, false);
        if ((n != 0 && n != frame) || narrow.size() != frame) std::abort();
    }
    if (speex.consumedBytes() > size) std::abort();
    return 0;
}
