#include "audio/codecs/Pcm16Codec.h"

#include "audio/codecs/FrameBuffer.h"

namespace ambrel {

Pcm16Codec::Pcm16Codec() {
    codec::reserveFor(encodeScratch_, codec::kScratchCapacity);
    codec::reserveFor(decodeScratch_, codec::kScratchCapacity);
}

std::size_t Pcm16Codec::encode8(const std::uint8_t* samples, std::size_t count,
                                std::vector<std::uint8_t>& out, bool append) {
    std::int16_t* wide = codec::growFrame(encodeScratch_, false, count);
    codec::widen(samples, count, wide);
    return encode16(wide, count, out, append);
}

std::size_t Pcm16Codec::decode8(const std::uint8_t* bytes, std::size_t length,
                                std::vector<std::uint8_t>& out, bool append) {
    const std::size_t produced = decode16(bytes, length, decodeScratch_, false);
    const std::size_t frame = decodeScratch_.size();
    std::uint8_t* narrow = codec::growFrame(out, append, frame);
    codec::narrow(decodeScratch_.data(), frame, narrow);
    return produced;
}

}  // namespace ambrel
