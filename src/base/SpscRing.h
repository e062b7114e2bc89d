// A fixed ring between one producer and one consumer that never locks and
// never allocates after construction: the way a sound call-back hands
// something to another thread.
//
//   SpscRing<Item> ring(64);            // allocates all 64 slots here
//   ring.push(item);                    // producer: false when full
//   if (const Item* i = ring.front()) { use(*i); ring.pop(); }  // consumer
//
// "One producer" means one at a time: several threads may produce when a lock
// of their own orders them (the lock's hand-over makes each one see the
// previous one's writes). The same holds for consumers.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

namespace ambrel {

template <class T>
class SpscRing {
public:
    // Room for `capacity` items (at least 1), all default-constructed here.
    explicit SpscRing(std::size_t capacity)
        : capacity_(capacity > 0 ? capacity : 1), slots_(std::make_unique<T[]>(capacity_)) {}

    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    std::size_t capacity() const { return capacity_; }

    // Producer. Copies `item` into the ring; false (and nothing changes) when full.
    bool push(const T& item) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == capacity_) return false;
        slots_[tail % capacity_] = item;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Consumer. The oldest item, or null when empty; valid until pop().
    const T* front() const {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return nullptr;
        return &slots_[head % capacity_];
    }

    // Consumer. Drops the oldest item (nothing when empty).
    void pop() {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return;
        head_.store(head + 1, std::memory_order_release);
    }

    // Any thread: a snapshot, exact only on a thread that is the producer or
    // the consumer while the other side is idle.
    std::size_t size() const {
        // Head first: it never passes the tail read after it.
        const std::size_t head = head_.load(std::memory_order_acquire);
        return tail_.load(std::memory_order_acquire) - head;
    }
    bool empty() const { return size() == 0; }

private:
    // Kept apart so producer and consumer do not share a cache line.
    static constexpr std::size_t kLine = 64;

    const std::size_t capacity_;
    std::unique_ptr<T[]> slots_;
    alignas(kLine) std::atomic<std::size_t> head_{0};  // written by the consumer
    alignas(kLine) std::atomic<std::size_t> tail_{0};  // written by the producer
};

}  // namespace ambrel
