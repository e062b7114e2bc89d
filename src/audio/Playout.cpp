#include "audio/Playout.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <new>

#include "audio/SoundLevel.h"
#include "audio/codecs/FrameBuffer.h"
#include "base/Exception.h"

namespace ambrel {
namespace {

constexpr std::int64_t kSecondUs = 1000000;
// A pause longer than this is an outage, not jitter: it is not aimed for.
constexpr std::int64_t kOutageUs = 500000;
// How much slower than ours a sender's clock may run and still be followed
// (parts per thousand): sound cards are within a few tenths of a per mille.
constexpr std::int64_t kDriftPerMille = 5;
// The target never grows beyond this.
constexpr std::int64_t kMaxTargetUs = 300000;
// A backlog this far above what a datagram and the target need is cut at once.
constexpr std::int64_t kCutMarginUs = 100000;
// Sound made up in a row: this long at full strength (a lost datagram of
// 20 ms frames; with longer frames, a whole lost datagram all the same),
// then fading out over this long (at least a frame), then silence.
constexpr std::int64_t kConcealFullUs = 80000;
constexpr std::int64_t kConcealFadeUs = 80000;
// The bridge repeats one pitch period of the sound played last: periods from
// 2.5 ms (400 Hz) to 15 ms (67 Hz), found over the last 10 ms, with the end
// of the period blended into the sound before its start over a quarter of
// it. Sound that repeats no period well (noise) takes the longest one.
constexpr std::int64_t kHistoryUs = 30000;
constexpr std::int64_t kPitchWindowUs = 10000;
constexpr std::int64_t kMinPeriodUs = 2500;
constexpr std::int64_t kMaxPeriodUs = 15000;
constexpr double kVoicedCorrelation = 0.3;
// The codec's own guess gives way to the bridge once it is this much weaker
// (in power: half the amplitude).
constexpr double kOwnGivesWay = 0.25;
// Length of the cross-fade over a frame left out.
constexpr std::int64_t kFadeUs = 5000;
// Frames longer than this are shortened rather than left out whole, in steps
// of kShortenStepUs, at most half a frame at a time.
constexpr std::int64_t kLongFrameUs = 30000;
constexpr std::int64_t kShortenStepUs = 10000;

std::int64_t samplesToUs(std::uint64_t samples, std::uint32_t rate) {
    return static_cast<std::int64_t>(samples * static_cast<std::uint64_t>(kSecondUs) / (rate ? rate : 1));
}

std::size_t samplesFor(std::int64_t us, std::uint32_t rate) {
    return static_cast<std::size_t>(us * static_cast<std::int64_t>(rate) / kSecondUs);
}

int framesFor(std::int64_t us, std::int64_t frameUs) {
    return static_cast<int>(std::max<std::int64_t>(1, (us + frameUs - 1) / frameUs));
}

double power(const std::vector<std::int16_t>& frame) {
    double sum = 0;
    for (std::int16_t s : frame) sum += static_cast<double>(s) * s;
    return frame.empty() ? 0 : sum / static_cast<double>(frame.size());
}

std::size_t ringCapacity(std::int64_t frameUs) {
    const std::int64_t frames = (3 * kSecondUs + frameUs - 1) / frameUs;
    return static_cast<std::size_t>(std::clamp<std::int64_t>(frames, 16, 300));
}

// Scales frame[i] by a gain going linearly from g0 to g1 across the frame.
void ramp(std::vector<std::int16_t>& frame, double g0, double g1) {
    const std::size_t n = frame.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double g = g0 + (g1 - g0) * static_cast<double>(i) / static_cast<double>(n);
        frame[i] = static_cast<std::int16_t>(frame[i] * g);
    }
}

}  // namespace

std::uint32_t playoutBlockSamples(std::uint32_t sampleRate, std::uint32_t frameSamples) {
    if (sampleRate == 0 || frameSamples == 0) return frameSamples;
    const std::uint64_t frameMs = std::uint64_t(frameSamples) * 1000 / sampleRate;
    std::uint32_t parts = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, (frameMs + 5) / 10));
    while (parts > 1 && frameSamples % parts != 0) --parts;
    return frameSamples / parts;
}

