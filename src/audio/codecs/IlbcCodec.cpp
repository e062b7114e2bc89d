#include "audio/codecs/IlbcCodec.h"

#include "audio/codecs/FrameBuffer.h"

namespace ambrel {

IlbcCodec::IlbcCodec(ilbc::Mode mode) : encoder_(mode), decoder_(mode, true) {}

std::unique_ptr<VoiceCodec> IlbcCodec::make20() { return std::make_unique<IlbcCodec>(ilbc::Mode::Ms20); }

std::unique_ptr<VoiceCodec> IlbcCodec::make30() { return std::make_unique<IlbcCodec>(ilbc::Mode::Ms30); }

void IlbcCodec::setMode(ilbc::Mode mode) {
    encoder_ = ilbc::Encoder(mode);
    decoder_ = ilbc::Decoder(mode, true);
}

void IlbcCodec::reset() { setMode(mode()); }

std::size_t IlbcCodec::encode16(const std::int16_t* samples, std::size_t count,
                                std::vector<std::uint8_t>& out, bool append) {
    const std::size_t frame = frameSamples();
    const std::size_t used = count < frame ? count : frame;
    for (std::size_t i = 0; i < used; ++i) encodeBlock_[i] = static_cast<float>(samples[i]);
    for (std::size_t i = used; i < frame; ++i) encodeBlock_[i] = 0.0f;
    std::uint8_t* bytes = codec::growFrame(out, append, frameBytes());
    encoder_.encode(std::span<const float>(encodeBlock_.data(), frame), std::span<std::uint8_t>(bytes, frameBytes()));
    return frameBytes();
}

std::size_t IlbcCodec::decode16(const std::uint8_t* bytes, std::size_t length,
                                std::vector<std::int16_t>& out, bool append) {
    const std::size_t frame = frameSamples();
    std::int16_t* samples = codec::growFrame(out, append, frame);
    if (bytes == nullptr || length < frameBytes()) return 0;
    decoder_.decode(std::span<const std::uint8_t>(bytes, frameBytes()), std::span<float>(decodeBlock_.data(), frame));
    for (std::size_t i = 0; i < frame; ++i) samples[i] = ilbc::toSample(decodeBlock_[i]);
    return frame;
}

std::size_t IlbcCodec::conceal16(std::vector<std::int16_t>& out, bool append) {
    const std::size_t frame = frameSamples();
    std::int16_t* samples = codec::growFrame(out, append, frame);
    decoder_.conceal(std::span<float>(decodeBlock_.data(), frame));
    for (std::size_t i = 0; i < frame; ++i) samples[i] = ilbc::toSample(decodeBlock_[i]);
    return frame;
}

}  // namespace ambrel
