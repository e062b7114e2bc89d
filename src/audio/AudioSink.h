// The interface through which the audio engine hands captured sound to its
// user (the voice link). Header-only, no dependencies: the audio pipeline and
// the link both include it.
#pragma once

#include <cstdint>

namespace ambrel {

// Every operation has a default that does nothing, so a sink overrides only
// what it needs. All calls come from the audio engine's threads, never from the
// user-interface thread; a sink must not block for long in any of them.
class AudioSink {
public:
    virtual ~AudioSink() = default;

    // One encoded frame (or one raw block when no codec is set) is ready to be
    // sent. Called on the capture thread (the recorder's, or the recording
    // device's own: one call at a time). bytes is valid only for the duration
    // of the call; length is the frame's size in bytes (a frame of length <= 0
    // or a null pointer carries nothing).
    virtual void onFrameEncoded(const uint8_t* bytes, int length) {
        (void)bytes;
        (void)length;
    }

    // A raw captured block before encoding (capture thread). Returning true
    // means the sink consumed the block and it is not encoded; the default
    // (false) lets the engine encode it and call onFrameEncoded.
    virtual bool onRawBlock(const uint8_t* bytes, int length) {
        (void)bytes;
        (void)length;
        return false;
    }

    // A playback buffer of player playerIndex finished (that player's thread),
    // or a frame was handed to a device that renders (the device's thread).
    virtual void onBlockPlayed(int playerIndex) { (void)playerIndex; }

    // A captured block was judged silent (capture thread).
    virtual void onSilentBlock() {}
};

}  // namespace ambrel
