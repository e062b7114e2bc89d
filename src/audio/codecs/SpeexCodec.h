// Speex over libspeex, in one of its three modes. One frame is the mode's
// frame size (160, 320 or 640 samples); frames are whole bytes.
#pragma once

#include <memory>

#include "audio/codecs/Pcm16Codec.h"

namespace ambrel {

class SpeexCodec final : public Pcm16Codec {
public:
    enum class Mode { Narrowband, Wideband, UltraWideband };  // 8000, 16000, 32000 Hz

    // Narrowband, quality 7, variable bit rate off, complexity 8, decoder
    // enhancement off.
    SpeexCodec();
    ~SpeexCodec() override;
    SpeexCodec(const SpeexCodec&) = delete;
    SpeexCodec& operator=(const SpeexCodec&) = delete;

    // Configuration; caller's thread, never during a call.
    // setMode re-creates encoder and decoder with the library's defaults
    // (quality, complexity and the rest must be set again afterwards).
    void setMode(Mode mode);
    void setQuality(int quality);        // 0-10, constant and variable bit rate alike
    void setComplexity(int complexity);  // 1-10
    void setVariableBitRate(bool on);
    void setSamplingRate(std::uint32_t hz);  // the rate the encoder is told (bit-rate figures only)
    void setEnhancement(bool on);        // decoder perceptual enhancement

    Mode mode() const { return mode_; }
    std::uint32_t frameSamples() const { return frameSamples_; }
    std::uint32_t samplingRate() const;  // the encoder's sampling rate, Hz

    // Recorder thread. Encodes one frame (fewer samples are padded with
    // silence, more are cut). Returns the frame's bytes, or 0 when the
    // encoder says the frame need not be sent (`out` then holds one raw
    // frame's length of reserved bytes).
    std::size_t encode16(const std::int16_t* samples, std::size_t count,
                         std::vector<std::uint8_t>& out, bool append) override;
    // Player thread. Appends one frame of samples; returns the frame
    // length, or 0 when the bytes do not decode (the frame keeps what the
    // reused buffer held). The library prints a line on standard error for
    // every corrupted frame (another codec's frames, garbage). After one in
    // a stream that decoded, frames are not given to it for kFirstQuietMs
    // (the player conceals them), so one bad frame costs little; when the
    // next frame it gets is corrupted too, for kQuietMs, so a stream that
    // never decodes makes it complain at most once in that time. The frames
    // that failed are counted, and one line on standard error tells how
    // many when the quiet time ends.
    std::size_t decode16(const std::uint8_t* bytes, std::size_t length,
                         std::vector<std::int16_t>& out, bool append) override;
    static constexpr int kFirstQuietMs = 100;
    static constexpr int kQuietMs = 1000;
    // Another quiet time (0: none), for fuzzing the library with every frame.
    void setQuietMs(int ms) { quietMs_ = ms; }
    // Frames that failed to decode since the last report. Player thread.
    unsigned undecodedFrames() const { return undecoded_; }

    // Player thread. The library's own concealment of a lost frame.
    std::size_t conceal16(std::vector<std::int16_t>& out, bool append) override;

    // Bytes the last decode16 used, up to the next byte boundary: splits
    // concatenated frames. Player thread.
    std::size_t consumedBytes() const { return consumed_; }

private:
    struct Bits;
    void destroyStates();

    Mode mode_ = Mode::Narrowband;
    void* encoder_ = nullptr;
    void* decoder_ = nullptr;
    std::unique_ptr<Bits> encodeBits_;  // recorder thread
    std::unique_ptr<Bits> decodeBits_;  // player thread
    std::uint32_t frameSamples_ = 0;
    std::vector<std::int16_t> input_;   // recorder thread; the encoder may overwrite its input
    std::vector<std::int16_t> output_;  // player thread
    std::size_t consumed_ = 0;
    std::int64_t quietUntil_ = 0;  // monotonic ms; player thread
    int quietMs_ = kQuietMs;
    bool lastCorrupted_ = false;   // the last frame the library got; player thread
    unsigned undecoded_ = 0;       // player thread
};

}  // namespace ambrel
