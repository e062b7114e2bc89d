// The audio half of a voice link: one recorder, a table of players and the
// current codec. Every captured buffer (one codec frame) is encoded on the
// capture thread (the recorder's, or the recording device's own when it
// hands its blocks over itself) and handed to the sink; every received
// frame waits in a player's playout stage and is decoded on that player's
// thread.
//
//   SoundSystem& sound = ...;                 // the application's devices
//   auto engine = std::make_unique<AudioEngine>(sound, &reporter);
//   engine->setCodec(kDefaultCodecId);        // before the link's thread starts
//   engine->setRecordDevice(-1);
//   VoiceLink link(std::move(engine));        // the link becomes the sink
//
// Threads: the owner's thread builds the engine and calls setCodec and
// setRecordDevice, normally before any call (setCodec is safe at any time);
// the link's worker thread calls the LinkAudio operations; the recorder
// thread runs the encoder and the sink; each player's thread runs its device.
// addPlayer, playFrame and shutdown must not run concurrently with each other
// (the link makes all three on its worker): playFrame reads the player table
// without the lock, as it runs per frame.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/AudioSink.h"
#include "audio/CodecId.h"
#include "audio/CodecTable.h"
#include "audio/PlayerSlot.h"
#include "audio/SoundListener.h"
#include "audio/SoundRecorder.h"
#include "audio/VoiceProcessor.h"
#include "audio/LinkAudio.h"
#include "platform/SoundDevice.h"

namespace ambrel {

class ErrorReporter;
class VoiceCodec;

class AudioEngine : public LinkAudio {
public:
    // Starts the recorder thread (device closed). `sound` opens every device
    // and must outlive the engine; `reporter` receives device errors from the
    // sound threads (null: stderr) and must outlive the engine too.
    // Owner's thread.
    AudioEngine(SoundSystem& sound, ErrorReporter* reporter);
    // Runs shutdown().
    ~AudioEngine() override;

    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Chooses the codec, sample rate, width and frame length, and passes them
    // to the recorder. Nothing happens when `id` is the id already chosen.
    // Any thread, at any time: a recorder that is recording reopens its device
    // with the new format; a block still captured in the old one is dropped.
    // The old adapter lives on until the recorder has finished the frame it is
    // coding with it. Players keep the codec and format they were created
    // with: a change reaches them through the next addPlayer.
    void setCodec(CodecId id);
    // The last id given to setCodec (0 before any).
    CodecId codecId() const;

    // Recording device for the next start: -1 = default, n >= 1 = the n-th of
    // the list, or a SoundSystem alias. Any thread.
    void setRecordDevice(int device) { recorder_.setDeviceId(device); }

    // What setCodec chose (0 before any codec). Any thread.
    std::uint32_t bitsPerSample() const { return bitsPerSample_.load(); }
    std::uint32_t sampleRate() const { return sampleRate_.load(); }
    std::uint32_t frameSamples() const { return frameSamples_.load(); }

    // LinkAudio.
    // Where captured frames go; null: nowhere. Any thread.
    void setSink(AudioSink* sink) override { sink_.store(sink); }
    // Capture level := 0. Any thread.
    void resetCaptureLevel() override { captureLevel_.store(0); }
    void clearCaptureLevel() { resetCaptureLevel(); }
    // Creates a player on `device` (-1 = default) with the current rate, width
    // and frame length, opens its device (asynchronously; a failure goes to the
    // reporter) and returns its index. Link thread. Throws MemoryException.
    int addPlayer(int device) override;
    // Opens the recording device and starts recording (asynchronously; a
    // failure goes to the reporter, and the next call tries again), and
    // zeroes the players' counters: a call begins. Any thread.
    void startCapture() override;
    // Hands one frame (length bytes, 0 allowed) to player `playerIndex`'s
    // playout stage, which decodes it on the player's thread when the device
    // needs sound. Ignored for an index without a player, a negative length
    // or null bytes with a positive length. Link thread.
    void playFrame(int playerIndex, const std::uint8_t* bytes, int length) override;
    // Stops recording and closes the recording device (asynchronously). Any thread.
    void stopCapture() override;
    // Ends the recorder thread, then stops, ends and deletes every player, and
    // drops the codec adapter (the chosen id is kept). Waits for every thread.
    // Link thread, or the owner's once the link's thread has ended.
    // Calling it again does nothing more.
    void shutdown() override;
    // Level of the last captured buffer: the positive peak in percent of full
    // scale, 0..100 for 16-bit; for 8-bit (peak - 128) x 100 / 127, so -100..100.
    // Any thread.
    int captureLevel() override { return captureLevel_.load(std::memory_order_relaxed); }
    // Level of the last frame that player played, or -1 when the index has
    // no player. Any thread.
    int playerLevel(int playerIndex) override;

