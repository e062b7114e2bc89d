#include "audio/codecs/OpusCodec.h"

#include <algorithm>
#include <memory>
#include <opus.h>

#include "audio/codecs/FrameBuffer.h"

namespace ambrel {

namespace {

OpusEncoder* createEncoder(bool lowDelay) {
    int err = OPUS_OK;
    const int application = lowDelay ? OPUS_APPLICATION_RESTRICTED_LOWDELAY : OPUS_APPLICATION_VOIP;
    OpusEncoder* encoder = opus_encoder_create(OpusCodec::kSampleRate, 1, application, &err);
    if (encoder == nullptr || err != OPUS_OK) throw MemoryException();
    return encoder;
}

OpusDecoder* createDecoder() {
    int err = OPUS_OK;
    OpusDecoder* decoder = opus_decoder_create(OpusCodec::kSampleRate, 1, &err);
    if (decoder == nullptr || err != OPUS_OK) throw MemoryException();
    return decoder;
}

}  // namespace

OpusCodec::OpusCodec(const Mode& mode) : mode_(mode) {
    codec::reserveFor(input_, mode_.frameSamples);
    input_.resize(mode_.frameSamples);
    codec::reserveFor(output_, mode_.frameSamples);
    output_.resize(mode_.frameSamples);
    reset();
}

OpusCodec::~OpusCodec() {
    if (encoder_ != nullptr) opus_encoder_destroy(encoder_);
    if (decoder_ != nullptr) opus_decoder_destroy(decoder_);
}

std::unique_ptr<VoiceCodec> OpusCodec::makeVoice() {
    return std::make_unique<OpusCodec>(kVoice);
}

std::unique_ptr<VoiceCodec> OpusCodec::makeLowDelay() {
    return std::make_unique<OpusCodec>(kLowDelay);
}

void OpusCodec::reset() {
    OpusEncoder* encoder = createEncoder(mode_.lowDelay);
    OpusDecoder* decoder = nullptr;
    try {
        decoder = createDecoder();
    } catch (...) {
        opus_encoder_destroy(encoder);
        throw;
    }
    if (encoder_ != nullptr) opus_encoder_destroy(encoder_);
    if (decoder_ != nullptr) opus_decoder_destroy(decoder_);
    encoder_ = encoder;
    decoder_ = decoder;
    configureEncoder();
}

void OpusCodec::configureEncoder() {
    const int bitRate = static_cast<int>(mode_.frameBytes * 8 * kSampleRate / mode_.frameSamples);
    opus_encoder_ctl(encoder_, OPUS_SET_BITRATE(bitRate));
    // Hard constant bit rate: every packet is exactly frameBytes long.
    opus_encoder_ctl(encoder_, OPUS_SET_VBR(0));
    opus_encoder_ctl(encoder_, OPUS_SET_BANDWIDTH(OPUS_BANDWIDTH_FULLBAND));
    opus_encoder_ctl(encoder_, OPUS_SET_COMPLEXITY(5));
    // A lost datagram takes four frames in a row, and the player has made
    // them up by the time the next datagram comes: redundancy for the frame
    // before would recover nothing and costs bits in every frame.
    opus_encoder_ctl(encoder_, OPUS_SET_INBAND_FEC(0));
    opus_encoder_ctl(encoder_, OPUS_SET_DTX(0));
    if (!mode_.lowDelay) opus_encoder_ctl(encoder_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
}

std::size_t OpusCodec::encode16(const std::int16_t* samples, std::size_t count,
                                std::vector<std::uint8_t>& out, bool append) {
    codec::copyFrame(samples, count, input_.data(), mode_.frameSamples);
    std::uint8_t* frame = codec::growFrame(out, append, mode_.frameBytes);
    const opus_int32 size = static_cast<opus_int32>(mode_.frameBytes);
    const int written = opus_encode(encoder_, input_.data(), static_cast<int>(mode_.frameSamples), frame, size);
    if (written <= 0) {
        // Keep the frame's length; a decoder takes zero bytes for a bad packet.
        std::fill_n(frame, mode_.frameBytes, std::uint8_t(0));
        return 0;
    }
    // Hard CBR gives frameBytes already; should a packet come out shorter,
    // Opus's own padding makes it up without changing the sound.
    if (written < size && opus_packet_pad(frame, written, size) != OPUS_OK) {
        std::fill_n(frame, mode_.frameBytes, std::uint8_t(0));
        return 0;
    }
    return mode_.frameBytes;
}

std::size_t OpusCodec::decode16(const std::uint8_t* bytes, std::size_t length,
                                std::vector<std::int16_t>& out, bool append) {
    std::int16_t* frame = codec::growFrame(out, append, mode_.frameSamples);
    // No bytes would ask the library to conceal; a packet of another duration
    // would not fit the frame. Neither is a frame of ours.
    if (length == 0 || length > 1275 * 3) return 0;
    const opus_int32 size = static_cast<opus_int32>(length);
    if (opus_packet_get_nb_samples(bytes, size, kSampleRate) != static_cast<int>(mode_.frameSamples)) return 0;
    // Decode aside: the caller's frame keeps what it held should this fail.
    const int decoded = opus_decode(decoder_, bytes, size, output_.data(), static_cast<int>(mode_.frameSamples), 0);
    if (decoded != static_cast<int>(mode_.frameSamples)) return 0;
    std::copy_n(output_.begin(), mode_.frameSamples, frame);
    return mode_.frameSamples;
}

std::size_t OpusCodec::conceal16(std::vector<std::int16_t>& out, bool append) {
    std::int16_t* frame = codec::growFrame(out, append, mode_.frameSamples);
    const int made = opus_decode(decoder_, nullptr, 0, output_.data(), static_cast<int>(mode_.frameSamples), 0);
    if (made != static_cast<int>(mode_.frameSamples)) return 0;
    std::copy_n(output_.begin(), mode_.frameSamples, frame);
    return mode_.frameSamples;
}

}  // namespace ambrel
