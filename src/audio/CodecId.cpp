#include "audio/CodecId.h"

#include <array>

#include "audio/CodecTable.h"

namespace ambrel {

namespace {

// Every name uses 16-bit samples. Speex 32 KHz runs the ultra-wideband mode,
// which the first rate code of that mode (22050) selects; iLBC uses its 20 ms
// mode, which keeps four frames to a datagram at 80 ms. Opus runs at 48 kHz
// whatever the rate code; its names use the highest one.
constexpr std::array<CodecName, 18> kNames = {{
    {"speex_8khz", 0x88, "SPEEX at 8 KHz, 16 Kbps"},
    {"speex_11khz", 0xA7, "SPEEX at 11 KHz, 18 Kbps"},
    {"speex_16khz", 0xA8, "SPEEX at 16 KHz, 24 Kbps"},
    {"speex_22khz", 0xC7, "SPEEX at 22 KHz, 20 Kbps"},
    {"speex_32khz", 0xC8, "SPEEX at 32 KHz, 32 Kbps"},
    {"speex_44khz", 0xE7, "SPEEX at 44 KHz, 37 Kbps"},
    {"ilbc_8khz", 0x83, "ILBC at 8 KHz, 32 Kbps"},
    {"ilbc_11khz", 0xA3, "ILBC at 11 KHz, 40 Kbps"},
    {"ilbc_22khz", 0xC3, "ILBC at 22 KHz, 64 Kbps"},
    {"g711_8khz", 0x85, "G711 at 8 KHz, 64 Kbps"},
    {"g711_11khz", 0xA5, "G711 at 11 KHz, 88 Kbps"},
    {"g711_22khz", 0xC5, "G711 at 22 KHz, 176 Kbps"},
    {"gsm_8khz", 0x82, "GSM at 8 KHz, 32 Kbps"},
    {"gsm_11khz", 0xA2, "GSM at 11 KHz, 40 Kbps"},
    {"gsm_22khz", 0xC2, "GSM at 22 KHz, 80 Kbps"},
    {"lpc10", 0x86, "LPC10 at 8 KHz, 2.4 Kbps"},
    {"opus_48khz", 0xEA, "OPUS at 48 KHz, 32 Kbps, 20 ms frames"},
    {"opus_48khz_ld", 0xEB, "OPUS low delay at 48 KHz, 64 Kbps, 5 ms frames"},
}};

}  // namespace

std::span<const CodecName> codecNames() {
    return kNames;
}

std::optional<CodecId> codecIdFromName(std::string_view name) {
    for (const CodecName& entry : kNames) {
        if (entry.name == name) return entry.id;
    }
    return std::nullopt;
}

std::string_view codecNameOf(CodecId id) {
    for (const CodecName& entry : kNames) {
        if (entry.id == id) return entry.name;
    }
    return {};
}

std::uint32_t effectiveSampleRate(CodecId id) {
    const unsigned kind = codecKind(id);
    if (kind == static_cast<unsigned>(CodecKind::Speex) || kind == static_cast<unsigned>(CodecKind::SpeexVbr)) {
        // The mode's own rate: narrowband, wideband, ultra-wideband.
        constexpr std::uint32_t modeRates[4] = {8000, 16000, 32000, 32000};
        return modeRates[rateCode(id)];
    }
    if (const CodecRow* row = codecRow(kind); row != nullptr && row->ownRate != 0) return row->ownRate;
    return cardSampleRate(rateCode(id));
}

std::string codecLabel(CodecId id) {
    const CodecRow* row = codecRow(codecKind(id));
    std::string label = row != nullptr ? row->word : "pcm";
    label += ' ';
    label += std::to_string(effectiveSampleRate(id) / 1000);
    label += " KHz";
    return label;
}

}  // namespace ambrel