    // Frames player `playerIndex` left out (to bring the delay down, or
    // because its ring was full); 0 for an index without a player. Any thread.
    std::uint64_t playerDrops(int playerIndex);
    // The counters of player `playerIndex`'s playout stage for the current
    // call (zeroes for an index without a player). Any thread.
    PlayoutStats playerStats(int playerIndex) override;

    // Which parts of the voice-processing stage run on recorded sound
    // (VoiceFeature bits; all by default). The stage works only on sound
    // from a live device (a sound card or server), never on a file's.
    // Takes effect at the next frame. Any thread.
    void setVoiceFeatures(unsigned features) override;
    unsigned voiceFeatures() const { return voiceFeatures_.load(std::memory_order_relaxed); }
    // What the stage did lately. Any thread.
    VoiceStats voiceStats() override;

    // Player `playerIndex`'s finished buffer. Called by the slot's listener on
    // that player's thread (or its rendering device's); passes it on to the
    // sink's onBlockPlayed.
    void blockPlayed(int playerIndex);

private:
    // The recorder's listener: encodes every filled buffer (capture thread).
    class CaptureListener : public SoundListener {
    public:
        explicit CaptureListener(AudioEngine& engine) : engine_(engine) {}
        void block(const std::uint8_t* data, std::size_t byteCount) override;

    private:
        AudioEngine& engine_;
    };

    void captured(const std::uint8_t* data, std::size_t byteCount);  // capture thread

    // One codec choice, never changed once published: the adapter and the
    // format its frames have. Shared by the engine and the threads coding
    // with it; the last one to let go deletes the adapter.
    struct CodecState {
        std::unique_ptr<VoiceCodec> codec;  // null: raw PCM
        std::uint32_t bitsPerSample = 0;
        std::uint32_t frameSamples = 0;
        // The capture thread's stage for this format (null: none can be made).
        std::unique_ptr<VoiceProcessor> voice;
    };
    // A coding thread's own reference to the current choice. refresh() takes
    // the lock only when the choice has changed since its last frame.
    struct CodecView {
        std::shared_ptr<const CodecState> state;
        std::uint64_t generation = 0;
    };
    const CodecState* refresh(CodecView& view);  // the view's thread

    SoundSystem& sound_;
    ErrorReporter* const reporter_;
    std::atomic<AudioSink*> sink_{nullptr};

    // Guards the player table and the codec selection. Taken on the capture
    // path only at the first frame after a codec change; playerLevel holds it
    // briefly. Players decode with adapters of their own, made by addPlayer.
    mutable std::mutex lock_;
    std::vector<std::unique_ptr<PlayerSlot>> players_;  // written under lock_
    CodecSelection selection_;                          // under lock_
    std::shared_ptr<const CodecState> codec_;           // under lock_; null after shutdown
    // Bumped (under lock_) whenever codec_ changes.
    std::atomic<std::uint64_t> codecGeneration_{0};
    CodecView captureCodec_;  // capture thread (shutdown: once it has ended)
    std::atomic<CodecId> codecId_{0};
    std::atomic<std::uint32_t> bitsPerSample_{0};
    std::atomic<std::uint32_t> sampleRate_{0};
    std::atomic<std::uint32_t> frameSamples_{0};

    // The players' reference rings, for the capture thread: a slot is
    // published here once built and withdrawn at shutdown, after the
    // recorder has ended. Written under lock_.
    static constexpr std::size_t kMaxReferences = 4;
    std::array<std::atomic<ReferenceRing*>, kMaxReferences> references_{};
    std::atomic<unsigned> voiceFeatures_{kVoiceAll};
    std::atomic<bool> voiceRestart_{true};  // a call begins: the rings hold stale sound
    std::atomic<bool> voiceActive_{false};  // the last frame went through the stage
    std::vector<std::uint8_t> pcm_;         // the frame being processed; capture thread only

    std::atomic<int> captureLevel_{0};
    CaptureListener captureListener_;
    std::vector<std::uint8_t> frame_;  // encoded frame; capture thread only

    // Last: its thread calls captureListener_ and reads the fields above.
    SoundRecorder recorder_;
};

}  // namespace ambrel
