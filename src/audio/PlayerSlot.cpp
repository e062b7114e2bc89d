#include "audio/PlayerSlot.h"

#include "audio/AudioEngine.h"

namespace ambrel {

PlayerSlot::PlayerSlot(AudioEngine& owner, int index, SoundSystem& sound, ErrorReporter* reporter)
    : owner_(owner), index_(index), listener_(*this), player_(sound, reporter) {
    player_.setListener(&listener_);
}

PlayerSlot::~PlayerSlot() { player_.quitAndWait(); }

// Player thread.
void PlayerSlot::Listener::block(const std::uint8_t*, std::size_t) {
    slot_.owner_.blockPlayed(slot_.index_);
}

}  // namespace ambrel
