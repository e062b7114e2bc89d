#include "audio/VoiceProcessor.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

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
// Statistics are read from the library every so many blocks (half a second).
constexpr std::uint32_t kStatsBlocks = 50;
// Reference waiting beyond this is a backlog (the capture stalled): dropped.
constexpr std::uint32_t kMaxReferenceBacklogMs = 400;
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
        for (std::size_t i = 0; i < k; ++i) wide[i] = static_cast<std::int16_t>((int(samples[i]) - 128) * 256);
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
    // Low: the least cutting of a talker who speaks over the echo (double
    // talk); the extended filter removes the echo well enough without more.
    aec->set_suppression_level(webrtc::EchoCancellation::kLowSuppression);
    aec->enable_metrics(true);
    aec->enable_delay_logging(true);
    apm_->noise_suppression()->set_level(webrtc::NoiseSuppression::kHigh);
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

// Capture thread. Every whole block the players have handed over goes to the
// canceller now, as it would from a playing thread of its own; a backlog
// left by a stalled capture is dropped, so the delay stays in reach.
void VoiceProcessor::feedReference(std::span<ReferenceRing* const> references) {
    const std::size_t maxBacklog = std::size_t(sampleRate_) * kMaxReferenceBacklogMs / 1000;
    for (;;) {
        std::size_t ready = 0;
        for (ReferenceRing* r : references)
            if (r) ready = std::max(ready, r->available());
        if (ready < block_) return;
        bool mix = false;
        std::fill(far_->data_, far_->data_ + block_, std::int16_t(0));
        for (ReferenceRing* r : references) {
            if (!r) continue;
            while (r->available() > maxBacklog + block_) {
                std::uint32_t unused = 0;
                r->take(far_->data_, block_, false, unused);
            }
            if (r->available() == 0) continue;
            const std::size_t got = r->take(far_->data_, block_, mix, farAheadMicros_);
            if (!mix && got < block_) std::fill(far_->data_ + got, far_->data_ + block_, std::int16_t(0));
            mix = true;
        }
        if (cancelling_) apm_->ProcessReverseStream(far_.get());
    }
}

// Capture thread: input_ holds one block.
void VoiceProcessor::processBlock(std::uint32_t captureLatencyMicros) {
    std::memcpy(near_->data_, input_.data(), block_ * sizeof(std::int16_t));
    if (cancelling_) {
        // The devices' own figures: how far ahead of the speaker the
        // reference was handed over, and how late the microphone's sound
        // arrives. The canceller finds the rest (the room) itself.
        std::uint64_t ms = (std::uint64_t(farAheadMicros_) + captureLatencyMicros) / 1000;
        ms = ms * processingRate_ / std::max(1u, sampleRate_);
        apm_->set_stream_delay_ms(static_cast<int>(std::min<std::uint64_t>(ms, kMaxStreamDelayMs)));
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
    if (!cancelling_) return;
    webrtc::EchoCancellation* aec = apm_->echo_cancellation();
    webrtc::EchoCancellation::Metrics m;
    if (aec->GetMetrics(&m) == webrtc::AudioProcessing::kNoError) {
        // -100 is the library's "not measured yet".
        const int erle = m.echo_return_loss_enhancement.instant;
        erleValid_.store(erle > -100, std::memory_order_relaxed);
        erleDb_.store(erle, std::memory_order_relaxed);
    }
    int median = -1, spread = 0;
    float poor = 0;
    if (aec->GetDelayMetrics(&median, &spread, &poor) == webrtc::AudioProcessing::kNoError && median >= 0) {
        // The library counts in its own rate's milliseconds.
        delayMs_.store(static_cast<int>(std::int64_t(median) * processingRate_ / std::max(1u, sampleRate_)),
                       std::memory_order_relaxed);
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
    feedReference(references);
    for (std::size_t i = 0; i < n; ++i) {
        input_[inputCount_++] = frame[i];
        if (inputCount_ == block_) {
            processBlock(captureLatencyMicros);
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
    for (std::size_t i = 0; i < n; ++i) wide_[i] = static_cast<std::int16_t>((int(frame[i]) - 128) * 256);
    process16(wide_.data(), n, references, captureLatencyMicros);
    for (std::size_t i = 0; i < n; ++i) frame[i] = static_cast<std::uint8_t>((wide_[i] >> 8) + 128);
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