Playout::Playout(const Format& format, std::unique_ptr<VoiceCodec> decoder)
    : format_([&] {
          Format f = format;
          if (f.sampleRate == 0) f.sampleRate = 8000;
          if (f.frameSamples == 0) f.frameSamples = 1;
          if (f.blockSamples == 0 || f.blockSamples > f.frameSamples) f.blockSamples = f.frameSamples;
          return f;
      }()),
      decoder_(std::move(decoder)),
      frameUs_(std::max<std::int64_t>(1, samplesToUs(format_.frameSamples, format_.sampleRate))),
      blockUs_(samplesToUs(format_.blockSamples, format_.sampleRate)),
      capacity_(ringCapacity(frameUs_)),
      longFrames_(frameUs_ > kLongFrameUs),
      blockCuts_(!longFrames_ && format_.blockSamples < format_.frameSamples &&
                 format_.frameSamples % format_.blockSamples == 0),
      stepSamples_(std::max<std::uint32_t>(1, static_cast<std::uint32_t>(format_.sampleRate * kShortenStepUs / kSecondUs))),
      fadeSamples_(static_cast<std::uint32_t>(kFadeUs * format_.sampleRate / kSecondUs) + 1),
      concealFull_(std::max(framesFor(kConcealFullUs, frameUs_), kFramesPerDatagram)),
      concealFrames_(concealFull_ + framesFor(kConcealFadeUs, frameUs_)),
      deviceKeepsUs_(blockUs_) {
    try {
        slots_.assign(capacity_ * kMaxFrameBytes, 0);
        lengths_.assign(capacity_, 0);
        // Decoders grow their output to one frame; a little room beyond it
        // keeps an odd-sized decode from reallocating on the player thread.
        for (auto* v : {&pcm_, &aside_, &bridge_}) {
            v->reserve(format_.frameSamples + codec::kGrowStep);
            v->assign(format_.frameSamples, 0);
        }
        energySums_.assign(std::size_t(format_.frameSamples) + 1, 0.0);
        history_.assign(std::max<std::size_t>(4, samplesFor(kHistoryUs, format_.sampleRate)), 0);
        cycle_.assign(history_.size(), 0);
        // What is left of one frame and up to two more (see fillLong()).
        if (longFrames_) stream_.assign(3 * std::size_t(format_.frameSamples), 0);
    } catch (const std::bad_alloc&) {
        throw MemoryException();
    }
}

std::size_t Playout::waiting() const {
    return static_cast<std::size_t>(tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire));
}

// Link thread.
void Playout::push(const std::uint8_t* bytes, std::size_t length, std::int64_t nowUs) {
    measureArrival(nowUs);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head >= capacity_) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const std::size_t slot = static_cast<std::size_t>(tail % capacity_);
    const std::size_t n = bytes ? std::min(length, kMaxFrameBytes) : 0;
    if (n > 0) std::memcpy(&slots_[slot * kMaxFrameBytes], bytes, n);
    lengths_[slot] = static_cast<std::uint32_t>(n);
    tail_.store(tail + 1, std::memory_order_release);
}

// Link thread. The frames of one datagram arrive together: a burst. Each
// burst after the first is due when the frames of the one before have had
// their time; how much later it comes adds to its lateness, how much earlier
// takes from it (never below zero, so the rhythm follows the earliest
// datagrams). The rhythm also slips later by a little each datagram, so it
// follows a sender whose sound card runs up to kDriftPerMille slower than
// ours instead of taking the drift for lateness that only ever grows. A gap
// of whole datagrams more is taken for lost datagrams, not for lateness.
// The jitter is the lateness that half of the last kJitterWindow datagrams
// kept within.
void Playout::measureArrival(std::int64_t nowUs) {
    const std::int64_t burstGapUs = std::max<std::int64_t>(3000, frameUs_ / 4);
    if (burstFrames_ > 0 && nowUs - lastArrivalUs_ <= burstGapUs) {
        ++burstFrames_;
    } else {
        if (burstFrames_ > 0) {
            const std::int64_t periodUs = burstFrames_ * frameUs_;
            std::int64_t early = nowUs - burstStartUs_ - periodUs;
            std::int64_t lostUs = 0;
            if (early > kOutageUs) {
                lateUs_ = 0;
                lateCount_ = 0;
                lostUs = -1;
            } else {
                if (early > periodUs * 3 / 4) {
                    lostUs = (early + periodUs / 4) / periodUs * periodUs;
                    early -= lostUs;
                }
                lateUs_ = std::max<std::int64_t>(0, lateUs_ + early - periodUs * kDriftPerMille / 1000);
            }
            // What the player needs to tell how early this datagram's sound
            // would have been needed (see observe()).
            burstLateUs_.store(lostUs < 0 ? -1 : lateUs_, std::memory_order_relaxed);
            burstLostUs_.store(std::max<std::int64_t>(0, lostUs), std::memory_order_relaxed);
            burstAtUs_.store(nowUs, std::memory_order_relaxed);
            burstTail_.store(tail_.load(std::memory_order_relaxed), std::memory_order_relaxed);
            lateWindow_[lateCount_ % kJitterWindow] = lateUs_;
            ++lateCount_;
            // Not the latest ones: a datagram that comes later than the
            // target costs a made-up frame (and one left out once it comes),
            // which is cheaper than making every datagram wait as long.
            // Under jitter spread evenly up to 60 ms the median costs about
            // one datagram in four a made-up frame; never a gap.
            const std::size_t n = std::min(lateCount_, kJitterWindow);
            std::array<std::int64_t, kJitterWindow> sorted = lateWindow_;
            const std::size_t rank = n / 2;
            std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(rank),
                             sorted.begin() + static_cast<std::ptrdiff_t>(n), std::greater<>());
            jitterUs_.store(sorted[rank], std::memory_order_relaxed);
        }
        burstStartUs_ = nowUs;
        burstFrames_ = 1;
    }
    lastArrivalUs_ = nowUs;
    lastArrival_.store(nowUs, std::memory_order_relaxed);
}

