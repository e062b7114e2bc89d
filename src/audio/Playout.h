// The playout stage of one player: received frames wait in a ring until the
// device asks for sound, and the stage decides what the device gets next.
//
//   Playout stage(format, chooseCodec(id, 0).codec);   // allocates everything
//   stage.push(bytes, length, nowUs);                  // link thread, per frame
//   stage.fill(frame, frameBytes, queued, nowUs);      // player thread
//
// The wire carries no sequence numbers or times, so the stage works from the
// arrival times and from how much sound it holds:
// - Delay control. A datagram is due every four frames. How late datagrams
//   come against that rhythm (which follows a sender whose clock runs a
//   little slow) over the last few seconds (the median) is the jitter; the
//   stage aims to keep that much sound in reserve (the target) for a
//   datagram that comes on time, beyond what the device needs not to run
//   dry (a block less for a device that asks only once it holds nothing).
//   A later datagram is bridged (see below). When that reserve stays about
//   half a frame above the target for two seconds, frames are left out,
//   quiet ones first, with a short cross-fade (for a device that takes a
//   frame shorter by whole blocks, as soon as it stays above the target: a
//   quiet frame is shortened by blocks, down to within a block below the
//   target, whole frames beyond that left out); a backlog far above the
//   target (a stall followed by a burst, a peer's start-up burst) is cut at
//   once.
// - Loss concealment. When the device is about to run dry and nothing has
//   arrived, the codec's own concealment makes up a frame (Speex, iLBC,
//   Opus) while it holds its strength; otherwise, and once it fades, a
//   bridge repeats the last pitch period played (overlapped at each
//   repetition). Made-up sound keeps full strength for 80 ms (a lost
//   datagram of 20 ms frames; with longer frames, for a whole lost datagram
//   all the same), then fades out over 80 ms more (at least a frame);
//   after that the stage plays silence. A datagram that comes after its
//   gap was bridged is still played, less the made-up frames that put the
//   delay beyond the target, so one late datagram neither makes a second gap
//   nor adds to the delay.
//
// Threads: push() on the link's thread (one producer), fill() on the player's
// thread or, for a device that renders, on the device's (one consumer at a
// time: the player hands the stage over under the device's lock); stats(), resetStats() and level() on any thread.
// Neither push() nor fill() allocates or takes a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/PlayoutStats.h"
#include "audio/VoiceCodec.h"

namespace ambrel {

// Samples in one device block for frames of `frameSamples` at `sampleRate`:
// the frame cut into parts of about 10 ms, so the device needs less sound
// queued to ride out a late wake-up. Always divides the frame.
std::uint32_t playoutBlockSamples(std::uint32_t sampleRate, std::uint32_t frameSamples);

class Playout {
public:
    struct Format {
        std::uint32_t sampleRate = 8000;   // Hz
        std::uint32_t frameSamples = 160;  // samples per codec frame
        std::uint32_t bitsPerSample = 16;  // 8 or 16: the device's width
        std::uint32_t blockSamples = 80;   // the device's block (playoutBlockSamples)
    };

    // What fill() put into the device's frame.
    enum class Fill {
        Nothing,    // the device holds enough: nothing to play yet
        Sound,      // a received frame
        Concealed,  // a made-up frame (or silence after a long loss)
    };

    // The largest frame one datagram can carry: (10000 - 1) / 4 bytes.
    static constexpr std::size_t kMaxFrameBytes = 2500;
    static constexpr int kFramesPerDatagram = 4;

    // `decoder`: the player's own adapter (null: frames are raw PCM of the
    // device's width). Allocates the ring (about three seconds of frames) and
    // every buffer. Throws MemoryException.
    Playout(const Format& format, std::unique_ptr<VoiceCodec> decoder);

    Playout(const Playout&) = delete;
    Playout& operator=(const Playout&) = delete;

