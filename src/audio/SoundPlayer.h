// The playback thread, in one of two ways:
// - pushed: a ring of 12 one-frame buffers. queue() copies a frame into the
//   next free buffer on the caller's thread and posts PLAY_WRITE; the thread
//   writes it to the device, which plays the buffers in order.
// - pulled (setSource): the device is lent a few short blocks, about 40 ms in
//   all; whenever it hands one back, or feed() says a frame has arrived, the
//   thread asks the source for the next frame and cuts it into blocks. The
//   source decides what plays, so nothing piles up in the device.
//   A device that can ask for its sound itself (SoundOutput::setRenderer)
//   is not lent blocks: it takes the source's frames on its own thread as it
//   has room, and this thread only wakes it when sound arrives after the
//   source ran dry. That spares two thread hand-offs per block.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/SoundBase.h"
#include "audio/SoundListener.h"

namespace ambrel {

// Where a pulled player takes its sound from. The player's thread, or the
// device's when the device renders (one call at a time).
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Writes the next frame (`bytes` bytes, one frame in the device's width)
    // to `data` and returns the bytes written: the whole frame, or whole
    // blocks fewer when the source shortened it; 0 when there is nothing to
    // play yet. `queuedSamples`: sound lent to the device and not yet handed
    // back, the block playing now included.
    virtual std::size_t fill(std::uint8_t* data, std::size_t bytes, std::uint32_t queuedSamples) = 0;
};

class SoundPlayer : public SoundBase {
public:
    // A device that fails (an open refused, a stream the server dropped) is
    // reported once; frames arriving afterwards reopen it, at most once per
    // back-off period, which doubles from the first to the last value below
    // until an open succeeds. Frames meanwhile are lost.
    static constexpr std::chrono::milliseconds kFirstRetryDelay{500};
    static constexpr std::chrono::milliseconds kLastRetryDelay{8000};

    // Thread messages (posted with post()).
    static constexpr std::uint32_t PLAY_START = 0x658;  // open the device
    static constexpr std::uint32_t PLAY_STOP = 0x659;   // reset and close the device
    static constexpr std::uint32_t PLAY_WRITE = 0x65A;  // wParam: the ring index to play
    static constexpr std::uint32_t PLAY_QUIT = 0x65B;   // stop if open, end the loop
    static constexpr std::uint32_t PLAY_FEED = 0x65C;   // a pulled player: ask the source again

    // Blocks a pulled player can lend to its device.
    static constexpr int kPullBlocks = 8;

    // Starts the player thread; the device stays closed until start().
    SoundPlayer(SoundSystem& sound, ErrorReporter* reporter);
    // Quits the thread (closing the device first) and waits for it.
    ~SoundPlayer() override;

    // The listener's calls run on the player thread; a rendering device's
    // block() calls (one per frame handed to it) on the device's thread.
    // Set before start().
    void setListener(SoundListener* listener) { listener_.store(listener); }

    // Playing device: -1 = the default device, n >= 1 = the n-th device of the
    // list, or a SoundSystem alias. Used at the next open. Any thread.
    void setDeviceId(int device) { deviceId_.store(device); }
    int deviceId() const { return deviceId_.load(); }

    // Makes this a pulled player: frames come from `source`, and the device
    // plays blocks of `blockSamples` (a divisor of the frame). Before start().
    void setSource(FrameSource* source, std::uint32_t blockSamples) {
        source_ = source;
        pullBlockSamples_ = blockSamples;
    }

    // A pulled player: something arrived, ask the source again. Cheap when
    // a request is already waiting. Any thread.
    void feed();

    // Rebuilds format and buffers if dirty, restarts the ring at buffer 0 and
    // posts PLAY_START. Caller's thread, while the device is closed and no
    // frame is queued (the engine calls it once, right after construction).
    // Throws MemoryException when the buffers cannot be allocated.
    void start();

    // Copies min(length, buffer size) bytes into the next ring buffer and
    // posts PLAY_WRITE. The whole buffer is always played (one frame), so a
    // shorter frame leaves the tail of that buffer's previous contents.
    // When the next buffer is still lent to the device (all 12 are queued) the
    // frame is dropped and counted; returns false then. Frames are played in
    // the order queue() is called. One caller thread at a time (the link's).
    bool queue(const std::uint8_t* bytes, std::size_t length);

