#include "platform/BufferQueue.h"

#include <algorithm>
#include <cstring>

#include "platform/MessageThread.h"

namespace ambrel {

SoundError BufferQueue::check(const SoundBuffer* buffer, std::uint32_t bytesPerSample) {
    if (!buffer || !buffer->data || buffer->capacity == 0)
        return SoundError::make(SoundErrorCode::InvalidParam, "Empty sound buffer");
    // Half a sample would shift every later sample by a byte (and the sound
    // server refuses such writes outright).
    if (bytesPerSample > 1 && buffer->capacity % bytesPerSample != 0)
        return SoundError::make(SoundErrorCode::InvalidParam, "Sound buffer length is not a whole number of samples");
    return {};
}

SoundError BufferQueue::notOpen() { return SoundError::make(SoundErrorCode::InvalidHandle, "Device not open"); }

SoundError BufferQueue::lend(SoundBuffer* buffer) {
    if (buffer->inDevice.load()) return SoundError::make(SoundErrorCode::StillPlaying, "Buffer already queued");
    buffer->bytesRecorded = 0;
    buffer->inDevice.store(true);
    queue_.push_back(buffer);
    return {};
}

void BufferQueue::fill(const std::uint8_t* p, std::size_t n, std::uint8_t silence) {
    while (n > 0 && !queue_.empty()) {
        SoundBuffer* b = queue_.front();
        std::size_t k = std::min<std::size_t>(b->capacity - headPos_, n);
        if (p) {
            std::memcpy(b->data + headPos_, p, k);
            p += k;
        } else {
            std::memset(b->data + headPos_, silence, k);
        }
        n -= k;
        headPos_ += static_cast<std::uint32_t>(k);
        if (headPos_ == b->capacity) {
            queue_.pop_front();
            headPos_ = 0;
            handBack(b, b->capacity);
        }
    }
}

const std::uint8_t* BufferQueue::head(std::size_t& bytes) const {
    if (queue_.empty()) {
        bytes = 0;
        return nullptr;
    }
    bytes = queue_.front()->capacity - headPos_;
    return queue_.front()->data + headPos_;
}

SoundBuffer* BufferQueue::consume(std::size_t k) {
    if (queue_.empty()) return nullptr;
    SoundBuffer* b = queue_.front();
    headPos_ += static_cast<std::uint32_t>(std::min<std::size_t>(k, b->capacity - headPos_));
    if (headPos_ < b->capacity) return nullptr;
    queue_.pop_front();
    headPos_ = 0;
    return b;
}

void BufferQueue::handBack(SoundBuffer* buffer, std::uint32_t bytesRecorded) {
    buffer->bytesRecorded = bytesRecorded;
    // Cleared before the post: once the owner sees the message, the buffer is its own.
    buffer->inDevice.store(false);
    thread_.post(message_, device_, reinterpret_cast<std::uintptr_t>(buffer));
}

void BufferQueue::returnAll() {
    for (SoundBuffer* b : queue_) handBack(b, 0);
    queue_.clear();
    headPos_ = 0;
}

}  // namespace ambrel