    // One received frame (length >= 0; bytes beyond kMaxFrameBytes are not
    // kept), arrived at `nowUs` (a steady clock in microseconds). A frame that
    // finds the ring full is dropped and counted. Link thread.
    void push(const std::uint8_t* bytes, std::size_t length, std::int64_t nowUs);

    // The next frame for the device: `out` gets one whole frame of `bytes`
    // bytes in the device's width (bytes = frameSamples x width) unless the
    // result is Nothing. `queuedSamples`: sound lent to the device and not yet
    // handed back, the block playing now included. A caller that can play a
    // frame shorter by whole blocks passes `filledBytes`: it gets the bytes
    // written, and the stage may then shrink the delay a block at a time
    // rather than a frame at a time. Player thread.
    Fill fill(std::uint8_t* out, std::size_t bytes, std::uint32_t queuedSamples, std::int64_t nowUs,
              std::size_t* filledBytes = nullptr);

    // The counters of the current call. Any thread.
    PlayoutStats stats() const;
    // Zeroes the frame counters (a new call begins). Any thread.
    void resetStats();
    // Level of the last frame filled, as the meters show it (0..100; an 8-bit
    // frame below the mid-line gives a negative value). Any thread.
    int level() const { return level_.load(std::memory_order_relaxed); }

    // Frames waiting in the ring (any thread; a snapshot).
    std::size_t waiting() const;
    const Format& format() const { return format_; }

private:
    // Link thread: the arrival rhythm.
    void measureArrival(std::int64_t nowUs);
    // Player thread.
    void observe(std::uint64_t heldSamples, std::uint64_t tail, std::int64_t nowUs);
    Fill fillLong(std::uint8_t* out, std::size_t bytes, std::uint64_t avail, std::uint64_t held);
    std::size_t shorten(std::vector<std::int16_t>& frame, std::size_t length);
    void countCut(std::uint64_t samples);
    void append(const std::vector<std::int16_t>& frame, std::size_t samples);
    void deliverStream(std::uint8_t* out, std::size_t bytes);
    void leaveOut(std::uint64_t count);
    void decodeNext(std::vector<std::int16_t>& into);
    void conceal(std::vector<std::int16_t>& into);
    void startBridge();
    void makeBridge(std::vector<std::int16_t>& into);
    void remember(const std::int16_t* samples, std::size_t count);
    void crossFade(const std::vector<std::int16_t>& from, std::vector<std::int16_t>& into) const;
    bool quiet(const std::vector<std::int16_t>& frame);
    // Writes `frame` to `out` in the device's width, sets the level and
    // keeps what was written for the bridge.
    void deliver(const std::vector<std::int16_t>& frame, std::uint8_t* out, std::size_t bytes);
    std::int64_t targetUs() const;
    std::int64_t reserveUs() const;
    std::int64_t backlogKeepUs() const;
    std::int64_t backlogMarginUs() const;

    const Format format_;
    const std::unique_ptr<VoiceCodec> decoder_;
    const std::int64_t frameUs_;
    const std::int64_t blockUs_;

    // The ring: fixed slots of kMaxFrameBytes; head_ is the consumer's, tail_
    // the producer's (monotonic counters).
    const std::size_t capacity_;
    const bool longFrames_;             // shortened rather than left out whole
    const bool blockCuts_;              // short frames of two blocks or more: may lose whole blocks
    const std::uint32_t stepSamples_;   // the step they are shortened in
    const std::uint32_t fadeSamples_;
    const int concealFull_;             // made-up frames at full strength
    const int concealFrames_;           // made-up frames before silence
    std::vector<std::uint8_t> slots_;
    std::vector<std::uint32_t> lengths_;
    std::atomic<std::uint64_t> head_{0};
    std::atomic<std::uint64_t> tail_{0};