// The least sound held at a datagram's arrival that keeps the device from
// running dry until then: the block it plays and the one it asks for next
// (it asks once per block, so half a block more). A device that asks only
// once it holds nothing has no block playing to count (see observe()).
std::int64_t Playout::reserveUs() const {
    return deviceKeepsUs_.load(std::memory_order_relaxed) + 3 * blockUs_ / 2;
}

// What a backlog is cut down to: the device's two blocks, the target and a
// datagram's frames; and how far above that a backlog must be to be cut at
// once (another datagram and a margin).
std::int64_t Playout::backlogKeepUs() const {
    return 2 * blockUs_ + targetUs() + kFramesPerDatagram * frameUs_;
}

std::int64_t Playout::backlogMarginUs() const {
    return kFramesPerDatagram * frameUs_ + kCutMarginUs;
}

std::int64_t Playout::targetUs() const {
    return std::min(jitterUs_.load(std::memory_order_relaxed), kMaxTargetUs);
}

// Player thread.
Playout::Fill Playout::fill(std::uint8_t* out, std::size_t bytes, std::uint32_t queuedSamples, std::int64_t nowUs,
                            std::size_t* filledBytes) {
    if (filledBytes) *filledBytes = bytes;
    partial_ = filledBytes && blockCuts_;
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    const std::uint64_t avail = tail - head_.load(std::memory_order_relaxed);
    const std::int64_t lastArrival = lastArrival_.load(std::memory_order_relaxed);
    const std::int64_t idleUs = std::max<std::int64_t>(400000, 2 * kFramesPerDatagram * frameUs_);
    const bool active = lastArrival != 0 && nowUs - lastArrival < idleUs;
    const std::uint64_t held = avail * format_.frameSamples + streamLen_ + queuedSamples;
    if (active) {
        askedHeldMax_ = std::max(askedHeldMax_, queuedSamples);
        asked_ = true;
    }

    if (avail == 0) {
        if (!active) {
            // The peer has gone quiet: start afresh with its next frame.
            playing_ = false;
            concealRun_ = 0;
            windowStartUs_ = 0;
            pendingDrops_ = 0;
            pendingBlocks_ = 0;
            lastExcessUs_ = 0;
            pendingOwedUs_ = 0;
            streamLen_ = 0;
            shortenDue_ = 0;
            shortenWanted_ = 0;
            return Fill::Nothing;
        }
        observe(held, tail, nowUs);
        // Make a frame up only when the device is down to the block it plays.
        if (!playing_ || queuedSamples > format_.blockSamples) return Fill::Nothing;
        conceal(pcm_);
        madeSamples_ += format_.frameSamples;
        concealed_.fetch_add(1, std::memory_order_relaxed);
        if (longFrames_) {
            // Only what the device's frame lacks beyond what is left over.
            madeSamples_ -= streamLen_;
            append(pcm_, format_.frameSamples - streamLen_);
            deliverStream(out, bytes);
        } else {
            deliver(pcm_, out, bytes);
        }
        return Fill::Concealed;
    }
    observe(held, tail, nowUs);
    if (longFrames_) return fillLong(out, bytes, avail, held);

    const std::int64_t heldUs = samplesToUs(held, format_.sampleRate);
    const std::int64_t keepUs = backlogKeepUs();
    // Frames made up for a datagram that came late, once the next one shows
    // it was late alone: as many frames are left out as the made-up sound
    // put the call beyond its target (see observe()), so one late datagram
    // adds nothing to the delay. (After a lost datagram the next one comes on
    // time and owes nothing.)
    std::uint64_t owed = 0;
    if (playing_ && owedUs_ > 0) owed = static_cast<std::uint64_t>((owedUs_ + frameUs_ / 2) / frameUs_);
    owedUs_ = 0;
    std::uint64_t cut = 0;
    if (playing_ && heldUs > keepUs + backlogMarginUs()) {
        // A backlog: leave out the oldest frames down to what is kept, to
        // the nearest frame (rounding down would leave up to a frame of
        // excess, which the slow path below does not take back).
        cut = std::max<std::uint64_t>(1, static_cast<std::uint64_t>((heldUs - keepUs + frameUs_ / 2) / frameUs_));
        pendingDrops_ = 0;
        pendingBlocks_ = 0;
    }
    cut = std::min<std::uint64_t>(std::max(cut, owed), avail - 1);
    if (cut > 0) {
        leaveOut(cut);
    } else if (playing_ && pendingDrops_ > 0 && avail >= 2) {
        decodeNext(pcm_);
        // A large excess does not wait as long for a quiet frame.
        const std::int64_t waitUs = pendingDrops_ >= 2 ? kSecondUs / 4 : kSecondUs;
        const std::int64_t patience = std::max<std::int64_t>(1, waitUs / frameUs_);
        if (quiet(pcm_) || ++dropWait_ >= patience) {
            std::swap(pcm_, aside_);
            decodeNext(pcm_);
            crossFade(aside_, pcm_);
            dropped_.fetch_add(1, std::memory_order_relaxed);
            --pendingDrops_;
            dropWait_ = 0;
        }
    } else {
        decodeNext(pcm_);
        // Back from a bridge at full strength: the sound joins the period
        // that was repeating instead of jumping.
        if (concealRun_ > 0 && concealRun_ <= concealFull_ && bridging_) {
            makeBridge(aside_);
            crossFade(aside_, pcm_);
        }
    }
    played_.fetch_add(1, std::memory_order_relaxed);
    concealRun_ = 0;
    playing_ = true;
    double sum = 0;
    for (std::int16_t s : pcm_) sum += static_cast<double>(s) * s;
    energy_ = 0.9 * energy_ + 0.1 * sum / static_cast<double>(pcm_.size());
    if (partial_ && pendingBlocks_ > 0 && pendingDrops_ == 0 && cut == 0) {
        // Less than a frame to go: this frame, once a quiet one comes (or
        // the wait is over), is played shorter by whole blocks, cut where it
        // is quietest. Its ends are untouched, so it joins its neighbours.
        const std::int64_t patience = std::max<std::int64_t>(1, kSecondUs / frameUs_);
        if (quiet(pcm_) || ++dropWait_ >= patience) {
            const std::size_t length = static_cast<std::size_t>(pendingBlocks_) * format_.blockSamples;
            const std::size_t kept = shorten(pcm_, length);
            countCut(length);
            pendingBlocks_ = 0;
            dropWait_ = 0;
            // What was measured before the cut no longer holds: the next cut
            // waits for two windows after this one.
            windowStartUs_ = 0;
            lastExcessUs_ = 0;
            const std::size_t width = format_.bitsPerSample == 16 ? 2 : 1;
            *filledBytes = std::min(bytes, kept * width);
            deliver(pcm_, out, *filledBytes);
            return Fill::Sound;
        }
    }
    deliver(pcm_, out, bytes);
    return Fill::Sound;
}

