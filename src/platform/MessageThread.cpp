#include "platform/MessageThread.h"

#include <pthread.h>

#include <system_error>

namespace ambrel {

MessageThread::~MessageThread() {
    quit();
    join();
    // Devices should have detached already; a mailbox left behind goes quiet.
    std::lock_guard lock(mutex_);
    for (Mailbox* box : mailboxes_) box->thread_ = nullptr;
}

bool MessageThread::start(Handler handler, const char* name) {
    std::lock_guard lock(mutex_);
    if (started_ || quitting_ || !handler) return false;
    handler_ = std::move(handler);
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread([this, name] {
            if (name) pthread_setname_np(pthread_self(), name);
            loop();
        });
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
        push(Entry{arrivals_.fetch_add(1, std::memory_order_relaxed), Message{id, wParam, lParam}});
    }
    wake();
    return true;
}

void MessageThread::quit() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
        accepting_.store(false, std::memory_order_relaxed);
    }
    wake();
}

// Posting makes no system call while the loop is busy: only a loop that is
// going to sleep is woken, by the first poster that finds sleeping_ set. The
// two exchanges on sleeping_ pair up: either the loop's exchange reads this
// one's value, and with it sees the message this poster queued before, or
// this one reads the loop's and wakes it.
void MessageThread::wake() {
    if (!sleeping_.exchange(false, std::memory_order_acq_rel)) return;
    wakeups_.fetch_add(1, std::memory_order_relaxed);
    wakeups_.notify_one();
}

void MessageThread::attach(Mailbox& box) {
    std::lock_guard lock(mutex_);
    if (box.thread_) return;
    mailboxes_.push_back(&box);
    box.thread_ = this;
}

void MessageThread::detach(Mailbox& box) {
    {
        std::lock_guard lock(mutex_);
        if (box.thread_ != this) return;
        for (auto it = mailboxes_.begin(); it != mailboxes_.end(); ++it) {
            if (*it == &box) {
                mailboxes_.erase(it);
                break;
            }
        }
        box.thread_ = nullptr;
        if (!box.ring_.empty()) {
            // Merged into the queue by arrival number, which keeps it sorted
            // (the mailbox's overflow went there already, later than these).
            std::vector<Entry> queued;
            queued.reserve(count_);
            for (std::size_t i = 0; i < count_; ++i) queued.push_back(ring_[(head_ + i) % ring_.size()]);
            head_ = 0;
            count_ = 0;
            std::size_t i = 0;
            while (const Entry* e = box.ring_.front()) {
                while (i < queued.size() && queued[i].order < e->order) push(queued[i++]);
                if (!quitting_) push(*e);
                box.ring_.pop();
            }
            while (i < queued.size()) push(queued[i++]);
        }
    }
    wake();
}

MessageThread::Mailbox::Mailbox(std::size_t capacity) : ring_(capacity) {}

MessageThread::Mailbox::~Mailbox() {
    if (thread_) thread_->detach(*this);
}

bool MessageThread::Mailbox::post(std::uint32_t id, std::uintptr_t wParam, std::uintptr_t lParam) {
    MessageThread* thread = thread_;
    if (!thread || !thread->accepting_.load(std::memory_order_relaxed)) return false;
    Entry e{thread->arrivals_.fetch_add(1, std::memory_order_relaxed), Message{id, wParam, lParam}};
    if (!ring_.push(e)) return thread->post(id, wParam, lParam);  // full: the slow way, still in order
    thread->wake();
    return true;
}

void MessageThread::join() {
    if (thread_.joinable() && !isCurrentThread()) thread_.join();
}

bool MessageThread::isCurrentThread() const {
    return threadId_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

std::size_t MessageThread::pending() const {
    std::lock_guard lock(mutex_);
    std::size_t n = count_;
    for (const Mailbox* box : mailboxes_) n += box->ring_.size();
    return n;
}

void MessageThread::push(const Entry& m) {
    if (count_ == ring_.size()) {
        std::vector<Entry> bigger(ring_.size() * 2);
        for (std::size_t i = 0; i < count_; ++i) bigger[i] = ring_[(head_ + i) % ring_.size()];
        ring_.swap(bigger);
        head_ = 0;
    }
    ring_[(head_ + count_) % ring_.size()] = m;
    ++count_;
}

bool MessageThread::next(Message& m) {
    const Entry* best = count_ > 0 ? &ring_[head_] : nullptr;
    Mailbox* from = nullptr;
    for (Mailbox* box : mailboxes_) {
        const Entry* e = box->ring_.front();
        if (e && (!best || e->order < best->order)) {
            best = e;
            from = box;
        }
    }
    if (!best) return false;
    m = best->message;
    if (from) {
        from->ring_.pop();
    } else {
        head_ = (head_ + 1) % ring_.size();
        --count_;
    }
    return true;
}

// Message thread. The handler runs without the lock, so it may post to this
// thread (or to others) freely. The loop sleeps on wakeups_ rather than on a
// condition variable so that a mailbox can wake it without taking the lock;
// a wake-up between reading wakeups_ and sleeping changes it, and the sleep
// returns at once.
void MessageThread::loop() {
    threadId_.store(std::this_thread::get_id(), std::memory_order_release);
    for (;;) {
        Message m;
        bool have = false;
        bool done = false;
        std::uint32_t seen = 0;
        // One look; when it finds nothing, announce the sleep and look again.
        for (int look = 0; look < 2 && !have && !done; ++look) {
            if (look == 1) {
                seen = wakeups_.load(std::memory_order_relaxed);
                sleeping_.exchange(true, std::memory_order_acq_rel);
            }
            std::lock_guard lock(mutex_);
            have = next(m);
            // Quitting, and everything that arrived before quit() has run.
            done = !have && quitting_;
        }
        if (!have && !done) wakeups_.wait(seen, std::memory_order_relaxed);
        sleeping_.store(false, std::memory_order_relaxed);
        if (have) handler_(m);
        if (done) break;
    }
    running_.store(false, std::memory_order_release);
}

}  // namespace ambrel
