#include "audio/PlayerSlot.h"

#include "audio/AudioEngine.h"
#include "base/Clock.h"

#include <algorithm>

namespace ambrel {

PlayerSlot::PlayerSlot(AudioEngine& owner, int index, SoundSystem& sound, ErrorReporter* reporter)
    : owner_(owner), index_(index), listener_(*this), source_(*this), player_(sound, reporter) {
    player_.setListener(&listener_);
}

PlayerSlot::~PlayerSlot() { player_.quitAndWait(); }

void PlayerSlot::setPlayout(std::unique_ptr<Playout> stage) {
    playout_ = std::move(stage);
    if (playout_) player_.setSource(&source_, playout_->format().blockSamples);
}

// Player thread, or a rendering device's.
std::size_t PlayerSlot::Source::fill(std::uint8_t* data, std::size_t bytes, std::uint32_t queuedSamples) {
    Playout* stage = slot_.playout_.get();
    if (!stage) return 0;
    std::size_t filled = 0;
    if (stage->fill(data, bytes, queuedSamples, monotonicMicroseconds(), &filled) == Playout::Fill::Nothing) return 0;
    slot_.setLevel(stage->level());
    // What the device holds, then its own delay: how far ahead of the
    // speaker this frame is handed over.
    const Playout::Format& format = stage->format();
    const std::uint32_t ahead = static_cast<std::uint32_t>(std::uint64_t(queuedSamples) * 1000000 /
                                                           std::max(1u, format.sampleRate)) +
                                slot_.player_.outputLatencyMicros();
    if (format.bitsPerSample == 16)
        slot_.reference_.push(reinterpret_cast<const std::int16_t*>(data), filled / 2, ahead);
    else if (format.bitsPerSample == 8)
        slot_.reference_.push8(data, filled, ahead);
    return filled;
}

// Player thread, or a rendering device's.
void PlayerSlot::Listener::block(const std::uint8_t*, std::size_t) {
    slot_.owner_.blockPlayed(slot_.index_);
}

}  // namespace ambrel
