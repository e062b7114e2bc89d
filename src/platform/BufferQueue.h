// The buffers a device holds, in the order they were lent, and the way they go
// back to the message thread. Used by every backend; not thread-safe: the
// device guards it with its own lock.
#pragma once

#include <cstdint>
#include <deque>

#include "platform/SoundDevice.h"

namespace ambrel {

class MessageThread;

class BufferQueue {
public:
    // Posts `message` with wParam = device to `thread` for each buffer handed back.
    BufferQueue(MessageThread& thread, std::uint32_t message, std::uintptr_t device)
        : thread_(thread), message_(message), device_(device) {}

    // A buffer the device may take: InvalidParam for a null or empty one, or
    // one that does not hold whole samples. Any thread (no state).
    static SoundError check(const SoundBuffer* buffer, std::uint32_t bytesPerSample);
    static SoundError notOpen();

    // Appends a checked buffer: StillPlaying if it is already lent somewhere.
    // Clears bytesRecorded.
    SoundError lend(SoundBuffer* buffer);

    // Recording: copies n bytes (or n bytes of `silence` when p is null) into
    // the buffers in order and hands back each one that is full with
    // bytesRecorded = capacity. What finds no buffer is dropped.
    void fill(const std::uint8_t* p, std::size_t n, std::uint8_t silence);

    // Playing: the unplayed bytes of the first buffer (null, 0 when empty).
    const std::uint8_t* head(std::size_t& bytes) const;
    // Playing: k bytes of the first buffer are played; returns it, removed
    // from the queue but not handed back, once all of it is.
    SoundBuffer* consume(std::size_t k);

    // Hands one buffer back with that recorded length.
    void handBack(SoundBuffer* buffer, std::uint32_t bytesRecorded = 0);
    // Hands every buffer back in order with 0 recorded bytes.
    void returnAll();

    bool empty() const { return queue_.empty(); }

private:
    MessageThread& thread_;
    const std::uint32_t message_;
    const std::uintptr_t device_;
    std::deque<SoundBuffer*> queue_;
    std::uint32_t headPos_ = 0;  // bytes of the first buffer already filled or played
};

}  // namespace ambrel
