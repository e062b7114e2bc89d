// Opus over libopus, mono at 48 kHz, at a hard constant bit rate: every frame
// of one mode has the same size, so four of them fill a datagram evenly.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/codecs/Pcm16Codec.h"

struct OpusEncoder;
struct OpusDecoder;

namespace ambrel {

class OpusCodec final : public Pcm16Codec {
public:
    static constexpr std::uint32_t kSampleRate = 48000;

    // One mode per codec kind: frame length, application and bit rate.
    struct Mode {
        std::uint32_t frameSamples;  // at 48 kHz: 960 = 20 ms, 240 = 5 ms
        std::uint32_t frameBytes;    // bit rate x frame length / 8
        bool lowDelay;               // restricted low-delay application (no speech layer, 2.5 ms look-ahead)
    };
    // 20 ms frames at 32 kbit/s: full band speech, voice application.
    static constexpr Mode kVoice{960, 80, false};
    // 5 ms frames at 64 kbit/s in the low-delay application.
    static constexpr Mode kLowDelay{240, 40, true};

    explicit OpusCodec(const Mode& mode);
    ~OpusCodec() override;
    OpusCodec(const OpusCodec&) = delete;
    OpusCodec& operator=(const OpusCodec&) = delete;

    static std::unique_ptr<VoiceCodec> makeVoice();
    static std::unique_ptr<VoiceCodec> makeLowDelay();

    const Mode& mode() const { return mode_; }

    // Fresh encoder and decoder states. Not while another call runs.
    void reset() override;
    // Recorder thread. Encodes one frame (fewer samples are padded with
    // silence, more are cut) into exactly frameBytes bytes; returns them.
    // A failed encode leaves frameBytes of silence-coded padding and
    // returns 0.
    std::size_t encode16(const std::int16_t* samples, std::size_t count,
                         std::vector<std::uint8_t>& out, bool append) override;
    // Player thread. Appends one frame; returns its samples, or 0 when the
    // bytes are not one Opus packet of exactly one frame's duration (the
    // frame keeps what the reused buffer held).
    std::size_t decode16(const std::uint8_t* bytes, std::size_t length,
                         std::vector<std::int16_t>& out, bool append) override;
    // Player thread. The library's concealment of one lost frame.
    std::size_t conceal16(std::vector<std::int16_t>& out, bool append) override;

private:
    void configureEncoder();

    Mode mode_;
    OpusEncoder* encoder_ = nullptr;
    OpusDecoder* decoder_ = nullptr;
    std::vector<std::int16_t> input_;   // recorder thread
    std::vector<std::int16_t> output_;  // player thread
};

}  // namespace ambrel
