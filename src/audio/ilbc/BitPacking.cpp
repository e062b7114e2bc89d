#include "audio/ilbc/BitPacking.h"

#include <algorithm>

namespace ambrel::ilbc {

namespace {

// Visits every field with the bits it owns in protection class `cls`, in the
// order of RFC 3951 section 3.8 (the same order for all three classes).
template <class Params, class Visit>
void forEachField(const ModeConfig& config, Params& p, int cls, Visit&& visit) {
    const BitAllocation& bits = *config.bits;
    for (int k = 0; k < kLsfSplits * config.lpcSets; ++k) visit(p.lsf[k], bits.lsf[k], cls);
    visit(p.start, bits.start, cls);
    visit(p.stateFirst, bits.stateFirst, cls);
    visit(p.scale, bits.scale, cls);
    for (int k = 0; k < config.stateShort; ++k) visit(p.state[k], bits.state, cls);
    for (int k = 0; k < kStages; ++k) visit(p.extraIndex[k], bits.extraIndex[k], cls);
    for (int k = 0; k < kStages; ++k) visit(p.extraGain[k], bits.extraGain[k], cls);
    for (int i = 0; i < config.adaptiveSubframes; ++i)
        for (int k = 0; k < kStages; ++k) visit(p.index[i][k], bits.index[i][k], cls);
    for (int i = 0; i < config.adaptiveSubframes; ++i)
        for (int k = 0; k < kStages; ++k) visit(p.gain[i][k], bits.gain[i][k], cls);
}

class BitWriter {
public:
    explicit BitWriter(std::span<std::uint8_t> out) : out_(out) { std::fill(out_.begin(), out_.end(), 0); }
    void put(unsigned value, int count) {
        for (int b = count - 1; b >= 0; --b, ++pos_)
            if ((value >> b) & 1u) out_[pos_ >> 3] |= static_cast<std::uint8_t>(0x80u >> (pos_ & 7));
    }

private:
    std::span<std::uint8_t> out_;
    std::size_t pos_ = 0;
};

class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> in) : in_(in) {}
    unsigned get(int count) {
        unsigned value = 0;
        for (int b = 0; b < count; ++b, ++pos_) value = (value << 1) | ((in_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u);
        return value;
    }

private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
};

}  // namespace

void packFrame(const ModeConfig& config, const FrameParams& params, std::span<std::uint8_t> frame) {
    BitWriter writer(frame.first(static_cast<std::size_t>(config.bytes)));
    for (int cls = 0; cls < 3; ++cls) {
        forEachField(config, params, cls, [&](const int& value, const BitSplit& split, int c) {
            int below = 0;  // bits of this value carried by later classes
            for (int later = c + 1; later < 3; ++later) below += split[later];
            const unsigned part = (static_cast<unsigned>(value) >> below) & ((1u << split[c]) - 1u);
            writer.put(part, split[c]);
        });
    }
    writer.put(0, 1);  // empty-frame indicator
}

bool unpackFrame(const ModeConfig& config, std::span<const std::uint8_t> frame, FrameParams& params) {
    params = FrameParams{};
    BitReader reader(frame.first(static_cast<std::size_t>(config.bytes)));
    for (int cls = 0; cls < 3; ++cls) {
        forEachField(config, params, cls, [&](int& value, const BitSplit& split, int c) {
            value = static_cast<int>((static_cast<unsigned>(value) << split[c]) | reader.get(split[c]));
        });
    }
    return reader.get(1) != 0;
}

}  // namespace ambrel::ilbc
