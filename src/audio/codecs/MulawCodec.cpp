#include "audio/codecs/MulawCodec.h"

#include <array>

#include "audio/codecs/FrameBuffer.h"

namespace ambrel {

namespace {

// G.711 µ-law compression of the sample at the low end of each 8-wide index
// bucket: the magnitude is taken on 14 bits, clipped to 8159, biased by 33,
// then coded as segment and 4-bit mantissa, all bits inverted; the sign bit is
// set for positive samples.
constexpr std::uint8_t compress(int sample) {
    int magnitude = sample >> 2;
    std::uint8_t mask = 0xFF;
    if (magnitude < 0) {
        magnitude = -magnitude;
        mask = 0x7F;
    }
    if (magnitude > 8159) magnitude = 8159;
    magnitude += 33;
    int segment = 0;
    while (segment < 8 && magnitude > (0x40 << segment) - 1) ++segment;
    if (segment == 8) return static_cast<std::uint8_t>(0x7F ^ mask);
    const int code = (segment << 4) | ((magnitude >> (segment + 1)) & 0x0F);
    return static_cast<std::uint8_t>(code ^ mask);
}

// 13-bit index (the sample read as unsigned 16 bits, shifted right by 3):
// 0-4095 are the positive samples, 4096-8191 the negative ones.
constexpr std::array<std::uint8_t, 8192> makeEncodeTable() {
    std::array<std::uint8_t, 8192> table{};
    for (int i = 0; i < 8192; ++i) table[i] = compress(i < 4096 ? i * 8 : i * 8 - 65536);
    return table;
}

// G.711 µ-law expansion stretched by 0.414 % (truncated toward zero), so the
// loudest codes reach ±32256 rather than ±32124.
constexpr std::array<std::int16_t, 256> makeDecodeTable() {
    std::array<std::int16_t, 256> table{};
    for (int code = 0; code < 128; ++code) {
        const int u = ~code & 0x7F;
        const int biased = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
        const long magnitude = static_cast<long>(biased - 0x84) * 1004140L / 1000000L;
        table[code] = static_cast<std::int16_t>(-magnitude);
        table[code + 128] = static_cast<std::int16_t>(magnitude);
    }
    return table;
}

constexpr auto kEncode = makeEncodeTable();
constexpr auto kDecode = makeDecodeTable();

static_assert(kEncode[0] == 0xFF && kEncode[4095] == 0x80);
static_assert(kEncode[4096] == 0x00 && kEncode[8191] == 0x7E);
static_assert(kDecode[0] == -32256 && kDecode[1] == -31228 && kDecode[8] == -24031);
static_assert(kDecode[16] == -16062 && kDecode[32] == -7964 && kDecode[64] == -1891);
static_assert(kDecode[96] == -373 && kDecode[112] == -120 && kDecode[120] == -56);
static_assert(kDecode[127] == 0 && kDecode[128] == 32256 && kDecode[255] == 0);

}  // namespace

std::uint8_t MulawCodec::encodeSample(std::int16_t sample) {
    return kEncode[static_cast<std::uint16_t>(sample) >> 3];
}

std::int16_t MulawCodec::decodeSample(std::uint8_t code) {
    return kDecode[code];
}

std::size_t MulawCodec::encode16(const std::int16_t* samples, std::size_t count,
                                 std::vector<std::uint8_t>& out, bool append) {
    std::uint8_t* codes = codec::growFrame(out, append, count);
    for (std::size_t i = 0; i < count; ++i) codes[i] = kEncode[static_cast<std::uint16_t>(samples[i]) >> 3];
    return count;
}

std::size_t MulawCodec::decode16(const std::uint8_t* bytes, std::size_t length,
                                 std::vector<std::int16_t>& out, bool append) {
    std::int16_t* samples = codec::growFrame(out, append, length);
    for (std::size_t i = 0; i < length; ++i) samples[i] = kDecode[bytes[i]];
    return length;
}

}  // namespace ambrel
