// Encode and decode frames per second for each codec: through its adapter
// (as the audio engine calls it) and through the bare library call on the
// same frames, so the adapter's overhead reads as a ratio.
#include <benchmark/benchmark.h>
#include <gsm.h>
#include <speex/speex.h>

#include "audio/CodecTable.h"
#include "audio/codecs/Lpc10Codec.h"
#include "audio/codecs/CodecTestSupport.h"  // the tests' speech-like signal

// After <cmath> (pulled in above): telephony.h fills in lrint and friends.
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>
#include <spandsp/lpc10.h>

namespace {

using namespace ambrel;

// One second of speech cut into the codec's frames.
struct Frames {
    std::vector<std::int16_t> samples;
    std::size_t frame = 0;
    std::size_t count = 0;
    const std::int16_t* at(std::size_t i) const { return samples.data() + (i % count) * frame; }
};

Frames speechFrames(std::uint32_t rate, std::size_t frame) {
    Frames f;
    f.samples = test::speechLike(rate, 1.0);
    f.frame = frame;
    f.count = f.samples.size() / frame;
    return f;
}

// Encoded frames of one second of speech, through the adapter.
std::vector<std::vector<std::uint8_t>> encodedFrames(CodecId id) {
    CodecChoice choice = chooseCodec(id, 0);
    const Frames f = speechFrames(choice.sampleRate, choice.frameSamples);
    std::vector<std::vector<std::uint8_t>> out(f.count);
    for (std::size_t i = 0; i < f.count; ++i) choice.codec->encode16(f.at(i), f.frame, out[i], false);
    return out;
}

void adapterEncode(benchmark::State& state, CodecId id) {
    CodecChoice choice = chooseCodec(id, 0);
    const Frames f = speechFrames(choice.sampleRate, choice.frameSamples);
    std::vector<std::uint8_t> out;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(choice.codec->encode16(f.at(i++), f.frame, out, false));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void adapterDecode(benchmark::State& state, CodecId id) {
    const auto frames = encodedFrames(id);
    CodecChoice choice = chooseCodec(id, 0);
    std::vector<std::int16_t> out;
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& frame = frames[i++ % frames.size()];
        benchmark::DoNotOptimize(choice.codec->decode16(frame.data(), frame.size(), out, false));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// --- bare libraries ---------------------------------------------------------

void gsmEncode(benchmark::State& state) {
    const Frames f = speechFrames(8000, 160);
    gsm g = gsm_create();
    std::vector<gsm_signal> block(160);
    gsm_byte out[33];
    std::size_t i = 0;
    for (auto _ : state) {
        std::copy_n(f.at(i++), 160, block.begin());  // libgsm takes a writable frame
        gsm_encode(g, block.data(), out);
        benchmark::DoNotOptimize(out);
    }
    gsm_destroy(g);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void gsmDecode(benchmark::State& state) {
    auto frames = encodedFrames(0x82);
    gsm g = gsm_create();
    gsm_signal out[160];
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(gsm_decode(g, frames[i++ % frames.size()].data(), out));
    }
    gsm_destroy(g);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void lpc10Encode(benchmark::State& state) {
    const Frames f = speechFrames(8000, 180);
    lpc10_encode_state_t* s = lpc10_encode_init(nullptr, 1);
    std::uint8_t out[7];
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(lpc10_encode(s, out, f.at(i++), 180));
    lpc10_encode_free(s);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void lpc10Decode(benchmark::State& state) {
    auto frames = encodedFrames(0x86);
    for (auto& frame : frames) {  // into the library's bit order once, outside the loop
        std::uint8_t library[7];
        Lpc10Codec::toLibraryLayout(frame.data(), library);
        std::copy_n(library, 7, frame.begin());
    }
    lpc10_decode_state_t* s = lpc10_decode_init(nullptr, 1);
    std::int16_t out[180];
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(lpc10_decode(s, out, frames[i++ % frames.size()].data(), 7));
    lpc10_decode_free(s);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void mulawEncode(benchmark::State& state) {
    const Frames f = speechFrames(8000, 800);
    std::vector<std::uint8_t> out(800);
    std::size_t i = 0;
    for (auto _ : state) {
        const std::int16_t* in = f.at(i++);
        for (std::size_t k = 0; k < 800; ++k) out[k] = linear_to_ulaw(in[k]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void mulawDecode(benchmark::State& state) {
    const auto frames = encodedFrames(0x85);
    std::vector<std::int16_t> out(800);
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& frame = frames[i++ % frames.size()];
        for (std::size_t k = 0; k < 800; ++k) out[k] = ulaw_to_linear(frame[k]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// The library configured as the table configures the adapter for `id`.
struct BareSpeex {
    void* encoder;
    void* decoder;
    SpeexBits bits;
    int frame = 0;
    explicit BareSpeex(CodecId id) {
        const int band = rateCode(id) == 0 ? SPEEX_MODEID_NB : rateCode(id) == 1 ? SPEEX_MODEID_WB : SPEEX_MODEID_UWB;
        encoder = speex_encoder_init(speex_lib_get_mode(band));
        decoder = speex_decoder_init(speex_lib_get_mode(band));
        int quality = 6, complexity = 3, vbr = codecKind(id) == 9, enh = 1;
        speex_encoder_ctl(encoder, SPEEX_SET_QUALITY, &quality);
        speex_encoder_ctl(encoder, SPEEX_SET_COMPLEXITY, &complexity);
        speex_encoder_ctl(encoder, SPEEX_SET_VBR, &vbr);
        if (vbr) {
            float q = 6;
            speex_encoder_ctl(encoder, SPEEX_SET_VBR_QUALITY, &q);
        }
        speex_decoder_ctl(decoder, SPEEX_SET_ENH, &enh);
        speex_encoder_ctl(encoder, SPEEX_GET_FRAME_SIZE, &frame);
        speex_bits_init(&bits);
    }
    ~BareSpeex() {
        speex_bits_destroy(&bits);
        speex_encoder_destroy(encoder);
        speex_decoder_destroy(decoder);
    }
};

void speexEncode(benchmark::State& state, CodecId id) {
    BareSpeex s(id);
    const Frames f = speechFrames(effectiveSampleRate(id), static_cast<std::size_t>(s.frame));
    std::vector<spx_int16_t> in(f.frame);
    char out[2000];
    std::size_t i = 0;
    for (auto _ : state) {
        std::copy_n(f.at(i++), f.frame, in.begin());  // the encoder may overwrite its input
        speex_bits_reset(&s.bits);
        speex_encode_int(s.encoder, in.data(), &s.bits);
        benchmark::DoNotOptimize(speex_bits_write(&s.bits, out, sizeof out));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void speexDecode(benchmark::State& state, CodecId id) {
    BareSpeex s(id);
    const auto frames = encodedFrames(id);
    std::vector<spx_int16_t> out(static_cast<std::size_t>(s.frame));
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& frame = frames[i++ % frames.size()];
        speex_bits_read_from(&s.bits, reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()));
        benchmark::DoNotOptimize(speex_decode_int(s.decoder, &s.bits, out.data()));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void speexEncodeNb(benchmark::State& s) { speexEncode(s, 0x88); }
void speexDecodeNb(benchmark::State& s) { speexDecode(s, 0x88); }
void speexEncodeWb(benchmark::State& s) { speexEncode(s, 0xA8); }
void speexDecodeWb(benchmark::State& s) { speexDecode(s, 0xA8); }
void speexEncodeUwb(benchmark::State& s) { speexEncode(s, 0xC8); }
void speexDecodeUwb(benchmark::State& s) { speexDecode(s, 0xC8); }
void speexEncodeWbVbr(benchmark::State& s) { speexEncode(s, 0xA9); }
void speexDecodeWbVbr(benchmark::State& s) { speexDecode(s, 0xA9); }

}  // namespace

#define AMBREL_ADAPTER(name, id)                                            \
    BENCHMARK_CAPTURE(adapterEncode, name##_adapter, static_cast<CodecId>(id)); \
    BENCHMARK_CAPTURE(adapterDecode, name##_adapter, static_cast<CodecId>(id))

AMBREL_ADAPTER(gsm, 0x82);
BENCHMARK(gsmEncode);
BENCHMARK(gsmDecode);
AMBREL_ADAPTER(lpc10, 0x86);
BENCHMARK(lpc10Encode);
BENCHMARK(lpc10Decode);
AMBREL_ADAPTER(g711, 0x85);
BENCHMARK(mulawEncode);
BENCHMARK(mulawDecode);
AMBREL_ADAPTER(delta, 0x81);
AMBREL_ADAPTER(speex_nb, 0x88);
BENCHMARK(speexEncodeNb);
BENCHMARK(speexDecodeNb);
AMBREL_ADAPTER(speex_wb, 0xA8);
BENCHMARK(speexEncodeWb);
BENCHMARK(speexDecodeWb);
AMBREL_ADAPTER(speex_uwb, 0xC8);
BENCHMARK(speexEncodeUwb);
BENCHMARK(speexDecodeUwb);
AMBREL_ADAPTER(speex_wb_vbr, 0xA9);
BENCHMARK(speexEncodeWbVbr);
BENCHMARK(speexDecodeWbVbr);
AMBREL_ADAPTER(opus, 0xEA);
AMBREL_ADAPTER(opus_ld, 0xEB);