// Player thread. Once per window of a second (at least three datagrams)
// decides how many frames to leave out during the next: whole frames by which
// the sound held stayed above what the target asks for, in this window and the
// one before. What is held is judged at each datagram's arrival: the sound
// still ahead of it then, less what was made up while it was awaited, plus how
// late it came against the rhythm (lost datagrams before it included) is what
// would have been held had it come on time. The least of these over the window,
// beyond the two blocks the device needs, is what could be given up and still
// have every datagram as punctual as these in time; it is held to the target.
// (The least sound held over the window, the measure when no datagram came,
// counts the latest datagram's lateness against the target a second time.)
void Playout::observe(std::uint64_t heldSamples, std::uint64_t tail, std::int64_t nowUs) {
    // Starts a new measuring window, from what is held now.
    const auto openWindow = [&] {
        windowStartUs_ = nowUs;
        lowWater_ = heldSamples;
        heldSum_ = 0;
        heldCount_ = 0;
        onTimeMinUs_ = 0;
        onTimeCount_ = 0;
        askedHeldMax_ = 0;
        asked_ = false;
    };
    if (windowStartUs_ == 0) openWindow();
    const std::uint64_t burstTail = burstTail_.load(std::memory_order_relaxed);
    if (burstTail != seenBurstTail_ && burstTail < tail) {
        seenBurstTail_ = burstTail;
        const std::int64_t lateUs = burstLateUs_.load(std::memory_order_relaxed);
        const std::int64_t lostUs = burstLostUs_.load(std::memory_order_relaxed);
        owedUs_ = 0;
        // The datagram before was late and owes made-up sound: as much of it
        // is given back as this one came earlier against the rhythm. If this
        // one is as late, the way through the network has grown longer, and
        // the sound made up stays as what the new delay needs (giving it back
        // would leave every datagram from now on short by as much).
        if (pendingOwedUs_ > 0 && lateUs >= 0) {
            owedUs_ = std::clamp<std::int64_t>(pendingLateUs_ - lateUs, 0, pendingOwedUs_);
        }
        pendingOwedUs_ = 0;
        if (lateUs >= 0 && playing_) {
            const std::int64_t sinceUs = std::max<std::int64_t>(0, nowUs - burstAtUs_.load(std::memory_order_relaxed));
            const std::int64_t ahead = static_cast<std::int64_t>(heldSamples) -
                                       static_cast<std::int64_t>((tail - burstTail) * format_.frameSamples) -
                                       static_cast<std::int64_t>(madeSamples_) -
                                       static_cast<std::int64_t>(streamLen_) +
                                       sinceUs * format_.sampleRate / kSecondUs;
            const std::int64_t onTimeUs = ahead * kSecondUs / format_.sampleRate + lateUs + lostUs;
            // Sound made up while this datagram was awaited, beyond what
            // stood in for lost ones, put it that much further back; what of
            // that goes beyond the target is owed.
            const std::int64_t grownUs = samplesToUs(madeSamples_, format_.sampleRate) - lostUs;
            const std::int64_t guardUs = reserveUs();
            // Only a datagram later than the target owes anything: one that
            // kept the rhythm found the reserve short (its sender's clock
            // runs slow), and giving the made-up sound back would leave the
            // next one short again, and so on for every datagram.
            if (lateUs > targetUs()) {
                pendingOwedUs_ = std::clamp<std::int64_t>(onTimeUs + grownUs - guardUs - targetUs(), 0,
                                                          std::max<std::int64_t>(0, grownUs));
                pendingLateUs_ = lateUs;
            }
            onTimeMinUs_ = onTimeCount_ == 0 ? onTimeUs : std::min(onTimeMinUs_, onTimeUs);
            ++onTimeCount_;
        }
        madeSamples_ = 0;
    }
    lowWater_ = std::min(lowWater_, heldSamples);
    heldSum_ += static_cast<double>(heldSamples);
    ++heldCount_;
    const std::int64_t windowUs = std::max<std::int64_t>(kSecondUs, 3 * kFramesPerDatagram * frameUs_);
    if (nowUs - windowStartUs_ < windowUs) return;
    const double meanHeld = heldSum_ / static_cast<double>(heldCount_);
    delayMs_.store(static_cast<std::uint32_t>(meanHeld * 1000.0 / format_.sampleRate), std::memory_order_relaxed);
    // A device that holds a block or more whenever it asks (a server's buffer,
    // lent blocks) keeps the block it plays; one that asked with nothing held
    // throughout the window takes each block the moment it plays it.
    if (asked_) {
        deviceKeepsUs_.store(samplesToUs(std::min(askedHeldMax_, format_.blockSamples), format_.sampleRate),
                             std::memory_order_relaxed);
    }
    const std::int64_t guardUs = reserveUs();
    const std::int64_t slackUs = onTimeCount_ > 0 ? onTimeMinUs_ - guardUs
                                                  : samplesToUs(lowWater_, format_.sampleRate) - guardUs;
    // A small excess must hold for two windows running: a frame made up at
    // the edge of a datagram's arrival is not taken back at once, or the two
    // would alternate.
    const std::int64_t excessUs = slackUs - targetUs();
    const std::int64_t lasting = excessUs >= 3 * frameUs_ ? excessUs : std::min(excessUs, lastExcessUs_);
    lastExcessUs_ = excessUs;
    if (longFrames_) {
        // Long frames: whole frames' worth, cut in parts. The device takes
        // whole frames, so what is left of a shortened frame waits for the
        // next one: cutting less than a frame would not spare the reserve.
        shortenWanted_ = lasting >= frameUs_ ? static_cast<std::uint64_t>(lasting / frameUs_) * format_.frameSamples : 0;
        pendingDrops_ = 0;
    } else if (partial_) {
        // Cut in blocks, as many as take what is held to the target or up to
        // a block below it, where it then stays (the device's own reserve is
        // half a block more than a block ahead of running dry). Whole
        // frames' worth are left out whole.
        const std::int64_t blocks = lasting > 0 ? (lasting + blockUs_ - 1) / blockUs_ : 0;
        const std::int64_t perFrame = format_.frameSamples / format_.blockSamples;
        pendingDrops_ = blocks / perFrame;
        pendingBlocks_ = blocks % perFrame;
    } else {
        // Half a frame is enough to leave one out: what is held then stays
        // within half a frame of the target either way, instead of anywhere
        // up to a frame above it for good (which, set by how a call happened
        // to start, made one direction a frame slower than the other).
        pendingDrops_ = lasting >= frameUs_ / 2 ? (lasting + frameUs_ / 2) / frameUs_ : 0;
    }
    openWindow();
}

