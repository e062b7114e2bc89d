#include "audio/VoiceProcessor.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include "audio/codecs/FrameBuffer.h"
#include "base/Exception.h"

namespace ambrel {

namespace {

// The rates the library processes, and the one a stage at `rate` uses.
std::uint32_t nearestProcessingRate(std::uint32_t rate) {
    static constexpr std::uint32_t kRates[] = {8000, 16000, 32000, 48000};
    std::uint32_t best = kRates[0];
    for (std::uint32_t r : kRates)
        if ((r > rate ? r - rate : rate - r) < (best > rate ? best - rate : rate - best)) best = r;
    return best;
}

// How long the canceller looks back for a delay it is told: beyond that the
// figure is surely wrong, and the delay-agnostic search takes over anyway.
constexpr std::uint32_t kMaxStreamDelayMs = 500;
// Statistics are read from the library every so many blocks (a second).
constexpr std::uint32_t kStatsBlocks = 100;
// The canceller's delay estimate it works best with, the one beyond which
// the delay it is told is raised, an echo reduction below which it is
// cancelling poorly (dB), and the step down when it has lost the echo (ms).
constexpr int kGoodDelayEstimate = 70;
constexpr int kHighDelayEstimate = 110;
constexpr int kPoorErle = 6;
// The share of its recent estimates the canceller itself finds poor, beyond
// which its median says nothing: with no echo to find (a headset, a muted
// speaker) it wanders to the end of its range.
constexpr float kMostPoorEstimates = 0.5f;
constexpr std::uint32_t kDelayStepMs = 60;
// A reference block louder than this (mean square, about -50 dBFS) is the
// far end talking.
constexpr double kTalkingEnergy = 100.0 * 100.0;
// Reference waiting beyond this is a backlog (the capture stalled): dropped.
constexpr std::uint32_t kMaxReferenceBacklogMs = 400;
// The reference that may wait all along to ride out the players' unevenness,
// in blocks, and the window (in blocks) over which that is judged.
constexpr std::size_t kSpareBacklogBlocks = 4;
constexpr std::uint32_t kBacklogWindowBlocks = 100;
// Without any reference for this long the canceller idles.
constexpr std::uint32_t kIdleReferenceMs = 2000;

}  // namespace

// ---------------------------------------------------------------------------

ReferenceRing::ReferenceRing(std::size_t chunks) : ring_(chunks) {}

// Producer.
void ReferenceRing::push(const std::int16_t* samples, std::size_t n, std::uint32_t aheadMicros) {
    Chunk chunk;
    while (n > 0) {
        const std::size_t k = std::min(n, kChunkSamples);
        chunk.count = static_cast<std::uint32_t>(k);
        chunk.aheadMicros = aheadMicros;
        std::memcpy(chunk.samples, samples, k * sizeof(std::int16_t));
        if (!ring_.push(chunk)) return;  // nobody consumes (no call): the rest is dropped
        available_.fetch_add(k, std::memory_order_release);
        samples += k;
        n -= k;
    }
}

// Producer.
void ReferenceRing::push8(const std::uint8_t* samples, std::size_t n, std::uint32_t aheadMicros) {
    std::int16_t wide[kChunkSamples];
    while (n > 0) {
        const std::size_t k = std::min(n, kChunkSamples);
        codec::widen(samples, k, wide);
        push(wide, k, aheadMicros);
        samples += k;
        n -= k;
    }
}

// Consumer.
std::size_t ReferenceRing::take(std::int16_t* to, std::size_t n, bool mix, std::uint32_t& aheadMicros) {
    std::size_t done = 0;
    while (done < n) {
        const Chunk* c = ring_.front();
        if (!c) break;
        const std::size_t k = std::min<std::size_t>(n - done, c->count - readOffset_);
        const std::int16_t* from = c->samples + readOffset_;
        if (mix) {
            for (std::size_t i = 0; i < k; ++i)
                to[done + i] = static_cast<std::int16_t>(std::clamp(int(to[done + i]) + int(from[i]), -32768, 32767));
        } else {
            std::memcpy(to + done, from, k * sizeof(std::int16_t));
        }
        aheadMicros = c->aheadMicros;
        readOffset_ += k;
        done += k;
        if (readOffset_ >= c->count) {
            ring_.pop();
            readOffset_ = 0;
        }
    }
    available_.fetch_sub(done, std::memory_order_acq_rel);
    return done;
}

// Consumer.
void ReferenceRing::flush() {
    std::size_t dropped = 0;
    while (const Chunk* c = ring_.front()) {
        dropped += c->count - readOffset_;
        readOffset_ = 0;
        ring_.pop();
    }
    available_.fetch_sub(dropped, std::memory_order_acq_rel);
}

// ---------------------------------------------------------------------------

VoiceProcessor::VoiceProcessor(std::uint32_t sampleRate, std::uint32_t frameSamples)
    : sampleRate_(sampleRate), frameSamples_(frameSamples) {
    processingRate_ = nearestProcessingRate(sampleRate);
    block_ = processingRate_ / 100;
    // Frames that are not whole blocks: the output starts that far behind,
    // so that a whole frame is always ready when it is asked for.
    prefill_ = frameSamples_ % block_ ? block_ - std::gcd(frameSamples_, block_) : 0;
    try {
        webrtc::Config config;
        // The extended filter covers long echo tails and the delay-agnostic
        // mode finds the echo's delay itself and follows it when it changes.
        config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
        config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
        apm_.reset(webrtc::AudioProcessing::Create(config));
        if (!apm_) throw MemoryException();
        near_ = std::make_unique<webrtc::AudioFrame>();
        far_ = std::make_unique<webrtc::AudioFrame>();
        input_.assign(block_, 0);
        output_.assign(std::size_t(frameSamples_) + block_ + prefill_, 0);
        wide_.assign(frameSamples_, 0);
    } catch (const std::bad_alloc&) {
        throw MemoryException();
    }
    for (webrtc::AudioFrame* f : {near_.get(), far_.get()}) {
        f->sample_rate_hz_ = static_cast<int>(processingRate_);
        f->num_channels_ = 1;
        f->samples_per_channel_ = block_;
    }
    outputCount_ = prefill_;
    webrtc::EchoCancellation* aec = apm_->echo_cancellation();
    aec->enable_drift_compensation(false);
    // Moderate: on calls through a sound server the low level left the
    // echo 35-45 dB down, the moderate one 60 dB and more, at some cost to a
    // talker who speaks over the echo (double talk); the high one cut that
    // talker more still.
    aec->set_suppression_level(webrtc::EchoCancellation::kModerateSuppression);
    aec->enable_metrics(true);
    aec->enable_delay_logging(true);
    // Very high: steady room noise while nobody talks came out 14-17 dB
    // down instead of 8-14 (the gain control lifts what is left of it with
    // the talker), with no loss to a talker alone or over an echo.
    apm_->noise_suppression()->set_level(webrtc::NoiseSuppression::kVeryHigh);
    // Adaptive digital: a quiet talker is lifted, a loud one limited.
    webrtc::GainControl* agc = apm_->gain_control();
    agc->set_mode(webrtc::GainControl::kAdaptiveDigital);
    agc->set_target_level_dbfs(3);
    agc->set_compression_gain_db(9);
    agc->enable_limiter(true);
}

VoiceProcessor::~VoiceProcessor() = default;

// Capture thread. Enable() calls are cheap but not free: only on a change.
void VoiceProcessor::apply(unsigned features, bool haveReference) {
    const bool cancel = (features & kVoiceEchoCancel) && haveReference;
    const unsigned wanted = features | (cancel ? 1u << 16 : 0);
    if (wanted == applied_) return;
    apm_->echo_cancellation()->Enable(cancel);
    apm_->noise_suppression()->Enable((features & kVoiceNoiseSuppression) != 0);
    apm_->gain_control()->Enable((features & kVoiceGainControl) != 0);
    apm_->high_pass_filter()->Enable((features & kVoiceHighPass) != 0);
    applied_ = wanted;
    cancelling_ = cancel;
    statsCancelling_.store(cancel, std::memory_order_relaxed);
    if (!cancel) {
        erleValid_.store(false, std::memory_order_relaxed);
        delayMs_.store(-1, std::memory_order_relaxed);
    }
}

// Capture thread.
void VoiceProcessor::restart(std::span<ReferenceRing* const> references) {
    for (ReferenceRing* r : references)
        if (r) r->flush();
}

// Capture thread, once per recorded block: the next block the players
// handed over goes to the canceller, one for one, so the reference keeps the
// pace of the recording however unevenly the players hand it over (the
// canceller takes a burst of reference for a change of the delay). What waits
// in the rings rides out that unevenness; more than that waiting all along is
// delay the canceller need not search, and is trimmed a block at a time.
void VoiceProcessor::feedReference(std::span<ReferenceRing* const> references) {
    const std::size_t maxBacklog = std::size_t(sampleRate_) * kMaxReferenceBacklogMs / 1000;
    std::size_t ready = 0;
    for (ReferenceRing* r : references)
        if (r) ready = std::max(ready, r->available());
    leastBacklog_ = std::min(leastBacklog_, ready);
    if (++backlogBlocks_ >= kBacklogWindowBlocks) {
        // Never less than this much waited over the last window: drop a block.
        const bool trim = leastBacklog_ > kSpareBacklogBlocks * block_ + block_;
        backlogBlocks_ = 0;
        leastBacklog_ = ~std::size_t(0);
        if (trim) skipReference(references, block_);
    }
    for (ReferenceRing* r : references)
        if (r && r->available() > maxBacklog) skipReference(references, r->available() - maxBacklog);
    if (ready < block_) return;  // the players are late, or nobody plays
    bool mix = false;
    for (ReferenceRing* r : references) {
        if (!r || r->available() == 0) continue;
        const std::size_t got = r->take(far_->data_, block_, mix, farAheadMicros_);
        if (!mix && got < block_) std::fill(far_->data_ + got, far_->data_ + block_, std::int16_t(0));
        mix = true;
    }
    double energy = 0;
    for (std::uint32_t i = 0; i < block_; ++i) energy += double(far_->data_[i]) * far_->data_[i];
    if (energy > kTalkingEnergy * block_) ++talkingBlocks_;
    // Reference handed over after this block has been waiting behind it.
    waitedMicros_ = static_cast<std::uint32_t>(std::uint64_t(ready - block_) * 1000000 / std::max(1u, sampleRate_));
    if (cancelling_) apm_->ProcessReverseStream(far_.get());
}

// Capture thread: drops up to n samples of every ring.
void VoiceProcessor::skipReference(std::span<ReferenceRing* const> references, std::size_t n) {
    for (ReferenceRing* r : references) {
        if (!r) continue;
        for (std::size_t left = n; left > 0;) {
            std::uint32_t unused = 0;
            const std::size_t got = r->take(far_->data_, std::min<std::size_t>(left, block_), false, unused);
            if (got == 0) break;
            left -= got;
        }
    }
}

// Capture thread: input_ holds one block.
void VoiceProcessor::processBlock(std::span<ReferenceRing* const> references, std::uint32_t captureLatencyMicros) {
    feedReference(references);
    std::memcpy(near_->data_, input_.data(), block_ * sizeof(std::int16_t));
    if (cancelling_) {
        // The devices' own figures: how far ahead of the speaker the
        // reference was handed over (less the time it waited here), and how
        // late the microphone's sound arrives; and what the canceller's own
        // estimate showed those figures miss (see steerDelay).
        const std::uint64_t ahead = farAheadMicros_ > waitedMicros_ ? farAheadMicros_ - waitedMicros_ : 0;
        const std::uint64_t ms = (ahead + captureLatencyMicros) / 1000 + delayOffsetMs_;
        streamDelayMs_ = static_cast<int>(std::min<std::uint64_t>(ms, kMaxStreamDelayMs));
        if (restartCanceller_) {
            // The canceller takes the delay it is told only as it starts:
            // it starts again (and converges again, within a second or two).
            restartCanceller_ = false;
            apm_->echo_cancellation()->Enable(false);
            apm_->echo_cancellation()->Enable(true);
        }
        apm_->set_stream_delay_ms(static_cast<int>(std::uint64_t(streamDelayMs_) * processingRate_ /
                                                   std::max(1u, sampleRate_)));
    }
    if (apm_->ProcessStream(near_.get()) != webrtc::AudioProcessing::kNoError)
        std::memcpy(near_->data_, input_.data(), block_ * sizeof(std::int16_t));  // passed on as it came
    for (std::uint32_t i = 0; i < block_; ++i) {
        output_[(outputHead_ + outputCount_) % output_.size()] = near_->data_[i];
        ++outputCount_;
    }
    if (++blocksSinceStats_ >= kStatsBlocks) {
        blocksSinceStats_ = 0;
        updateStats();
    }
}

// Capture thread.
void VoiceProcessor::updateStats() {
    if (!cancelling_) {
        talkingBlocks_ = 0;
        return;
    }
    webrtc::EchoCancellation* aec = apm_->echo_cancellation();
    webrtc::EchoCancellation::Metrics m;
    int erle = -100;
    if (aec->GetMetrics(&m) == webrtc::AudioProcessing::kNoError) {
        // -100 is the library's "not measured yet".
        erle = m.echo_return_loss_enhancement.instant;
        erleValid_.store(erle > -100, std::memory_order_relaxed);
        erleDb_.store(erle, std::memory_order_relaxed);
    }
    int median = -1, spread = 0;
    float poor = 0;
    if (aec->GetDelayMetrics(&median, &spread, &poor) != webrtc::AudioProcessing::kNoError) median = -1;
    if (median >= 0 && !(poor >= 0 && poor < kMostPoorEstimates)) median = -1;
    steerDelay(median, erle);
    delayMs_.store(streamDelayMs_, std::memory_order_relaxed);
}

// Capture thread, once a second. The canceller's delay search covers only
// so much around the delay it is told: the devices' figures leave out what
// they cannot know (a converter's or a loopback's delay, a far speaker), so
// its own estimate (in its units, 0..~200) steers what it is told. An
// estimate at the high end says the echo comes later still; none at all
// (or one the canceller finds poor itself) while it cancels poorly says the
// delay told overshoots.
void VoiceProcessor::steerDelay(int median, int erle) {
    // After a change the library needs a window or two to estimate anew;
    // and while the far end is mostly silent its figures say little.
    const bool talked = talkingBlocks_ >= kStatsBlocks / 2;
    talkingBlocks_ = 0;
    if (steerPause_ > 0) {
        --steerPause_;
        return;
    }
    if (!talked) return;
    const std::uint32_t before = delayOffsetMs_;
    if (median > kHighDelayEstimate) {
        delayOffsetMs_ = std::min<std::uint32_t>(delayOffsetMs_ + 2 * std::uint32_t(median - kGoodDelayEstimate),
                                                 kMaxStreamDelayMs);
        lostEstimates_ = 0;
    } else if (median < 0 && erle < kPoorErle && delayOffsetMs_ > 0) {
        if (++lostEstimates_ >= 3) {
            delayOffsetMs_ -= std::min<std::uint32_t>(delayOffsetMs_, kDelayStepMs);
            lostEstimates_ = 0;
        }
    } else {
        lostEstimates_ = 0;
    }
    if (delayOffsetMs_ != before) {
        steerPause_ = 2;
        restartCanceller_ = true;
    }
}

// Capture thread.
void VoiceProcessor::process16(std::int16_t* frame, std::size_t n, std::span<ReferenceRing* const> references,
                               std::uint32_t captureLatencyMicros) {
    if (n != frameSamples_) return;
    // The canceller runs while players hand over sound, and idles once
    // nothing has come for a while (one-to-many sends and plays nothing).
    bool fresh = false;
    for (ReferenceRing* r : references) fresh = fresh || (r && r->available() > 0);
    const std::uint32_t idleBlocks = kIdleReferenceMs / 10;
    quietBlocks_ = fresh ? 0 : std::min(quietBlocks_ + std::uint32_t(n / block_) + 1, idleBlocks + 1);
    apply(features_.load(std::memory_order_relaxed), quietBlocks_ <= idleBlocks);
    active_.store(true, std::memory_order_relaxed);
    for (std::size_t i = 0; i < n; ++i) {
        input_[inputCount_++] = frame[i];
        if (inputCount_ == block_) {
            processBlock(references, captureLatencyMicros);
            inputCount_ = 0;
        }
    }
    // The output holds at least n samples (see prefill_).
    const std::size_t k = std::min(n, outputCount_);
    for (std::size_t i = 0; i < k; ++i) {
        frame[i] = output_[outputHead_];
        outputHead_ = (outputHead_ + 1) % output_.size();
    }
    outputCount_ -= k;
}

// Capture thread.
void VoiceProcessor::process8(std::uint8_t* frame, std::size_t n, std::span<ReferenceRing* const> references,
                              std::uint32_t captureLatencyMicros) {
    if (n != frameSamples_) return;
    codec::widen(frame, n, wide_.data());
    process16(wide_.data(), n, references, captureLatencyMicros);
    codec::narrow(wide_.data(), n, frame);
}

// Any thread.
VoiceStats VoiceProcessor::stats() const {
    VoiceStats s;
    s.active = active_.load(std::memory_order_relaxed);
    s.cancelling = statsCancelling_.load(std::memory_order_relaxed);
    s.erleDb = erleDb_.load(std::memory_order_relaxed);
    s.erleValid = erleValid_.load(std::memory_order_relaxed);
    s.delayMs = delayMs_.load(std::memory_order_relaxed);
    return s;
}

}  // namespace ambrel
