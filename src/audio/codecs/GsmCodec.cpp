#include "audio/codecs/GsmCodec.h"

#include <algorithm>
#include <gsm.h>

#include "audio/codecs/FrameBuffer.h"

namespace ambrel {

namespace {

gsm_state* createState() {
    gsm_state* state = gsm_create();
    if (state == nullptr) throw MemoryException();
    return state;
}

}  // namespace

GsmCodec::GsmCodec() {
    reset();
}

GsmCodec::~GsmCodec() {
    if (encoder_ != nullptr) gsm_destroy(encoder_);
    if (decoder_ != nullptr) gsm_destroy(decoder_);
}

void GsmCodec::reset() {
    // libgsm's state is opaque; a new state is its documented initial state.
    gsm_state* encoder = createState();
    gsm_state* decoder = gsm_create();
    if (decoder == nullptr) {
        gsm_destroy(encoder);
        throw MemoryException();
    }
    if (encoder_ != nullptr) gsm_destroy(encoder_);
    if (decoder_ != nullptr) gsm_destroy(decoder_);
    encoder_ = encoder;
    decoder_ = decoder;
}

std::size_t GsmCodec::encode16(const std::int16_t* samples, std::size_t count,
                               std::vector<std::uint8_t>& out, bool append) {
    codec::copyFrame(samples, count, input_.data(), kFrameSamples);
    std::uint8_t* frame = codec::growFrame(out, append, kFrameBytes);
    gsm_encode(encoder_, input_.data(), frame);
    return kFrameBytes;
}

std::size_t GsmCodec::decode16(const std::uint8_t* bytes, std::size_t length,
                               std::vector<std::int16_t>& out, bool append) {
    std::int16_t* samples = codec::growFrame(out, append, kFrameSamples);
    if (length < kFrameBytes || (bytes[0] >> 4) != GSM_MAGIC) return 0;
    std::copy_n(bytes, kFrameBytes, frame_.begin());
    if (gsm_decode(decoder_, frame_.data(), samples) != 0) return 0;
    return kFrameSamples;
}

}  // namespace ambrel
