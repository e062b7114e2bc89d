// CodecId: the one byte that selects a codec kind, the sound card's rate and
// the sample width, plus its labels and the codec names of the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ambrel {

// Bits 0-4: codec kind (0-11, see CodecKind; 12-31 select no codec).
// Bits 5-6: sound-card rate code (0 = 8000, 1 = 11025, 2 = 22050, 3 = 44100 Hz).
// Bit 7:    1 = 16-bit signed samples, 0 = 8-bit unsigned samples.
using CodecId = std::uint8_t;

// Codec kinds (bits 0-4 of a CodecId).
enum class CodecKind : std::uint8_t {
    Raw = 0,        // no adapter, frames of 1000 raw PCM samples
    Delta = 1,      // DeltaBitCodec, 800 samples, variable size
    Gsm = 2,        // GsmCodec, 160 samples, 33 bytes
    Ilbc20 = 3,     // IlbcCodec 20 ms mode, 160 samples, 38 bytes
    Ilbc30 = 4,     // IlbcCodec 30 ms mode, 240 samples, 50 bytes
    Mulaw = 5,      // MulawCodec, 800 samples, 800 bytes
    Lpc10 = 6,      // Lpc10Codec, 180 samples, 7 bytes
    SpeexCard = 7,  // SpeexCodec, mode by card rate, told the card rate
    Speex = 8,      // SpeexCodec at the mode's own rate
    SpeexVbr = 9,   // as 8 with variable bit rate
    Opus = 10,      // OpusCodec at 48 kHz, 960 samples (20 ms), 80 bytes
    OpusLowDelay = 11,  // OpusCodec at 48 kHz, low-delay application, 240 samples (5 ms), 40 bytes
};

inline constexpr unsigned kCodecKindCount = 12;  // kinds 0-11; 12-31 select no codec

// The program's default codec: Speex kind 8, rate code 1, 16-bit ("speex 16 KHz").
inline constexpr CodecId kDefaultCodecId = 0xA8;

constexpr unsigned codecKind(CodecId id) { return id & 0x1Fu; }
constexpr unsigned rateCode(CodecId id) { return (id >> 5) & 0x3u; }
constexpr bool isSixteenBit(CodecId id) { return (id & 0x80u) != 0; }
constexpr CodecId makeCodecId(unsigned kind, unsigned rateCode, bool sixteenBit) {
    return static_cast<CodecId>((kind & 0x1Fu) | ((rateCode & 0x3u) << 5) | (sixteenBit ? 0x80u : 0u));
}

// Sound-card rate in Hz for a rate code (0-3).
constexpr std::uint32_t cardSampleRate(unsigned rateCode) {
    constexpr std::uint32_t rates[4] = {8000, 11025, 22050, 44100};
    return rates[rateCode & 0x3u];
}

// One command-line codec name ("speex_16khz") with the id it selects and the
// description the help text gives it ("SPEEX at 16 KHz, 24 Kbps").
struct CodecName {
    std::string_view name;
    CodecId id;
    std::string_view description;
};

// All command-line codec names, in the order the help text lists them.
std::span<const CodecName> codecNames();

// The id a command-line codec name selects (exact, lower case), or none.
std::optional<CodecId> codecIdFromName(std::string_view name);

// The command-line name that selects exactly this id, or empty.
std::string_view codecNameOf(CodecId id);

// The rate the codec really runs at, in Hz: the Speex mode's own rate for
// kinds 8 and 9 (8000, 16000, 32000), 48000 for the Opus kinds whatever the
// rate code, otherwise the card rate.
std::uint32_t effectiveSampleRate(CodecId id);

// The label shown in the window: codec word, a blank, the rate in KHz as the
// help text states it ("speex 16 KHz", "gsm 11 KHz", "lpc10 8 KHz").
// Kinds without a codec are labelled "pcm".
std::string codecLabel(CodecId id);

}  // namespace ambrel