    // Link thread only.
    std::int64_t lastArrivalUs_ = 0;
    std::int64_t burstStartUs_ = 0;
    std::int64_t burstFrames_ = 0;
    std::int64_t lateUs_ = 0;
    static constexpr std::size_t kJitterWindow = 64;  // datagrams, about five seconds of 20 ms frames
    std::array<std::int64_t, kJitterWindow> lateWindow_{};
    std::size_t lateCount_ = 0;
    // Written by the link thread, read by the player thread.
    std::atomic<std::int64_t> lastArrival_{0};
    std::atomic<std::int64_t> jitterUs_{0};
    // The newest datagram: its first frame's place in the ring, when it came,
    // and how late against the rhythm, lost datagrams before it included (-1:
    // after an outage, not comparable).
    std::atomic<std::uint64_t> burstTail_{0};
    std::atomic<std::int64_t> burstAtUs_{0};
    std::atomic<std::int64_t> burstLateUs_{-1};
    std::atomic<std::int64_t> burstLostUs_{0};

    // Player thread only.
    std::vector<std::int16_t> pcm_;     // the frame being filled
    std::vector<std::int16_t> aside_;   // a frame being left out, for the cross-fade
    int concealRun_ = 0;                // frames made up in a row
    // The bridge: the last sound played, the pitch period it repeats and
    // where it is in it; whether this run's made-up sound is the bridge's.
    std::vector<std::int16_t> history_;
    std::vector<std::int16_t> cycle_;
    std::vector<std::int16_t> bridge_;
    std::size_t cycleLen_ = 1;
    std::size_t cyclePos_ = 0;
    bool bridging_ = false;
    bool playing_ = false;              // a frame was played since the stream went idle
    std::int64_t windowStartUs_ = 0;
    std::uint64_t lowWater_ = 0;        // least sound held in this window (samples)
    double heldSum_ = 0;
    std::uint64_t seenBurstTail_ = 0;   // the newest datagram observed
    std::uint64_t madeSamples_ = 0;     // sound made up since it came
    std::int64_t onTimeMinUs_ = 0;      // least sound an on-time datagram would have found, this window
    std::uint64_t onTimeCount_ = 0;
    std::int64_t owedUs_ = 0;           // made-up sound to give back now
    std::int64_t pendingOwedUs_ = 0;    // made-up sound the newest datagram may owe (see observe())
    std::int64_t pendingLateUs_ = 0;    // and how late it came
    std::uint64_t heldCount_ = 0;
    std::int64_t lastExcessUs_ = 0;     // the excess of the window before
    std::int64_t pendingDrops_ = 0;
    std::int64_t pendingBlocks_ = 0;    // blocks to cut out of a frame (short frames, see fill())
    bool partial_ = false;              // the caller takes frames shortened by whole blocks
    std::int64_t dropWait_ = 0;         // frames waited for a quiet one to leave out
    double energy_ = 0;                 // running mean square of played frames
    std::vector<double> energySums_;    // running sums of squares over a frame (see shorten())
    // Long frames only.
    std::vector<std::int16_t> stream_;  // sound taken from frames, not yet given to the device
    std::size_t streamLen_ = 0;
    std::uint64_t shortenDue_ = 0;      // samples to cut at once (owed, backlog)
    std::uint64_t shortenWanted_ = 0;   // samples to cut during this window
    std::uint64_t partCut_ = 0;         // samples cut not yet counted as a dropped frame (both kinds)
    // The most the device held when it asked for sound, this window: a device
    // that asks only when it holds nothing (a file, which plays each block as
    // it takes it) spares the reserve the block it plays.
    std::uint32_t askedHeldMax_ = 0;
    bool asked_ = false;

    std::atomic<std::uint64_t> played_{0};
    std::atomic<std::uint64_t> concealed_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> shortened_{0};
    std::atomic<std::uint32_t> delayMs_{0};
    // What the device keeps of its own when it asks (0 or one block; player
    // thread writes, stats() reads).
    std::atomic<std::int64_t> deviceKeepsUs_;
    std::atomic<int> level_{0};
};

}  // namespace ambrel
