// The codec table (one row per codec kind) and the selection that turns a
// CodecId into an adapter, a sample rate, a sample width and a frame length.
#pragma once

#include <cstdint>
#include <memory>

#include "audio/CodecId.h"
#include "audio/VoiceCodec.h"

namespace ambrel {

// Builds a new adapter for a row, or returns null when the row has none
// (frames are then raw PCM of the row's frame length).
using MakeCodec = std::unique_ptr<VoiceCodec> (*)();

// One row of the codec table.
struct CodecRow {
    CodecKind kind;
    const char* word;            // label word: "pcm", "delta", "gsm", "ilbc", "g711", "lpc10", "speex", "opus", "opus ld"
    std::uint32_t frameSamples;  // samples per frame; Speex rows: taken from the mode instead
    std::uint32_t frameBytes;    // bytes per encoded frame; 0 = variable or depends on mode/width
    bool speex;                  // configured by the Speex steps of the selection
    MakeCodec make;              // null: no adapter
    std::uint32_t ownRate = 0;   // Hz the codec runs at whatever the rate code; 0: the card rate
};

// The row of a kind 0-11, or null for kinds 12-31 (no codec).
const CodecRow* codecRow(unsigned kind);

// What one CodecId selects.
struct CodecChoice {
    std::unique_ptr<VoiceCodec> codec;  // null: frames are raw PCM
    std::uint32_t frameSamples = 0;     // samples in one frame (= one capture/playback buffer)
    std::uint32_t sampleRate = 0;       // Hz the sound card runs at
    std::uint32_t bitsPerSample = 0;    // 8 or 16
};

// Steps 3-5 of setCodec for `id`: builds and configures the adapter, the
// frame length (kinds 12-31 keep `previousFrameSamples`), the rate (Speex
// kinds 8 and 9 take the mode's own rate, Opus its 48 kHz) and the width.
// Runs on the caller's thread; allocates the adapter.
CodecChoice chooseCodec(CodecId id, std::uint32_t previousFrameSamples);

// The codec state the audio engine keeps: the current id and what it
// selected. The engine holds its own lock around select() and takes the new
// adapter out with takeCodec() to share it with its coding threads.
class CodecSelection {
public:
    // Frame length before any codec was chosen, and the one kinds 12-31 keep
    // then: the raw PCM frame (also the recorder's initial block length).
    static constexpr std::uint32_t kInitialFrameSamples = 1000;

    // Applies `id`. Returns false and changes nothing when `id` is the id
    // already selected (even if release() dropped the adapter since); returns
    // true when the caller must pass the new rate, width and frame length on
    // to the devices. The first call always applies.
    bool select(CodecId id);

    // Drops the adapter (frames become raw PCM); the remembered id stays.
    void release() { codec_.reset(); }
    // Hands the adapter over to the caller (codec() is null afterwards).
    std::unique_ptr<VoiceCodec> takeCodec() { return std::move(codec_); }

    bool hasId() const { return hasId_; }
    CodecId id() const { return id_; }
    VoiceCodec* codec() const { return codec_.get(); }
    std::uint32_t frameSamples() const { return frameSamples_; }
    std::uint32_t sampleRate() const { return sampleRate_; }
    std::uint32_t bitsPerSample() const { return bitsPerSample_; }

private:
    bool hasId_ = false;
    CodecId id_ = 0;
    std::unique_ptr<VoiceCodec> codec_;
    std::uint32_t frameSamples_ = kInitialFrameSamples;
    std::uint32_t sampleRate_ = 0;
    std::uint32_t bitsPerSample_ = 0;
};

}  // namespace ambrel
