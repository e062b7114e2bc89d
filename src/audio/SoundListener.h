// Receiver of a sound thread's device events. The default operations do
// nothing, so a listener overrides only what it needs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ambrel {

class SoundListener {
public:
    virtual ~SoundListener() = default;

    // The device was opened (and, for a recorder, asked to start).
    // Runs on the sound thread that owns the device.
    virtual void opened() {}

    // A recorder delivers one filled buffer (byteCount recorded bytes, never 0);
    // a player reports one buffer the device has finished playing.
    // Runs on the sound thread (a recorder's may run on its device's own
    // thread, see SoundRecorder); the data is valid only during the call.
    virtual void block(const std::uint8_t* data, std::size_t byteCount) {
        (void)data;
        (void)byteCount;
    }

    // The device was stopped and closed. Runs on the sound thread.
    virtual void closed() {}
};

}  // namespace ambrel