    // Frames dropped by queue() because the ring was full (any thread).
    std::uint64_t droppedFrames() const { return dropped_.load(); }

    // True while the device is open (any thread; a snapshot).
    bool isOpen() const { return isOpen_.load(); }

    // The open device's SoundOutput::latencyMicros() (0 while none is open).
    // From the source's fill() only: the device cannot close during it.
    std::uint32_t outputLatencyMicros() const {
        const SoundOutput* d = current_.load(std::memory_order_acquire);
        return d ? d->latencyMicros() : 0;
    }

    // Posts PLAY_QUIT and waits for the thread to end. Any thread but the
    // player's own; harmless when the thread has already ended.
    void quitAndWait();

protected:
    void handle(const Message& message) override;  // player thread

private:
    // Handlers, all on the player thread.
    void onStart();
    void onStop();
    void onWrite(int index);
    void onDone(const Message& message);
    // Opens the device; on failure reports (once per failing spell, under
    // `step`) and sets the next retry time. True when open.
    bool open();
    // The open device failed at `step`: reports once and releases it.
    void lose(const char* step, const SoundError& error);
    void reportOnce(const char* step, const SoundError& error);
    void reopenIfDue();
    void pump();  // a pulled player: lend blocks while the source has sound
    bool takeFrame(std::uint32_t queuedSamples);  // the source's next frame into pullFrame_

    // A pulled player whose device renders: its render() calls come on the
    // device's thread (or on this one, inside wake()), one at a time.
    class Renderer : public SoundRenderer {
    public:
        explicit Renderer(SoundPlayer& player) : player_(player) {}
        std::size_t render(std::uint8_t* data, std::size_t bytes, std::uint32_t heldSamples) override;
        void lost() override;

    private:
        SoundPlayer& player_;
    };

    std::atomic<bool> isOpen_{false};
    std::unique_ptr<SoundOutput> device_;  // player thread only
    std::atomic<SoundOutput*> current_{nullptr};  // device_ while open, written by the player thread
    std::atomic<int> nextBuffer_{0};       // 0..11; queue()'s thread
    std::atomic<SoundListener*> listener_{nullptr};
    std::atomic<int> deviceId_{-1};
    // A ring buffer is busy from queue() until the device hands it back (or
    // PLAY_WRITE finds it cannot be played); queue() never writes into a busy one.
    std::array<std::atomic<bool>, kBufferCount> busy_{};
    std::atomic<std::uint64_t> dropped_{0};
    // Recovery, player thread only.
    bool wanted_ = false;   // between PLAY_START and PLAY_STOP
    bool failing_ = false;  // a failure was reported and no open has succeeded since
    std::chrono::steady_clock::time_point retryAt_{};
    std::chrono::milliseconds retryDelay_{kFirstRetryDelay};

    // A pulled player. Set before start(); the rest belongs to the player
    // thread once the device is open.
    FrameSource* source_ = nullptr;
    std::uint32_t pullBlockSamples_ = 0;
    std::uint32_t pullBlockBytes_ = 0;
    int pullMaxLent_ = 0;
    std::vector<std::uint8_t> pullFrame_;  // the frame being cut into blocks (a shortened one at its end)
    std::size_t pullOffset_ = 0;           // bytes of it already handed out, or not part of it
    std::vector<std::uint8_t> pullData_;   // kPullBlocks blocks
    std::array<SoundBuffer, kPullBlocks> pullBlocks_;
    std::array<bool, kPullBlocks> pullBusy_{};
    int pullNext_ = 0;
    int pullLent_ = 0;
    std::atomic<bool> feedPending_{false};
    // The device renders: pullFrame_ and pullOffset_ then belong to whichever
    // thread runs render() (the device serialises those calls).
    Renderer renderer_{*this};
    std::atomic<bool> rendering_{false};
    // render() ran short with the device nearly dry (or the device was lost):
    // the next feed() wakes the device. While the device renders steadily,
    // arrivals need no wake-up.
    std::atomic<bool> starved_{true};
};

}  // namespace ambrel
