// One entry of the audio engine's player table: a playback thread, the
// playout stage it pulls its frames from, the level of the last frame played
// and the listener that reports its finished buffers back to the engine.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <memory>

#include "audio/Playout.h"
#include "audio/SoundListener.h"
#include "audio/SoundPlayer.h"
#include "audio/VoiceProcessor.h"

namespace ambrel {

class AudioEngine;

class PlayerSlot {
public:
    // Starts the player's thread at once (device still closed). Caller's thread.
    PlayerSlot(AudioEngine& owner, int index, SoundSystem& sound, ErrorReporter* reporter);
    // Quits the player's thread (closing the device) and waits for it.
    virtual ~PlayerSlot();

    PlayerSlot(const PlayerSlot&) = delete;
    PlayerSlot& operator=(const PlayerSlot&) = delete;

    SoundPlayer& player() { return player_; }
    int index() const { return index_; }

    // Makes the player pull its frames from `stage`, whose format must be
    // the player's. Once, before the player starts. Caller's thread.
    void setPlayout(std::unique_ptr<Playout> stage);
    // The stage (null until setPlayout). Frames go in on the link's thread.
    Playout* playout() { return playout_.get(); }

    // Level of the last frame played (0..100; negative for an 8-bit frame
    // that stays below the mid-line). Any thread.
    int level() const { return level_.load(std::memory_order_relaxed); }
    void setLevel(int level) { level_.store(level, std::memory_order_relaxed); }

    // Every frame handed to the player's device, for the echo canceller on
    // the capture thread (which consumes it).
    ReferenceRing& reference() { return reference_; }

private:
    // Turns a finished buffer into the sink's onBlockPlayed(index).
    // Runs on the player thread (or a rendering device's).
    class Listener : public SoundListener {
    public:
        explicit Listener(PlayerSlot& slot) : slot_(slot) {}
        void block(const std::uint8_t* data, std::size_t byteCount) override;

    private:
        PlayerSlot& slot_;
    };

    // Hands the player the stage's next frame. Player thread (or the
    // device's, see FrameSource).
    class Source : public FrameSource {
    public:
        explicit Source(PlayerSlot& slot) : slot_(slot) {}
        std::size_t fill(std::uint8_t* data, std::size_t bytes, std::uint32_t queuedSamples) override;

    private:
        PlayerSlot& slot_;
    };

    AudioEngine& owner_;
    const int index_;
    std::atomic<int> level_{0};
    Listener listener_;
    std::unique_ptr<Playout> playout_;
    ReferenceRing reference_;
    Source source_;
    // Last: its thread uses the listener, so it ends before the rest goes.
    SoundPlayer player_;
};

}  // namespace ambrel
