#include "audio/codecs/Lpc10Codec.h"

#include <algorithm>

// Only these two: the umbrella header drags in libtiff.
#include <spandsp/telephony.h>
#include <spandsp/lpc10.h>

#include "audio/codecs/FrameBuffer.h"

namespace ambrel {

namespace {

// Error correction on: the library's usual setting, which peers expect.
constexpr int kErrorCorrection = 1;

constexpr std::uint8_t reverseBits(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i) r = static_cast<std::uint8_t>(r | (((b >> i) & 1u) << (7 - i)));
    return r;
}

}  // namespace

Lpc10Codec::Lpc10Codec() {
    encoder_ = lpc10_encode_init(nullptr, kErrorCorrection);
    decoder_ = lpc10_decode_init(nullptr, kErrorCorrection);
    if (encoder_ == nullptr || decoder_ == nullptr) {
        if (encoder_ != nullptr) lpc10_encode_free(encoder_);
        if (decoder_ != nullptr) lpc10_decode_free(decoder_);
        throw MemoryException();
    }
}

Lpc10Codec::~Lpc10Codec() {
    lpc10_encode_free(encoder_);
    lpc10_decode_free(decoder_);
}

void Lpc10Codec::reset() {
    lpc10_encode_init(encoder_, kErrorCorrection);
    lpc10_decode_init(decoder_, kErrorCorrection);
}

// Bit i sits at 7 - i % 8 in one layout and at i % 8 in the other: within
// each byte that is a reversal.
void Lpc10Codec::toFrameLayout(const std::uint8_t* library, std::uint8_t* frame) {
    for (std::size_t i = 0; i < kFrameBytes; ++i) frame[i] = reverseBits(library[i]);
    frame[kFrameBytes - 1] &= 0x3F;
}

void Lpc10Codec::toLibraryLayout(const std::uint8_t* frame, std::uint8_t* library) {
    for (std::size_t i = 0; i < kFrameBytes; ++i) library[i] = reverseBits(frame[i]);
    library[kFrameBytes - 1] &= 0xFC;
}

std::size_t Lpc10Codec::encode16(const std::int16_t* samples, std::size_t count,
                                 std::vector<std::uint8_t>& out, bool append) {
    codec::copyFrame(samples, count, input_.data(), kFrameSamples);
    std::uint8_t* frame = codec::growFrame(out, append, kFrameBytes);
    encoded_.fill(0);
    if (lpc10_encode(encoder_, encoded_.data(), input_.data(), static_cast<int>(kFrameSamples)) !=
        static_cast<int>(kFrameBytes)) {
        return 0;
    }
    toFrameLayout(encoded_.data(), frame);
    return kFrameBytes;
}

std::size_t Lpc10Codec::decode16(const std::uint8_t* bytes, std::size_t length,
                                 std::vector<std::int16_t>& out, bool append) {
    std::int16_t* samples = codec::growFrame(out, append, kFrameSamples);
    if (length < kFrameBytes) return 0;
    toLibraryLayout(bytes, received_.data());
    if (lpc10_decode(decoder_, samples, received_.data(), static_cast<int>(kFrameBytes)) !=
        static_cast<int>(kFrameSamples)) {
        return 0;
    }
    return kFrameSamples;
}

}  // namespace ambrel
