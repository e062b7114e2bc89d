#include "audio/SoundPlayer.h"

#include <algorithm>
#include <cstring>

namespace ambrel {

SoundPlayer::SoundPlayer(SoundSystem& sound, ErrorReporter* reporter) : SoundBase(sound, reporter) {
    for (auto& b : busy_) b.store(false);
    startThread();
}

SoundPlayer::~SoundPlayer() { quitAndWait(); }

// Caller's thread.
void SoundPlayer::quitAndWait() {
    post(PLAY_QUIT);
    join();
}

// Caller's thread (the engine's addPlayer).
void SoundPlayer::start() {
    rebuildIfDirty();
    nextBuffer_.store(0);
    post(PLAY_START);
}

// Caller's thread (the link's receive loop). The copy happens here so the
// player thread only hands finished buffers to the device.
bool SoundPlayer::queue(const std::uint8_t* bytes, std::size_t length) {
    const int index = nextBuffer_.load(std::memory_order_relaxed);
    auto& busy = busy_[static_cast<std::size_t>(index)];
    // Acquire pairs with the release in onDone/onWrite: the device has let go
    // of the buffer before it is overwritten.
    if (busy.load(std::memory_order_acquire)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    nextBuffer_.store((index + 1) % kBufferCount, std::memory_order_relaxed);
    SoundBuffer& b = buffer(index);
    const std::size_t n = length < b.capacity ? length : b.capacity;
    if (n > 0 && bytes) std::memcpy(b.data, bytes, n);
    busy.store(true, std::memory_order_release);
    if (!post(PLAY_WRITE, static_cast<std::uintptr_t>(index))) {
        busy.store(false, std::memory_order_release);  // the thread has ended
        return false;
    }
    return true;
}

// Player thread.
void SoundPlayer::handle(const Message& message) {
    switch (message.id) {
    case PLAY_START:
        onStart();
        break;
    case PLAY_STOP:
        onStop();
        break;
    case PLAY_WRITE:
        onWrite(static_cast<int>(message.wParam));
        break;
    case PLAY_QUIT:
        if (isOpen_.load()) onStop();
        if (device_) {  // a reset that failed left it open
            device_->close();
            device_.reset();
        }
        quitLoop();
        break;
    case kMsgOutputDone:
        onDone(message);
        break;
    default:
        break;
    }
}

// Player thread.
void SoundPlayer::onStart() {
    wanted_ = true;
    if (isOpen_.load()) return;
    open();
}

// Player thread.
bool SoundPlayer::open() {
    if (device_) {  // left open by a failed reset, or lost: release it first
        device_->close();
        device_.reset();
    }
    SoundError error;
    device_ = sound_.openOutput(deviceId_.load(), format(), messageThread(), error);
    if (!device_) {
        if (error.ok()) error = SoundError::make(SoundErrorCode::Failed, "The device cannot be opened");
        reportOnce("PlayStart", error);
        retryAt_ = std::chrono::steady_clock::now() + retryDelay_;
        retryDelay_ = std::min(retryDelay_ * 2, std::chrono::milliseconds(kLastRetryDelay));
        return false;
    }
    failing_ = false;
    retryDelay_ = kFirstRetryDelay;
    isOpen_.store(true);
    // Whatever volume the stream was left at by the sound server's memory,
    // a call starts at full volume (the mixer sliders handle loudness).
    if (device_->setVolume(0xFFFF, 0xFFFF)) {
        std::uint16_t left = 0, right = 0;
        (void)device_->volume(left, right);
    }
    if (SoundListener* l = listener_.load()) l->opened();
    return true;
}

// Player thread.
void SoundPlayer::reportOnce(const char* step, const SoundError& error) {
    if (failing_) return;
    failing_ = true;
    report(std::string("PLAY : ") + step + " :" + hexCode(error.value()) + ":" + error.text);
}

// Player thread. Closing hands back whatever the device still held.
void SoundPlayer::lose(const char* step, const SoundError& error) {
    reportOnce(step, error);
    isOpen_.store(false);
    device_->close();
    device_.reset();
    if (SoundListener* l = listener_.load()) l->closed();
    // A stream the server dropped is reopened at once (the server may be
    // back already); should that fail, the back-off takes over.
    retryDelay_ = kFirstRetryDelay;
    retryAt_ = std::chrono::steady_clock::now();
}

// Player thread.
void SoundPlayer::onWrite(int index) {
    if (index < 0 || index >= kBufferCount) return;
    auto& busy = busy_[static_cast<std::size_t>(index)];
    if (!isOpen_.load() && wanted_ && std::chrono::steady_clock::now() >= retryAt_) open();
    // Frames that arrive while the device is closed are lost, as is a frame
    // the device refuses; either way the buffer is free again at once.
    for (int attempt = 0; attempt < 2 && isOpen_.load() && device_; ++attempt) {
        const SoundError error = device_->write(&buffer(index));
        if (error.ok()) return;
        // Only a refused buffer leaves the device usable; anything else means
        // it is gone: reopen it and try this frame once more.
        if (error.code == SoundErrorCode::InvalidParam || error.code == SoundErrorCode::StillPlaying) break;
        lose("PlayWrite", error);
        open();
    }
    busy.store(false, std::memory_order_release);
}

// Player thread. One buffer is back from the device (played, or returned by a
// reset or close).
void SoundPlayer::onDone(const Message& message) {
    SoundBuffer* b = message.lParamAs<SoundBuffer>();
    if (!b || b->inDevice.load()) return;
    const std::uintptr_t index = b->user;
    if (index < static_cast<std::uintptr_t>(kBufferCount)) {
        busy_[index].store(false, std::memory_order_release);
    }
    if (SoundListener* l = listener_.load()) l->block(b->data, b->capacity);
}

// Player thread.
void SoundPlayer::onStop() {
    wanted_ = false;
    if (!isOpen_.load()) return;
    // A failed reset is not reported and leaves the device open.
    if (device_->reset().ok()) {
        isOpen_.store(false);
        // The reset has posted every lent buffer back; those reports run
        // after this message and free the ring, so nothing needs to drain
        // before the close.
        device_->close();
        device_.reset();
    }
    if (SoundListener* l = listener_.load()) l->closed();
}

}  // namespace ambrel
