#include "audio/codecs/DeltaBitCodec.h"

#include "audio/codecs/FrameBuffer.h"

namespace ambrel {

namespace {

// Worst case per sample: 255 zero bits, the 1 bit and the sign bit.
constexpr std::size_t kMaxBytesPerSample = (255 + 2 + 7) / 8;

class BitReader {
public:
    BitReader(const std::uint8_t* bytes, std::size_t length) : bytes_(bytes), bits_(length * 8) {}

    bool done() const { return pos_ >= bits_; }
    std::size_t position() const { return pos_; }
    int next() {
        const int bit = (bytes_[pos_ / 8] >> (pos_ % 8)) & 1;
        ++pos_;
        return bit;
    }

    // Reads one code into its delta modulo 256 (only the low 8 bits of the
    // running value count). Returns false when the bytes end before the code
    // is complete.
    bool readCode(int& delta) {
        std::size_t zeros = 0;
        for (;;) {
            if (done()) return false;
            if (next() != 0) break;
            ++zeros;
        }
        delta = static_cast<int>(zeros & 0xFF);
        if (zeros > 0) {
            if (done()) return false;
            if (next() != 0) delta = -delta;
        }
        return true;
    }

private:
    const std::uint8_t* bytes_;
    std::size_t bits_;
    std::size_t pos_ = 0;
};

}  // namespace

DeltaBitCodec::DeltaBitCodec() {
    codec::reserveFor(encodeScratch_, codec::kScratchCapacity);
    codec::reserveFor(decodeScratch_, codec::kScratchCapacity);
}

std::size_t DeltaBitCodec::encode8(const std::uint8_t* samples, std::size_t count,
                                   std::vector<std::uint8_t>& out, bool append) {
    if (!append) out.clear();
    const std::size_t start = out.size();
    codec::reserveFor(out, start + count * kMaxBytesPerSample);

    unsigned current = 0;  // byte being filled
    int filled = 0;        // bits in it
    auto put = [&](unsigned bit) {
        current |= bit << filled;
        if (++filled == 8) {
            out.push_back(static_cast<std::uint8_t>(current));  // within capacity
            current = 0;
            filled = 0;
        }
    };

    int previous = 128;
    for (std::size_t i = 0; i < count; ++i) {
        const int d = samples[i] - previous;
        if (d == 0) {
            put(1);
            continue;
        }
        const int magnitude = d < 0 ? -d : d;
        for (int z = 0; z < magnitude; ++z) put(0);
        put(1);
        put(d < 0 ? 1 : 0);
        previous = samples[i];
    }
    if (filled > 0) out.push_back(static_cast<std::uint8_t>(current));
    return out.size() - start;
}

std::size_t DeltaBitCodec::decode8(const std::uint8_t* bytes, std::size_t length,
                                   std::vector<std::uint8_t>& out, bool append) {
    if (!append) out.clear();
    const std::size_t start = out.size();
    codec::reserveFor(out, start + length * 8);

    BitReader reader(bytes, length);
    int value = 128;
    int delta = 0;
    while (reader.readCode(delta)) {
        value = (value + delta) & 0xFF;
        out.push_back(static_cast<std::uint8_t>(value));  // within capacity
    }
    return out.size() - start;
}

std::size_t DeltaBitCodec::encode16(const std::int16_t* samples, std::size_t count,
                                    std::vector<std::uint8_t>& out, bool append) {
    std::uint8_t* narrow = codec::growFrame(encodeScratch_, false, count);
    codec::narrow(samples, count, narrow);
    return encode8(narrow, count, out, append);
}

std::size_t DeltaBitCodec::decode16(const std::uint8_t* bytes, std::size_t length,
                                    std::vector<std::int16_t>& out, bool append) {
    const std::size_t produced = decode8(bytes, length, decodeScratch_, false);
    std::int16_t* wide = codec::growFrame(out, append, produced);
    codec::widen(decodeScratch_.data(), produced, wide);
    return produced;
}

std::size_t DeltaBitCodec::frameLength(const std::uint8_t* bytes, std::size_t length, std::size_t samples) {
    BitReader reader(bytes, length);
    int delta = 0;
    for (std::size_t i = 0; i < samples; ++i) {
        if (!reader.readCode(delta)) return length;
    }
    return (reader.position() + 7) / 8;
}

}  // namespace ambrel
