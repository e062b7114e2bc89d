#include "audio/CodecTable.h"

#include "audio/codecs/DeltaBitCodec.h"
#include "audio/codecs/GsmCodec.h"
#include "audio/codecs/IlbcCodec.h"
#include "audio/codecs/Lpc10Codec.h"
#include "audio/codecs/MulawCodec.h"
#include "audio/codecs/OpusCodec.h"
#include "audio/codecs/SpeexCodec.h"

namespace ambrel {

namespace {

template <class Codec>
std::unique_ptr<VoiceCodec> make() {
    return std::make_unique<Codec>();
}

// One row per kind, indexed by kind.
constexpr CodecRow kRows[kCodecKindCount] = {
    {CodecKind::Raw, "pcm", 1000, 0, false, nullptr},
    {CodecKind::Delta, "delta", 800, 0, false, &make<DeltaBitCodec>},
    {CodecKind::Gsm, "gsm", 160, 33, false, &make<GsmCodec>},
    {CodecKind::Ilbc20, "ilbc", 160, 38, false, &IlbcCodec::make20},
    {CodecKind::Ilbc30, "ilbc", 240, 50, false, &IlbcCodec::make30},
    {CodecKind::Mulaw, "g711", 800, 800, false, &make<MulawCodec>},
    {CodecKind::Lpc10, "lpc10", 180, 7, false, &make<Lpc10Codec>},
    {CodecKind::SpeexCard, "speex", 0, 0, true, &make<SpeexCodec>},
    {CodecKind::Speex, "speex", 0, 0, true, &make<SpeexCodec>},
    {CodecKind::SpeexVbr, "speex", 0, 0, true, &make<SpeexCodec>},
    {CodecKind::Opus, "opus", OpusCodec::kVoice.frameSamples, OpusCodec::kVoice.frameBytes, false,
     &OpusCodec::makeVoice, OpusCodec::kSampleRate},
    {CodecKind::OpusLowDelay, "opus ld", OpusCodec::kLowDelay.frameSamples, OpusCodec::kLowDelay.frameBytes, false,
     &OpusCodec::makeLowDelay, OpusCodec::kSampleRate},
};

// The Speex steps, in this order: mode by card rate (re-creating encoder and
// decoder), quality 6, complexity 3, variable bit rate for kind 9 only, the
// card rate told to the kind 7 encoder, decoder enhancement; then frame
// length and rate come from the encoder.
void configureSpeex(SpeexCodec& speex, CodecKind kind, CodecChoice& choice) {
    SpeexCodec::Mode mode = SpeexCodec::Mode::UltraWideband;  // 22050 and 44100 Hz
    if (choice.sampleRate == 8000) mode = SpeexCodec::Mode::Narrowband;
    else if (choice.sampleRate == 11025) mode = SpeexCodec::Mode::Wideband;
    speex.setMode(mode);
    speex.setQuality(6);
    speex.setComplexity(3);
    speex.setVariableBitRate(kind == CodecKind::SpeexVbr);
    if (kind == CodecKind::SpeexCard) speex.setSamplingRate(choice.sampleRate);
    speex.setEnhancement(true);
    choice.frameSamples = speex.frameSamples();
    choice.sampleRate = speex.samplingRate();
}

}  // namespace

const CodecRow* codecRow(unsigned kind) {
    return kind < kCodecKindCount ? &kRows[kind] : nullptr;
}

CodecChoice chooseCodec(CodecId id, std::uint32_t previousFrameSamples) {
    CodecChoice choice;
    choice.frameSamples = previousFrameSamples;
    const CodecRow* row = codecRow(codecKind(id));
    if (row != nullptr) {
        if (row->make != nullptr) choice.codec = row->make();
        choice.frameSamples = row->frameSamples;
    }
    choice.sampleRate = cardSampleRate(rateCode(id));
    if (row != nullptr && row->ownRate != 0) choice.sampleRate = row->ownRate;
    choice.bitsPerSample = isSixteenBit(id) ? 16 : 8;
    if (row != nullptr && row->speex) {
        if (auto* speex = dynamic_cast<SpeexCodec*>(choice.codec.get())) configureSpeex(*speex, row->kind, choice);
    }
    return choice;
}

bool CodecSelection::select(CodecId id) {
    if (hasId_ && id == id_) return false;
    codec_.reset();
    hasId_ = false;  // should building the adapter fail, the next select tries again
    CodecChoice choice = chooseCodec(id, frameSamples_);
    codec_ = std::move(choice.codec);
    frameSamples_ = choice.frameSamples;
    sampleRate_ = choice.sampleRate;
    bitsPerSample_ = choice.bitsPerSample;
    id_ = id;
    hasId_ = true;
    return true;
}

}  // namespace ambrel
