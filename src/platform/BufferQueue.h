// The buffers a device holds, in the order they were lent, and the way they go
// back to the message thread. Used by every backend; not thread-safe: the
// device guards it with its own lock, except park(). Only lend() and taking
// in parked buffers allocate (when more buffers are lent than ever before):
// taking buffers out and handing them back never does, so a device's
// call-back may do both. Also the block a device that hands its sound over
// itself gathers (CaptureBlock).
#pragma once

#include <cstdint>
#include <vector>

#include "base/SpscRing.h"
#include "platform/MessageThread.h"
#include "platform/SoundDevice.h"

namespace ambrel {

class BufferQueue {
public:
    // Posts `message` with wParam = device to `thread` for each buffer handed back.
    BufferQueue(MessageThread& thread, std::uint32_t message, std::uintptr_t device)
        : thread_(thread), message_(message), device_(device) {}

    // A buffer the device may take: InvalidParam for a null or empty one, or
    // one that does not hold whole samples. Any thread (no state).
    static SoundError check(const SoundBuffer* buffer, std::uint32_t bytesPerSample);
    static SoundError notOpen();

    // Hands buffers back through `box` (attached to the thread) rather than
    // by posting, which takes the thread's lock; null: by posting again.
    void useMailbox(MessageThread::Mailbox* box) { mailbox_ = box; }

    // Appends a checked buffer: StillPlaying if it is already lent somewhere.
    // Clears bytesRecorded. NoMemory if the queue cannot grow.
    SoundError lend(SoundBuffer* buffer);
    // Lends a checked buffer without the device's lock, so the lending thread
    // never waits for a busy call-back: marks it lent and parks it in a fixed
    // ring until the next fill() or returnAll() appends it. One lending thread
    // at a time. False, and nothing changes, when the buffer is lent already
    // or the ring is full: lend() it under the lock instead.
    bool park(SoundBuffer* buffer);

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

    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }

private:
    SoundBuffer* front() const { return slots_[first_]; }
    void popFront();
    bool append(SoundBuffer* buffer);
    void takeParked();

    MessageThread& thread_;
    const std::uint32_t message_;
    const std::uintptr_t device_;
    MessageThread::Mailbox* mailbox_ = nullptr;
    // A ring of the lent buffers, oldest at first_; grows only in lend().
    std::vector<SoundBuffer*> slots_ = std::vector<SoundBuffer*>(16);
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    std::uint32_t headPos_ = 0;  // bytes of the first buffer already filled or played
    // Buffers parked by the lending thread; taken in under the device's lock.
    SpscRing<SoundBuffer*> parked_{32};
};

// One recorded block gathered for a capturer (SoundInput::setCapturer). The
// device sizes it once on its message thread, before its own thread first
// uses it; from then on only the device's thread touches it.
class CaptureBlock {
public:
    // Sizes the block to `bytes` (a no-op once sized); false when out of memory.
    bool reserve(std::size_t bytes);
    // Where the next recorded bytes go; `room` is how many fit.
    std::uint8_t* space(std::size_t& room) {
        room = data_.size() - fill_;
        return data_.data() + fill_;
    }
    // n bytes were written at space(): a full block goes to `capturer`.
    void filled(std::size_t n, SoundCapturer& capturer);
    // Drops a partly recorded block.
    void clear() { fill_ = 0; }

private:
    std::vector<std::uint8_t> data_;
    std::size_t fill_ = 0;
};

}  // namespace ambrel