// Player thread: fill() for long frames. A long frame is never left out
// whole to shrink the delay: a part of it, as much as is to go (in steps, at
// most half the frame), is cut where the frame is quietest. The sound played
// is then a stream: what is left of the frames taken so far, followed by the
// next one, so each frame given to the device may begin inside one received
// frame and end inside the next. Only a backlog far above the target (see
// fill()) loses whole frames first.
Playout::Fill Playout::fillLong(std::uint8_t* out, std::size_t bytes, std::uint64_t avail, std::uint64_t held) {
    const std::uint32_t frame = format_.frameSamples;
    const std::int64_t heldUs = samplesToUs(held, format_.sampleRate);
    const std::int64_t keepUs = backlogKeepUs();
    // Made-up sound owed, and any cut, go in whole frames' worth (see observe()).
    if (playing_ && owedUs_ > 0) shortenDue_ += static_cast<std::uint64_t>(owedUs_ / frameUs_) * frame;
    owedUs_ = 0;
    std::uint64_t cut = 0;
    if (playing_ && heldUs > keepUs + backlogMarginUs()) {
        cut = static_cast<std::uint64_t>((heldUs - keepUs) / frameUs_);
        shortenDue_ = 0;
        shortenWanted_ = 0;
    }
    cut = std::min<std::uint64_t>(cut, avail - 1);
    if (cut > 0) {
        leaveOut(cut);
        avail -= cut;
    } else {
        decodeNext(pcm_);
    }
    double sum = 0;
    for (std::int16_t v : pcm_) sum += static_cast<double>(v) * v;
    energy_ = 0.9 * energy_ + 0.1 * sum / static_cast<double>(frame);
    // How much of this frame to cut: at most half of it, and no more than
    // what is left over from before unless another frame waits to follow.
    std::uint64_t length = std::min<std::uint64_t>(shortenDue_ + shortenWanted_, frame / 2 / stepSamples_ * stepSamples_);
    if (avail < 2) length = std::min<std::uint64_t>(length, streamLen_ / stepSamples_ * stepSamples_);
    const std::size_t kept = length > 0 ? shorten(pcm_, static_cast<std::size_t>(length)) : frame;
    const std::uint64_t fromDue = std::min<std::uint64_t>(shortenDue_, length);
    shortenDue_ -= fromDue;
    shortenWanted_ -= std::min<std::uint64_t>(shortenWanted_, length - fromDue);
    countCut(length);
    append(pcm_, kept);
    if (streamLen_ < frame) {
        decodeNext(pcm_);
        append(pcm_, frame);
    }
    played_.fetch_add(1, std::memory_order_relaxed);
    concealRun_ = 0;
    playing_ = true;
    deliverStream(out, bytes);
    return Fill::Sound;
}

