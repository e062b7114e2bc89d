#include "audio/SoundPlayer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/Exception.h"

namespace ambrel {

SoundPlayer::SoundPlayer(SoundSystem& sound, ErrorReporter* reporter) : SoundBase(sound, reporter) {
    for (auto& b : busy_) b.store(false);
    startThread("ambrel-play");
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
    if (source_) {
        const std::uint32_t frameSamples = samplesPerBlock();
        const std::uint32_t bytesPerSample = bitsPerSample() >= 8 ? bitsPerSample() / 8 : 1;
        if (pullBlockSamples_ == 0 || pullBlockSamples_ > frameSamples || frameSamples % pullBlockSamples_ != 0)
            pullBlockSamples_ = frameSamples;
        pullBlockBytes_ = pullBlockSamples_ * bytesPerSample;
        // About 40 ms lent, at least three blocks: enough to ride out a late
        // wake-up of this thread on a busy machine.
        const std::uint64_t blockUs = std::uint64_t(pullBlockSamples_) * 1000000 / std::max(1u, sampleRate());
        pullMaxLent_ = static_cast<int>(std::clamp<std::uint64_t>(blockUs ? (40000 + blockUs - 1) / blockUs : 3, 3,
                                                                  static_cast<std::uint64_t>(kPullBlocks)));
        try {
            pullFrame_.assign(std::size_t(frameSamples) * bytesPerSample, 0);
            pullData_.assign(std::size_t(kPullBlocks) * pullBlockBytes_, 0);
        } catch (const std::bad_alloc&) {
            throw MemoryException();
        }
        pullOffset_ = pullFrame_.size();
        for (int i = 0; i < kPullBlocks; ++i) {
            SoundBuffer& b = pullBlocks_[static_cast<std::size_t>(i)];
            b.data = pullData_.data() + std::size_t(i) * pullBlockBytes_;
            b.capacity = pullBlockBytes_;
            b.user = static_cast<std::uintptr_t>(kBufferCount + i);
            pullBusy_[static_cast<std::size_t>(i)] = false;
        }
        pullLent_ = 0;
    }
    post(PLAY_START);
}

// Any thread. One waiting request is enough: it asks the source for all
// there is.
void SoundPlayer::feed() {
    if (rendering_.load(std::memory_order_acquire) && !starved_.exchange(false, std::memory_order_acq_rel)) return;
    if (feedPending_.exchange(true, std::memory_order_acq_rel)) return;
    if (!post(PLAY_FEED)) feedPending_.store(false);
}

// Player thread. Lends blocks until the device holds enough or the source
// has nothing; a frame is cut into blocks in order.
void SoundPlayer::pump() {
    if (!source_ || !isOpen_.load() || !device_ || pullBlockBytes_ == 0) return;
    if (rendering_.load(std::memory_order_relaxed)) {
        if (const SoundError error = device_->wake()) lose("PlayWrite", error);
        return;
    }
    while (pullLent_ < pullMaxLent_) {
        if (pullOffset_ >= pullFrame_.size()) {
            const auto queued = static_cast<std::uint32_t>(pullLent_) * pullBlockSamples_;
            if (!takeFrame(queued)) return;
        }
        int index = -1;
        for (int k = 0; k < kPullBlocks && index < 0; ++k) {
            const int i = (pullNext_ + k) % kPullBlocks;
            if (!pullBusy_[static_cast<std::size_t>(i)]) index = i;
        }
        if (index < 0) return;
        pullNext_ = (index + 1) % kPullBlocks;
        SoundBuffer& b = pullBlocks_[static_cast<std::size_t>(index)];
        std::memcpy(b.data, pullFrame_.data() + pullOffset_, pullBlockBytes_);
        pullOffset_ += pullBlockBytes_;
        if (const SoundError error = device_->write(&b)) {
            // A refused block is lost; any other failure means the device is
            // gone: the next frame that arrives reopens it.
            if (error.code != SoundErrorCode::InvalidParam && error.code != SoundErrorCode::StillPlaying)
                lose("PlayWrite", error);
            return;
        }
        pullBusy_[static_cast<std::size_t>(index)] = true;
        ++pullLent_;
    }
}

// The thread that pulls (see Renderer and pump()): the source's next frame
// into pullFrame_. A frame the source shortened (by whole blocks) is moved to
// the end, so it is handed out from pullOffset_ like any other.
bool SoundPlayer::takeFrame(std::uint32_t queuedSamples) {
    const std::size_t size = pullFrame_.size();
    const std::size_t unit = std::max<std::size_t>(1, pullBlockBytes_);
    const std::size_t got = std::min(source_->fill(pullFrame_.data(), size, queuedSamples), size) / unit * unit;
    if (got == 0) return false;
    if (got < size) std::memmove(pullFrame_.data() + (size - got), pullFrame_.data(), got);
    pullOffset_ = size - got;
    return true;
}

// The device's thread (or the player's, inside wake()). Hands out the
// source's frames, a frame cut wherever the device's room ends.
std::size_t SoundPlayer::Renderer::render(std::uint8_t* data, std::size_t bytes, std::uint32_t heldSamples) {
    SoundPlayer& p = player_;
    const std::uint32_t bytesPerSample = p.pullBlockSamples_ ? p.pullBlockBytes_ / p.pullBlockSamples_ : 1;
    std::size_t done = 0;
    while (done < bytes) {
        if (p.pullOffset_ >= p.pullFrame_.size()) {
            const auto held = heldSamples + static_cast<std::uint32_t>(done / bytesPerSample);
            if (!p.takeFrame(held)) {
                // A device that still holds more than a couple of blocks asks
                // again before it runs dry: arrivals need not wake it.
                if (held <= 2 * p.pullBlockSamples_) p.starved_.store(true, std::memory_order_release);
                break;
            }
            if (SoundListener* l = p.listener_.load())
                l->block(p.pullFrame_.data() + p.pullOffset_, p.pullFrame_.size() - p.pullOffset_);
        }
        const std::size_t n = std::min(bytes - done, p.pullFrame_.size() - p.pullOffset_);
        std::memcpy(data + done, p.pullFrame_.data() + p.pullOffset_, n);
        p.pullOffset_ += n;
        done += n;
    }
    return done;
}

// The device's thread: the next frame that arrives wakes the player, whose
// wake() call then finds the device gone.
void SoundPlayer::Renderer::lost() { player_.starved_.store(true, std::memory_order_release); }

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
            current_.store(nullptr, std::memory_order_release);
        device_->close();
            device_.reset();
        }
        quitLoop();
        break;
    case kMsgOutputDone:
        onDone(message);
        break;
    case PLAY_FEED:
        // Exchange, not store: pairs with feed(), so the frame that asked is seen.
        feedPending_.exchange(false, std::memory_order_acq_rel);
        reopenIfDue();  // opening pumps too
        pump();
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
        current_.store(nullptr, std::memory_order_release);
        device_->close();
        device_.reset();
    }
    SoundError error;
    SoundFormat opened = format();
    if (source_) opened.blockSamples = pullBlockSamples_;
    device_ = sound_.openOutput(deviceId_.load(), opened, messageThread(), error);
    if (!device_) {
        if (error.ok()) error = SoundError::make(SoundErrorCode::Failed, "The device cannot be opened");
        reportOnce("PlayStart", error);
        retryAt_ = std::chrono::steady_clock::now() + retryDelay_;
        retryDelay_ = std::min(retryDelay_ * 2, std::chrono::milliseconds(kLastRetryDelay));
        return false;
    }
    failing_ = false;
    retryDelay_ = kFirstRetryDelay;
    current_.store(device_.get(), std::memory_order_release);
    isOpen_.store(true);
    // Whatever volume the stream was left at by the sound server's memory,
    // a call starts at full volume (the mixer sliders handle loudness).
    if (device_->setVolume(0xFFFF, 0xFFFF)) {
        std::uint16_t left = 0, right = 0;
        (void)device_->volume(left, right);
    }
    if (SoundListener* l = listener_.load()) l->opened();
    if (source_) {
        pullOffset_ = pullFrame_.size();
        starved_.store(true, std::memory_order_relaxed);
        rendering_.store(device_->setRenderer(&renderer_), std::memory_order_release);
    }
    pump();
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
    rendering_.store(false, std::memory_order_relaxed);
    current_.store(nullptr, std::memory_order_release);
        device_->close();
    device_.reset();
    if (SoundListener* l = listener_.load()) l->closed();
    // A stream the server dropped is reopened at once (the server may be
    // back already); should that fail, the back-off takes over.
    retryDelay_ = kFirstRetryDelay;
    retryAt_ = std::chrono::steady_clock::now();
}

