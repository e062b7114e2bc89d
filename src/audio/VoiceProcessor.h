// The voice-processing stage on the capture path: echo cancellation against
// the sound the players hand their devices, noise suppression, automatic gain
// control and a high-pass filter, done by the WebRTC audio processing
// library on 10 ms blocks.
//
//   VoiceProcessor voice(16000, 320);            // rate, samples per codec frame
//   ReferenceRing played;                        // one per player
//   played.push(pcm, n, aheadMicros);            // player thread: what it plays
//   ReferenceRing* refs[] = {&played};
//   voice.process16(frame, 320, refs, captureLatencyMicros);  // capture thread
//
// A codec frame is cut into whole 10 ms blocks; a frame that is not a whole
// number of blocks (LPC-10's 22.5 ms) waits for the rest of its last block,
// so the stage then delays the sound by less than one block. Rates the
// library does not take (11025, 22050, 44100 Hz) are processed as if they
// were the nearest one it takes: the blocks are then slightly shorter or
// longer than 10 ms, which the canceller does not mind.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audio/VoiceStats.h"
#include "base/SpscRing.h"

namespace webrtc {
class AudioProcessing;
class AudioFrame;
}  // namespace webrtc

namespace ambrel {

// Sound a player handed its device, on its way to the capture thread. One
// producer (the player's thread, or its device's) and one consumer (the
// capture thread); neither locks nor allocates after construction.
class ReferenceRing {
public:
    static constexpr std::size_t kChunkSamples = 480;
    // Room for `chunks` chunks of up to kChunkSamples samples each.
    explicit ReferenceRing(std::size_t chunks = 96);

    // Producer. `n` samples about to be played; `aheadMicros`: how long
    // before the first of them reaches the speaker (sound the device holds
    // plus its own latency). What does not fit is dropped.
    void push(const std::int16_t* samples, std::size_t n, std::uint32_t aheadMicros);
    // Producer, 8-bit unsigned samples (silence at 128).
    void push8(const std::uint8_t* samples, std::size_t n, std::uint32_t aheadMicros);

    // Consumer. Samples waiting.
    std::size_t available() const { return available_.load(std::memory_order_acquire); }
    // Consumer. Copies up to n samples to `to` (added to what is there when
    // `mix`), returns how many; `aheadMicros` gets the latest chunk's figure.
    std::size_t take(std::int16_t* to, std::size_t n, bool mix, std::uint32_t& aheadMicros);
    // Consumer. Drops everything waiting.
    void flush();

private:
    struct Chunk {
        std::uint32_t count = 0;
        std::uint32_t aheadMicros = 0;
        std::int16_t samples[kChunkSamples];
    };
    SpscRing<Chunk> ring_;
    std::size_t readOffset_ = 0;    // consumer only: samples of the front chunk already taken
    std::atomic<std::size_t> available_{0};
};

class VoiceProcessor {
public:
    // A stage for `frameSamples`-sample frames at `sampleRate` Hz. Throws
    // MemoryException when the library cannot be set up.
    VoiceProcessor(std::uint32_t sampleRate, std::uint32_t frameSamples);
    ~VoiceProcessor();
    VoiceProcessor(const VoiceProcessor&) = delete;
    VoiceProcessor& operator=(const VoiceProcessor&) = delete;

    // The rate the library works at (the stage's own, or the nearest one).
    std::uint32_t processingRate() const { return processingRate_; }
    // Samples of delay the stage adds (0 when frames are whole blocks).
    std::uint32_t delaySamples() const { return prefill_; }

    // Which parts run (VoiceFeature bits); applied at the next frame. Any thread.
    void setFeatures(unsigned features) { features_.store(features & kVoiceAll, std::memory_order_relaxed); }
    unsigned features() const { return features_.load(std::memory_order_relaxed); }

    // Capture thread. Processes one frame of `n` samples in place. The
    // reference rings are drained into the canceller first; with none given
    // (nobody plays) the canceller idles and the rest still acts.
    // `captureLatencyMicros`: how long ago the frame's first sample reached
    // the microphone. n must be the frame length given at construction.
    void process16(std::int16_t* frame, std::size_t n, std::span<ReferenceRing* const> references,
                   std::uint32_t captureLatencyMicros);
    // Capture thread. The same for 8-bit unsigned samples.
    void process8(std::uint8_t* frame, std::size_t n, std::span<ReferenceRing* const> references,
                  std::uint32_t captureLatencyMicros);
    // Capture thread. A new call: what the rings hold is stale.
    void restart(std::span<ReferenceRing* const> references);

    // Any thread.
    VoiceStats stats() const;

private:
    void apply(unsigned features, bool haveReference);
    void feedReference(std::span<ReferenceRing* const> references);
    void skipReference(std::span<ReferenceRing* const> references, std::size_t n);
    void processBlock(std::span<ReferenceRing* const> references, std::uint32_t captureLatencyMicros);
    void updateStats();
    void steerDelay(int median, int erle);

    const std::uint32_t sampleRate_;
    const std::uint32_t frameSamples_;
    std::uint32_t processingRate_ = 16000;
    std::uint32_t block_ = 160;    // samples per block
    std::uint32_t prefill_ = 0;    // zeros the output starts with when frames are not whole blocks

    std::unique_ptr<webrtc::AudioProcessing> apm_;
    std::unique_ptr<webrtc::AudioFrame> near_;     // capture thread
    std::unique_ptr<webrtc::AudioFrame> far_;      // capture thread
    std::vector<std::int16_t> input_;             // one block being gathered
    std::size_t inputCount_ = 0;
    std::vector<std::int16_t> output_;            // processed samples waiting (a ring)
    std::size_t outputHead_ = 0, outputCount_ = 0;
    std::vector<std::int16_t> wide_;              // an 8-bit frame widened
    std::uint32_t farAheadMicros_ = 0;
    std::uint32_t waitedMicros_ = 0;
    std::uint32_t delayOffsetMs_ = 0;  // added to the devices' figures (steerDelay)
    int streamDelayMs_ = 0;            // the delay the canceller was last told
    int lostEstimates_ = 0;
    int steerPause_ = 0;
    std::uint32_t talkingBlocks_ = 0;  // reference blocks with a talker in them, this window
    bool restartCanceller_ = false;
    std::uint32_t blocksSinceStats_ = 0;
    std::size_t leastBacklog_ = ~std::size_t(0);  // the least reference waiting in this window
    std::uint32_t backlogBlocks_ = 0;
    std::uint32_t quietBlocks_ = ~0u / 2;  // blocks since a reference last came

    std::atomic<unsigned> features_{kVoiceAll};
    unsigned applied_ = ~0u;  // capture thread: what the library was set to (~0: nothing yet)
    bool cancelling_ = false; // capture thread

    std::atomic<bool> active_{false};
    std::atomic<bool> statsCancelling_{false};
    std::atomic<int> erleDb_{0};
    std::atomic<bool> erleValid_{false};
    std::atomic<int> delayMs_{-1};
};

}  // namespace ambrel
