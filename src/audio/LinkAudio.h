// The audio half of a VoiceLink as the link sees it: exactly the calls the
// link makes. The audio engine implements it; tests use a scripted one, so the
// link runs without a sound card.
#pragma once

#include <cstdint>

#include "audio/PlayoutStats.h"
#include "audio/VoiceStats.h"

namespace ambrel {

class AudioSink;

class LinkAudio {
public:
    virtual ~LinkAudio() = default;

    // Where captured frames go (AudioSink::onFrameEncoded on the recorder
    // thread). Called once by the VoiceLink constructor, on the constructing
    // thread, before any other call.
    virtual void setSink(AudioSink* sink) = 0;

    // Sets the capture level to 0. Link worker thread, once at thread start.
    virtual void resetCaptureLevel() = 0;

    // Creates a player on playback device `device` (-1 = the system default)
    // and returns its index (>= 0). Link worker thread, once at thread start,
    // right after resetCaptureLevel.
    virtual int addPlayer(int device) = 0;

    // Starts recording; frames then arrive through the sink. Link worker
    // thread, at the start of every link loop (listening or connected).
    virtual void startCapture() = 0;

    // Decodes and queues one received frame for player `playerIndex`. bytes is
    // valid only during the call; length >= 0 (0 is a legal, empty frame).
    // Link worker thread, four times per received sound datagram.
    virtual void playFrame(int playerIndex, const uint8_t* bytes, int length) = 0;

    // Stops recording. Link worker thread, at the end of every link loop that
    // ends normally.
    virtual void stopCapture() = 0;

    // Stops capture, closes every player and drops the codec. Link worker
    // thread, once when the thread ends.
    virtual void shutdown() = 0;

    // The level of the last captured block, 0..100. Capture thread (from
    // inside the sink's onFrameEncoded).
    virtual int captureLevel() = 0;

    // The level of player `playerIndex`, 0..100, or -1 for an index without a
    // player. Capture thread (from inside the sink's onFrameEncoded).
    virtual int playerLevel(int playerIndex) = 0;

    // What player `playerIndex` played, made up and left out during the
    // current call, and its delay. Any thread (the views read it). The
    // default, for audio without a playout stage, is all zeroes.
    virtual PlayoutStats playerStats(int playerIndex) {
        (void)playerIndex;
        return {};
    }

    // Which parts of the voice-processing stage run (VoiceFeature bits). Any
    // thread. The default, for audio without the stage, ignores it.
    virtual void setVoiceFeatures(unsigned features) { (void)features; }
    // What the stage did lately. Any thread.
    virtual VoiceStats voiceStats() { return {}; }
};

}  // namespace ambrel
