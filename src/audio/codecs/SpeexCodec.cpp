#include "audio/codecs/SpeexCodec.h"

#include <algorithm>
#include <cstdio>
#include <speex/speex.h>

#include "base/Clock.h"
#include "audio/codecs/FrameBuffer.h"

namespace ambrel {

struct SpeexCodec::Bits {
    SpeexBits bits;
    Bits() { speex_bits_init(&bits); }
    ~Bits() { speex_bits_destroy(&bits); }
    Bits(const Bits&) = delete;
    Bits& operator=(const Bits&) = delete;
};

namespace {

constexpr std::size_t kMaxReadBytes = 2000;

const SpeexMode* libraryMode(SpeexCodec::Mode mode) {
    switch (mode) {
    case SpeexCodec::Mode::Wideband: return speex_lib_get_mode(SPEEX_MODEID_WB);
    case SpeexCodec::Mode::UltraWideband: return speex_lib_get_mode(SPEEX_MODEID_UWB);
    case SpeexCodec::Mode::Narrowband: break;
    }
    return speex_lib_get_mode(SPEEX_MODEID_NB);
}

}  // namespace

SpeexCodec::SpeexCodec() : encodeBits_(std::make_unique<Bits>()), decodeBits_(std::make_unique<Bits>()) {
    setMode(Mode::Narrowband);
    setQuality(7);
    setVariableBitRate(false);
    setComplexity(8);
    setEnhancement(false);
}

SpeexCodec::~SpeexCodec() {
    destroyStates();
}

void SpeexCodec::destroyStates() {
    if (encoder_ != nullptr) speex_encoder_destroy(encoder_);
    if (decoder_ != nullptr) speex_decoder_destroy(decoder_);
    encoder_ = nullptr;
    decoder_ = nullptr;
}

void SpeexCodec::setMode(Mode mode) {
    destroyStates();
    const SpeexMode* library = libraryMode(mode);
    encoder_ = speex_encoder_init(library);
    decoder_ = speex_decoder_init(library);
    if (encoder_ == nullptr || decoder_ == nullptr) {
        destroyStates();
        throw MemoryException();
    }
    mode_ = mode;
    int frame = 0;
    speex_encoder_ctl(encoder_, SPEEX_GET_FRAME_SIZE, &frame);
    frameSamples_ = static_cast<std::uint32_t>(frame);
    codec::reserveFor(input_, frameSamples_);
    input_.resize(frameSamples_);
    codec::reserveFor(output_, frameSamples_);
    output_.resize(frameSamples_);
}

void SpeexCodec::setQuality(int quality) {
    speex_encoder_ctl(encoder_, SPEEX_SET_QUALITY, &quality);
    // The variable-rate encoder has a quality of its own (8 by default, which
    // would make its frames larger than the constant-rate ones); keep the two
    // the same.
    float variableQuality = static_cast<float>(quality);
    speex_encoder_ctl(encoder_, SPEEX_SET_VBR_QUALITY, &variableQuality);
}

void SpeexCodec::setComplexity(int complexity) {
    speex_encoder_ctl(encoder_, SPEEX_SET_COMPLEXITY, &complexity);
}

void SpeexCodec::setVariableBitRate(bool on) {
    int flag = on ? 1 : 0;
    speex_encoder_ctl(encoder_, SPEEX_SET_VBR, &flag);
}

void SpeexCodec::setSamplingRate(std::uint32_t hz) {
    spx_int32_t rate = static_cast<spx_int32_t>(hz);
    speex_encoder_ctl(encoder_, SPEEX_SET_SAMPLING_RATE, &rate);
}

void SpeexCodec::setEnhancement(bool on) {
    int flag = on ? 1 : 0;
    speex_decoder_ctl(decoder_, SPEEX_SET_ENH, &flag);
}

std::uint32_t SpeexCodec::samplingRate() const {
    spx_int32_t rate = 0;
    speex_encoder_ctl(encoder_, SPEEX_GET_SAMPLING_RATE, &rate);
    return static_cast<std::uint32_t>(rate);
}

std::size_t SpeexCodec::encode16(const std::int16_t* samples, std::size_t count,
                                 std::vector<std::uint8_t>& out, bool append) {
    const std::size_t start = append ? out.size() : 0;
    // A raw frame's length always holds an encoded frame.
    const std::size_t reserved = frameSamples_ * sizeof(std::int16_t);
    std::uint8_t* frame = codec::growFrame(out, append, reserved);

    codec::copyFrame(samples, count, input_.data(), frameSamples_);

    SpeexBits* bits = &encodeBits_->bits;
    speex_bits_reset(bits);
    if (speex_encode_int(encoder_, input_.data(), bits) == 0) return 0;
    const int written = speex_bits_write(bits, reinterpret_cast<char*>(frame), static_cast<int>(reserved));
    out.resize(start + static_cast<std::size_t>(written));
    return static_cast<std::size_t>(written);
}

std::size_t SpeexCodec::decode16(const std::uint8_t* bytes, std::size_t length,
                                 std::vector<std::int16_t>& out, bool append) {
    std::int16_t* frame = codec::growFrame(out, append, frameSamples_);
    consumed_ = 0;
    if (length == 0) return 0;  // with no bytes the library would conceal a lost frame
    const std::int64_t now = monotonicMilliseconds();
    if (now < quietUntil_) {
        ++undecoded_;
        return 0;
    }
    if (undecoded_ > 1) {
        std::fprintf(stderr, "ambrel: speex: %u frames did not decode in the last second (is the peer using the "
                             "same codec?)\n", undecoded_);
        std::fflush(stderr);
    }
    undecoded_ = 0;
    // The library's bit buffer holds 2000 bytes, far more than any frame;
    // reading at most that much keeps it from reallocating.
    const int usable = static_cast<int>(std::min<std::size_t>(length, kMaxReadBytes));
    SpeexBits* bits = &decodeBits_->bits;
    speex_bits_read_from(bits, reinterpret_cast<const char*>(bytes), usable);
    // Decode aside: a corrupt frame may stop half-way, and the caller's
    // buffer must then keep what it held.
    const int result = speex_decode_int(decoder_, bits, output_.data());
    const std::size_t usedBits =
        static_cast<std::size_t>(bits->charPtr) * 8 + static_cast<std::size_t>(bits->bitPtr);
    consumed_ = std::min<std::size_t>((usedBits + 7) / 8, static_cast<std::size_t>(usable));
    if (result == -2) {
        // The library has just said "the stream is corrupted" on its own.
        ++undecoded_;
        quietUntil_ = now + (lastCorrupted_ ? quietMs_ : std::min(quietMs_, kFirstQuietMs));
    }
    lastCorrupted_ = result == -2;
    if (result != 0) return 0;
    std::copy_n(output_.begin(), frameSamples_, frame);
    return frameSamples_;
}

std::size_t SpeexCodec::conceal16(std::vector<std::int16_t>& out, bool append) {
    std::int16_t* frame = codec::growFrame(out, append, frameSamples_);
    consumed_ = 0;
    // No bits: the decoder extrapolates from its state.
    if (speex_decode_int(decoder_, nullptr, output_.data()) != 0) return 0;
    std::copy_n(output_.begin(), frameSamples_, frame);
    return frameSamples_;
}

}  // namespace ambrel
