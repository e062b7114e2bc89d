#include "platform/BufferQueue.h"

#include <algorithm>
#include <cstring>
#include <new>

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

// Room for one more buffer at the back of the ring; false when it cannot grow.
bool BufferQueue::append(SoundBuffer* buffer) {
    if (count_ == slots_.size()) {
        try {
            std::vector<SoundBuffer*> bigger(slots_.size() * 2);
            for (std::size_t i = 0; i < count_; ++i) bigger[i] = slots_[(first_ + i) % slots_.size()];
            slots_.swap(bigger);
            first_ = 0;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    slots_[(first_ + count_) % slots_.size()] = buffer;
    ++count_;
    return true;
}

SoundError BufferQueue::lend(SoundBuffer* buffer) {
    if (buffer->inDevice.load()) return SoundError::make(SoundErrorCode::StillPlaying, "Buffer already queued");
    // Parked buffers were lent first.
    takeParked();
    if (!append(buffer)) return SoundError::make(SoundErrorCode::NoMemory, "Out of memory for the sound buffer queue");
    buffer->bytesRecorded = 0;
    buffer->inDevice.store(true);
    return {};
}

bool BufferQueue::park(SoundBuffer* buffer) {
    if (buffer->inDevice.load()) return false;
    buffer->bytesRecorded = 0;
    buffer->inDevice.store(true);
    if (parked_.push(buffer)) return true;
    buffer->inDevice.store(false);
    return false;
}

void BufferQueue::takeParked() {
    while (SoundBuffer* const* p = parked_.front()) {
        SoundBuffer* b = *p;
        parked_.pop();
        // Out of memory: the buffer goes straight back, unfilled.
        if (!append(b)) handBack(b, 0);
    }
}

void BufferQueue::popFront() {
    first_ = (first_ + 1) % slots_.size();
    --count_;
    headPos_ = 0;
}

void BufferQueue::fill(const std::uint8_t* p, std::size_t n, std::uint8_t silence) {
    takeParked();
    while (n > 0 && count_ > 0) {
        SoundBuffer* b = front();
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
            popFront();
            handBack(b, b->capacity);
        }
    }
}

const std::uint8_t* BufferQueue::head(std::size_t& bytes) const {
    if (count_ == 0) {
        bytes = 0;
        return nullptr;
    }
    bytes = front()->capacity - headPos_;
    return front()->data + headPos_;
}

SoundBuffer* BufferQueue::consume(std::size_t k) {
    if (count_ == 0) return nullptr;
    SoundBuffer* b = front();
    headPos_ += static_cast<std::uint32_t>(std::min<std::size_t>(k, b->capacity - headPos_));
    if (headPos_ < b->capacity) return nullptr;
    popFront();
    return b;
}

void BufferQueue::handBack(SoundBuffer* buffer, std::uint32_t bytesRecorded) {
    buffer->bytesRecorded = bytesRecorded;
    // Cleared before the post: once the owner sees the message, the buffer is its own.
    buffer->inDevice.store(false);
    const auto lParam = reinterpret_cast<std::uintptr_t>(buffer);
    if (mailbox_) {
        mailbox_->post(message_, device_, lParam);
    } else {
        thread_.post(message_, device_, lParam);
    }
}

void BufferQueue::returnAll() {
    takeParked();
    while (count_ > 0) {
        SoundBuffer* b = front();
        popFront();
        handBack(b, 0);
    }
    headPos_ = 0;
}

bool CaptureBlock::reserve(std::size_t bytes) {
    if (!data_.empty()) return true;
    try {
        data_.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    fill_ = 0;
    return true;
}

void CaptureBlock::filled(std::size_t n, SoundCapturer& capturer) {
    fill_ += n;
    if (fill_ < data_.size()) return;
    fill_ = 0;
    capturer.captured(data_.data(), data_.size());
}

}  // namespace ambrel
