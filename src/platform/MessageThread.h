// A thread that runs a message loop: other threads post messages to it, and
// one handler runs them one after another, in the order they arrived. The
// recorder's and players' requests (REC_START, PLAY_WRITE, ...) and the sound
// devices' buffer reports travel through the same queue, so everything that
// touches one device happens on one thread, never concurrently.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/SpscRing.h"

namespace ambrel {

// One posted message: a number and two word-sized parameters, read however
// the message number says (a count, a pointer, ...).
struct Message {
    std::uint32_t id = 0;
    std::uintptr_t wParam = 0;
    std::uintptr_t lParam = 0;

    template <class T>
    T* lParamAs() const { return reinterpret_cast<T*>(lParam); }
    template <class T>
    T* wParamAs() const { return reinterpret_cast<T*>(wParam); }
};

class MessageThread {
public:
    // Runs on the message thread, once per message, never two at a time.
    using Handler = std::function<void(const Message&)>;

    // A way in for a sound device's call-backs, which must neither lock nor
    // allocate: a fixed ring of messages that the loop drains. Its messages
    // run in arrival order with everything posted to the thread.
    //
    //   MessageThread::Mailbox box(64);   // allocated here, once
    //   thread.attach(box);
    //   box.post(kMsgOutputDone, ...);    // from the device's call-back
    //   thread.detach(box);               // when the device closes
    class Mailbox {
    public:
        explicit Mailbox(std::size_t capacity);
        // Detaches first if still attached.
        ~Mailbox();
        Mailbox(const Mailbox&) = delete;
        Mailbox& operator=(const Mailbox&) = delete;

        // Appends a message without locking or allocating (one atomic
        // increment, and a wake-up when the loop sleeps). Falls back to the
        // thread's post() when the ring is full. False, and the message is
        // dropped, when not attached or the thread has quit. One producer at
        // a time; the producers' own lock must also order them with attach
        // and detach.
        bool post(std::uint32_t id, std::uintptr_t wParam = 0, std::uintptr_t lParam = 0);

    private:
        friend class MessageThread;
        struct Entry {
            std::uint64_t order = 0;  // the thread's arrival number
            Message message;
        };
        SpscRing<Entry> ring_;
        MessageThread* thread_ = nullptr;  // set by attach, cleared by detach
    };

    // Lets `box` post to this thread. Any thread; `box` must not be attached
    // anywhere. Allocates (the list of mailboxes) and may throw bad_alloc.
    void attach(Mailbox& box);
    // Stops `box` posting here; what it still holds is moved to the ordinary
    // queue and runs in its turn. Any thread; nothing when not attached here.
    void detach(Mailbox& box);

    MessageThread() = default;
    // Posts quit and joins if the thread still runs (see quit()). Never from
    // the thread's own handler.
    ~MessageThread();

    MessageThread(const MessageThread&) = delete;
    MessageThread& operator=(const MessageThread&) = delete;

    // Starts the thread with its handler. Any thread. Returns false if the
    // thread was already started (a MessageThread runs once), quit() was
    // called, the handler is empty or the thread cannot be created.
    // Messages posted before start() are kept and run first. `name` (at most
    // 15 characters, kept by the caller) is what `top -H` and debuggers show.
    bool start(Handler handler, const char* name = nullptr);

    // Appends a message to the queue. Any thread, including the message thread
    // itself (the message then runs after the current one). Never blocks on
    // the handler. Returns false once quit() was called: the message is
    // dropped.
    bool post(std::uint32_t id, std::uintptr_t wParam = 0, std::uintptr_t lParam = 0);

    // Ends the loop after the messages already queued: messages posted before
    // quit() still run, later ones are refused. Any thread, including the
    // message thread (from inside a handler). Does not wait; see join().
    void quit();

    // Waits until the loop has ended. Any thread except the message thread.
    // Returns at once if the thread was never started or already joined.
    void join();

    // True when called from this message thread (any thread).
    bool isCurrentThread() const;

    // True between start() and the end of the loop (any thread).
    bool running() const { return running_.load(std::memory_order_acquire); }

    // Messages waiting in the queue (any thread; a snapshot).
    std::size_t pending() const;

private:
    void loop();  // message thread

    using Entry = Mailbox::Entry;

    // Under mutex_: appends to the ring, growing it when full.
    void push(const Entry& e);
    // Under mutex_: takes the message that arrived first, from the ring or a
    // mailbox. False when there is none.
    bool next(Message& m);
    // Any thread: the loop looks for messages again (no lock, no allocation).
    void wake();

    mutable std::mutex mutex_;
    // Bumped to wake the loop, which sleeps on it while there is nothing to do.
    std::atomic<std::uint32_t> wakeups_{0};
    std::atomic<bool> sleeping_{false};  // the loop is about to sleep or sleeps
    // Arrival numbers, shared by posts and mailboxes, keep them in order.
    std::atomic<std::uint64_t> arrivals_{0};
    // A ring that only grows: once it has reached the call's peak, posting
    // allocates nothing. Guarded by mutex_.
    std::vector<Entry> ring_ = std::vector<Entry>(64);
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::vector<Mailbox*> mailboxes_;  // guarded by mutex_; drained only under it
    std::atomic<bool> accepting_{true};  // false once quit() was called
    bool quitting_ = false;      // guarded by mutex_
    bool started_ = false;       // guarded by mutex_
    Handler handler_;            // set before the thread starts, then read only by it
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    std::atomic<bool> running_{false};
};

}  // namespace ambrel