// Player thread: a frame's worth of sound cut out of frames counts as one
// left out.
void Playout::countCut(std::uint64_t samples) {
    if (samples == 0) return;
    shortened_.fetch_add(1, std::memory_order_relaxed);
    partCut_ += samples;
    if (partCut_ >= format_.frameSamples) {
        partCut_ -= format_.frameSamples;
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
}

// Player thread: cuts `length` samples out of `frame` where the frame is
// quietest, the sound before the cut fading into the sound after it; returns
// the samples kept (at the front of `frame`).
std::size_t Playout::shorten(std::vector<std::int16_t>& frame, std::size_t length) {
    const std::size_t n = format_.frameSamples;
    const std::size_t fade = std::min<std::size_t>(fadeSamples_, n - length);
    energySums_[0] = 0;
    for (std::size_t i = 0; i < n; ++i) energySums_[i + 1] = energySums_[i] + static_cast<double>(frame[i]) * frame[i];
    // The span lost or blended: [at, at + length + fade).
    std::size_t best = 0;
    double bestEnergy = -1;
    for (std::size_t at = 0; at + length + fade <= n; ++at) {
        const double e = energySums_[at + length + fade] - energySums_[at];
        if (bestEnergy < 0 || e < bestEnergy) {
            bestEnergy = e;
            best = at;
        }
    }
    for (std::size_t i = 0; i < fade; ++i) {
        const double w = static_cast<double>(i + 1) / static_cast<double>(fade + 1);
        frame[best + i] = static_cast<std::int16_t>(frame[best + i] * (1.0 - w) + frame[best + length + i] * w);
    }
    std::copy(frame.begin() + static_cast<std::ptrdiff_t>(best + length + fade), frame.begin() + static_cast<std::ptrdiff_t>(n),
              frame.begin() + static_cast<std::ptrdiff_t>(best + fade));
    return n - length;
}

// Player thread: adds the first `samples` of `frame` to the stream.
void Playout::append(const std::vector<std::int16_t>& frame, std::size_t samples) {
    samples = std::min({samples, frame.size(), stream_.size() - streamLen_});
    std::copy(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(samples),
              stream_.begin() + static_cast<std::ptrdiff_t>(streamLen_));
    streamLen_ += samples;
}

// Player thread: gives the device the stream's next frame and keeps the rest.
void Playout::deliverStream(std::uint8_t* out, std::size_t bytes) {
    const std::size_t frame = format_.frameSamples;
    if (streamLen_ < frame) {
        // Never short of a frame (see fillLong()); silence, should it be.
        std::fill(stream_.begin() + static_cast<std::ptrdiff_t>(streamLen_),
                  stream_.begin() + static_cast<std::ptrdiff_t>(frame), std::int16_t(0));
        streamLen_ = frame;
    }
    deliver(stream_, out, bytes);
    std::copy(stream_.begin() + static_cast<std::ptrdiff_t>(frame),
              stream_.begin() + static_cast<std::ptrdiff_t>(streamLen_), stream_.begin());
    streamLen_ -= frame;
}

// Player thread: leaves the `count` oldest frames out and puts the next one
// into pcm_, faded in from the first left out. Left-out frames are still
// decoded, so the decoder's state runs on without a jump.
void Playout::leaveOut(std::uint64_t count) {
    decodeNext(aside_);
    for (std::uint64_t i = 1; i < count; ++i) decodeNext(pcm_);
    dropped_.fetch_add(count, std::memory_order_relaxed);
    decodeNext(pcm_);
    crossFade(aside_, pcm_);
}

// Player thread: the oldest waiting frame, decoded (one frame, always).
void Playout::decodeNext(std::vector<std::int16_t>& into) {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::size_t slot = static_cast<std::size_t>(head % capacity_);
    const std::uint8_t* bytes = &slots_[slot * kMaxFrameBytes];
    const std::size_t length = lengths_[slot];
    const std::size_t frame = format_.frameSamples;
    if (decoder_) {
        // A failed decode leaves the frame as it was (normally the previous
        // one); out of memory while a decoder's buffer grew does the same.
        try {
            decoder_->decode16(bytes, length, into, false);
        } catch (const Exception&) {
        }
        into.resize(frame);
    } else if (format_.bitsPerSample == 16) {
        // Raw PCM: a short frame keeps the tail of the one before.
        std::memcpy(into.data(), bytes, std::min(length, frame * 2) & ~std::size_t(1));
    } else {
        codec::widen(bytes, std::min(length, frame), into.data());
    }
    head_.store(head + 1, std::memory_order_release);
}

// Player thread. A run of made-up frames: the codec's own guess (Speex, iLBC,
// Opus) while it keeps up, else the bridge: the last pitch period played,
// repeated. Codecs whose guess fades within a lost datagram (Speex does)
// hand over to the bridge as they fade; codecs without one get the bridge
// from the start. The bridge runs from the first made-up frame on, so it
// stays in step with the sound whichever is heard. Full strength for
// kConcealFullUs, then fading, then silence.
void Playout::conceal(std::vector<std::int16_t>& into) {
    const int run = concealRun_++;
    if (run >= concealFrames_) {
        std::fill(into.begin(), into.end(), std::int16_t(0));
        return;
    }
    if (run == 0) {
        startBridge();
        bridging_ = false;
    }
    makeBridge(bridge_);
    std::size_t made = 0;
    if (decoder_ && !bridging_) {
        try {
            made = decoder_->conceal16(into, false);
        } catch (const Exception&) {
            made = 0;
        }
        into.resize(format_.frameSamples);
    } else if (decoder_) {
        // Not heard, but the decoder's state moves on as over a lost frame.
        try {
            decoder_->conceal16(aside_, false);
        } catch (const Exception&) {
        }
        aside_.resize(format_.frameSamples);
    }
    if (made > 0 && !bridging_ && power(into) < kOwnGivesWay * power(bridge_)) {
        // The codec's guess fades: blend from it into the bridge.
        crossFade(into, bridge_);
        bridging_ = true;
    } else if (made == 0) {
        bridging_ = true;
    }
    if (bridging_) std::copy(bridge_.begin(), bridge_.end(), into.begin());
    if (run >= concealFull_) {
        const double step = 1.0 / (concealFrames_ - concealFull_);
        ramp(into, 1.0 - (run - concealFull_) * step, 1.0 - (run - concealFull_ + 1) * step);
    }
}

// Player thread: chooses the period the bridge repeats from what was played
// last. The period is the lag that best matches the last 10 ms with the
// sound before it, searched on a coarse grid of about 8 kHz, then refined.
void Playout::startBridge() {
    const std::vector<std::int16_t>& h = history_;
    const std::size_t n = h.size();
    const std::size_t window = std::max<std::size_t>(1, samplesFor(kPitchWindowUs, format_.sampleRate));
    const std::size_t minLag = std::max<std::size_t>(2, samplesFor(kMinPeriodUs, format_.sampleRate));
    const std::size_t maxLag = std::min(samplesFor(kMaxPeriodUs, format_.sampleRate), n - window);
    const std::size_t stride = std::max<std::uint32_t>(1, format_.sampleRate / 8000);
    const auto score = [&](std::size_t lag, std::size_t step) {
        double c = 0, e1 = 0, e2 = 0;
        for (std::size_t i = n - window; i < n; i += step) {
            const double a = h[i], b = h[i - lag];
            c += a * b;
            e1 += a * a;
            e2 += b * b;
        }
        return e1 > 0 && e2 > 0 ? c / std::sqrt(e1 * e2) : 0.0;
    };
    std::size_t best = maxLag;
    double bestScore = -1;
    for (std::size_t lag = minLag; lag <= maxLag; lag += stride) {
        const double v = score(lag, stride);
        if (v > bestScore) {
            bestScore = v;
            best = lag;
        }
    }
    if (stride > 1) {
        const std::size_t from = std::max(minLag, best > stride ? best - stride : minLag);
        const std::size_t to = std::min(maxLag, best + stride);
        bestScore = -1;
        for (std::size_t lag = from; lag <= to; ++lag) {
            const double v = score(lag, 1);
            if (v > bestScore) {
                bestScore = v;
                best = lag;
            }
        }
    }
    if (bestScore < kVoicedCorrelation) best = maxLag;
    // The period ends blended into what came before its start, so each
    // repetition runs on into the next without a step.
    const std::size_t period = std::max<std::size_t>(1, best);
    const std::size_t overlap = period / 4;
    const std::size_t start = n - period;
    for (std::size_t j = 0; j < period; ++j) cycle_[j] = h[start + j];
    for (std::size_t i = 0; i < overlap; ++i) {
        const double w = static_cast<double>(i + 1) / static_cast<double>(overlap + 1);
        const std::size_t j = period - overlap + i;
        cycle_[j] = static_cast<std::int16_t>(h[start + j] * (1.0 - w) + h[start - overlap + i] * w);
    }
    cycleLen_ = period;
    cyclePos_ = 0;
}

// Player thread: the bridge's next frame.
void Playout::makeBridge(std::vector<std::int16_t>& into) {
    into.resize(format_.frameSamples);
    for (std::int16_t& v : into) {
        v = cycle_[cyclePos_];
        if (++cyclePos_ >= cycleLen_) cyclePos_ = 0;
    }
}

// Player thread: keeps the last kHistoryUs of the sound given to the device.
void Playout::remember(const std::int16_t* samples, std::size_t count) {
    const std::size_t n = history_.size();
    if (count >= n) {
        std::copy(samples + (count - n), samples + count, history_.begin());
        return;
    }
    std::copy(history_.begin() + static_cast<std::ptrdiff_t>(count), history_.end(), history_.begin());
    std::copy(samples, samples + count, history_.end() - static_cast<std::ptrdiff_t>(count));
}

// Player thread: the start of `into` blends from `from`, which continues the
// sound played before, so leaving frames out makes no click.
void Playout::crossFade(const std::vector<std::int16_t>& from, std::vector<std::int16_t>& into) const {
    const std::size_t n = std::min<std::size_t>(
        into.size(), static_cast<std::size_t>(kFadeUs * format_.sampleRate / kSecondUs) + 1);
    for (std::size_t i = 0; i < n; ++i) {
        const double w = static_cast<double>(i + 1) / static_cast<double>(n + 1);
        into[i] = static_cast<std::int16_t>(from[i] * (1.0 - w) + into[i] * w);
    }
}

// Player thread: a frame well below the recent loudness, or near silence.
bool Playout::quiet(const std::vector<std::int16_t>& frame) {
    double sum = 0;
    for (std::int16_t s : frame) sum += static_cast<double>(s) * s;
    const double meanSquare = sum / static_cast<double>(frame.size());
    return meanSquare < 100.0 * 100.0 || meanSquare < energy_ / 16.0;
}

// Player thread.
void Playout::deliver(const std::vector<std::int16_t>& frame, std::uint8_t* out, std::size_t bytes) {
    const std::size_t samples = std::min(frame.size(), bytes / (format_.bitsPerSample == 16 ? 2 : 1));
    if (format_.bitsPerSample == 16) {
        std::memcpy(out, frame.data(), samples * 2);
        level_.store(level16(out, samples * 2), std::memory_order_relaxed);
    } else {
        codec::narrow(frame.data(), samples, out);
        level_.store(level8(out, samples), std::memory_order_relaxed);
    }
    remember(frame.data(), samples);
}

PlayoutStats Playout::stats() const {
    PlayoutStats s;
    s.played = played_.load(std::memory_order_relaxed);
    s.concealed = concealed_.load(std::memory_order_relaxed);
    s.dropped = dropped_.load(std::memory_order_relaxed);
    s.shortened = shortened_.load(std::memory_order_relaxed);
    s.delayMs = delayMs_.load(std::memory_order_relaxed);
    // The same measure as the delay: the device's reserve (less the half
    // block it asks ahead), the target, and on average half a datagram's frames.
    const std::int64_t target = reserveUs() - blockUs_ / 2 + targetUs() + kFramesPerDatagram * frameUs_ / 2;
    s.targetMs = static_cast<std::uint32_t>(target / 1000);
    return s;
}

void Playout::resetStats() {
    played_.store(0, std::memory_order_relaxed);
    concealed_.store(0, std::memory_order_relaxed);
    dropped_.store(0, std::memory_order_relaxed);
    shortened_.store(0, std::memory_order_relaxed);
}

}  // namespace ambrel
