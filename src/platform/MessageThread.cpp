#include "platform/MessageThread.h"

#include <system_error>

namespace ambrel {

MessageThread::~MessageThread() {
    quit();
    join();
}

bool MessageThread::start(Handler handler) {
    std::lock_guard lock(mutex_);
    if (started_ || quitting_ || !handler) return false;
    handler_ = std::move(handler);
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
        running_.store(false, std::memory_order_release);
        return false;
    }
    started_ = true;
    return true;
}

bool MessageThread::post(std::uint32_t id, std::uintptr_t wParam, std::uintptr_t lParam) {
    {
        std::lock_guard lock(mutex_);
        if (quitting_) return false;
        push(Message{id, wParam, lParam});
    }
    wake_.notify_one();
    return true;
}

void MessageThread::quit() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    wake_.notify_one();
}

void MessageThread::join() {
    if (thread_.joinable() && !isCurrentThread()) thread_.join();
}

bool MessageThread::isCurrentThread() const {
    return threadId_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

std::size_t MessageThread::pending() const {
    std::lock_guard lock(mutex_);
    return count_;
}

void MessageThread::push(const Message& m) {
    if (count_ == ring_.size()) {
        std::vector<Message> bigger(ring_.size() * 2);
        for (std::size_t i = 0; i < count_; ++i) bigger[i] = ring_[(head_ + i) % ring_.size()];
        ring_.swap(bigger);
        head_ = 0;
    }
    ring_[(head_ + count_) % ring_.size()] = m;
    ++count_;
}

// Message thread. The handler runs without the lock, so it may post to this
// thread (or to others) freely.
void MessageThread::loop() {
    threadId_.store(std::this_thread::get_id(), std::memory_order_release);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return count_ > 0 || quitting_; });
        if (count_ == 0) break;  // quitting and everything before quit() has run
        Message m = ring_[head_];
        head_ = (head_ + 1) % ring_.size();
        --count_;
        lock.unlock();
        handler_(m);
        lock.lock();
    }
    running_.store(false, std::memory_order_release);
}

}  // namespace ambrel