// Player thread. A device that failed is opened again once its back-off
// has passed, while a call wants it.
void SoundPlayer::reopenIfDue() {
    if (!isOpen_.load() && wanted_ && std::chrono::steady_clock::now() >= retryAt_) open();
}

// Player thread.
void SoundPlayer::onWrite(int index) {
    if (index < 0 || index >= kBufferCount) return;
    auto& busy = busy_[static_cast<std::size_t>(index)];
    reopenIfDue();
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
    } else if (index < static_cast<std::uintptr_t>(kBufferCount + kPullBlocks)) {
        pullBusy_[index - kBufferCount] = false;
        --pullLent_;
    }
    if (SoundListener* l = listener_.load()) l->block(b->data, b->capacity);
    pump();
}

// Player thread.
void SoundPlayer::onStop() {
    wanted_ = false;
    if (!isOpen_.load()) return;
    // Rendering ends first, so the frame being cut is this thread's again.
    if (rendering_.exchange(false, std::memory_order_relaxed)) device_->setRenderer(nullptr);
    pullOffset_ = pullFrame_.size();  // the rest of a frame cut into blocks is not played
    // A failed reset is not reported and leaves the device open.
    if (device_->reset().ok()) {
        isOpen_.store(false);
        // The reset has posted every lent buffer back; those reports run
        // after this message and free the ring, so nothing needs to drain
        // before the close.
        current_.store(nullptr, std::memory_order_release);
        device_->close();
        device_.reset();
    }
    if (SoundListener* l = listener_.load()) l->closed();
}

}  // namespace ambrel
