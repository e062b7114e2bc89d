#include "platform/PulseBackend.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/BufferQueue.h"
#include "platform/MessageThread.h"

namespace ambrel {
namespace {

// ---------------------------------------------------------------------------
// The shared connection: one threaded main loop and one context. Devices keep
// it alive through a shared_ptr, so it outlives the last stream even if the
// backend goes first.

class PulseCore {
public:
    explicit PulseCore(PulseOptions options) : options_(std::move(options)) {}

    ~PulseCore() {
        pa_threaded_mainloop* loop = loop_.load();
        if (loop) pa_threaded_mainloop_stop(loop);
        dropContext();
        if (loop) pa_threaded_mainloop_free(loop);
    }

    // Holds the main loop's lock: every libpulse call outside the loop's own
    // thread happens under it, and the loop's call-backs run under it.
    class Lock {
    public:
        explicit Lock(PulseCore& c) : loop_(c.loop_) { pa_threaded_mainloop_lock(loop_); }
        ~Lock() { pa_threaded_mainloop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    // Any thread except the loop's. Makes sure the loop runs and the context
    // is ready, connecting (again) if needed. Returns with nothing locked.
    SoundError connect() {
        std::lock_guard guard(connectMutex_);
        if (!loop_.load()) {
            pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
            if (!loop) return SoundError::make(SoundErrorCode::NoMemory, "Cannot create the sound main loop");
            if (pa_threaded_mainloop_start(loop) < 0) {
                pa_threaded_mainloop_free(loop);
                return SoundError::make(SoundErrorCode::Failed, "Cannot start the sound main loop");
            }
            loop_.store(loop);
        }
        Lock lock(*this);
        if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) return {};
        dropContext();

        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, options_.appName.c_str());
        pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "audio-input-microphone");
        context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), options_.appName.c_str(), props);
        pa_proplist_free(props);
        if (!context_) return SoundError::make(SoundErrorCode::NoMemory, "Cannot create a sound server context");
        pa_context_set_state_callback(context_, &PulseCore::signalLoop, this);

        // No autospawn: a voice program must not start a sound server behind
        // the user's back, and as root it would fail slowly anyway.
        const char* server = options_.server.empty() ? nullptr : options_.server.c_str();
        if (pa_context_connect(context_, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            SoundError e = SoundError::make(SoundErrorCode::NoServer, pa_strerror(pa_context_errno(context_)));
            dropContext();
            return e;
        }
        auto settled = [this] {
            auto s = pa_context_get_state(context_);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        };
        if (!waitFor(settled, options_.connectTimeoutMs)) {
            dropContext();
            return SoundError::make(SoundErrorCode::NoServer, "Timed out connecting to the sound server");
        }
        if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
            SoundError e = SoundError::make(SoundErrorCode::NoServer, pa_strerror(pa_context_errno(context_)));
            dropContext();
            return e;
        }
        return {};
    }

    // Under Lock, not on the loop's thread: waits until pred() holds or the
    // time is up; returns pred(). A timer on the loop bounds the wait.
    bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
        struct Timer {
            pa_threaded_mainloop* loop;
            bool fired = false;
        } timer{loop_};
        timeval tv;
        pa_gettimeofday(&tv);
        pa_timeval_add(&tv, static_cast<pa_usec_t>(std::max(timeoutMs, 1)) * 1000);
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
        pa_time_event* ev = api->time_new(
            api, &tv,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
                auto* t = static_cast<Timer*>(data);
                t->fired = true;
                pa_threaded_mainloop_signal(t->loop, 0);
            },
            &timer);
        while (!pred() && !timer.fired) pa_threaded_mainloop_wait(loop_);
        api->time_free(ev);
        return pred();
    }

    // Under Lock: waits for an operation (bounded); cancels it on time-out.
    bool finish(pa_operation* op) {
        if (!op) return false;
        // Wake the waiter when the operation ends, whatever its call-back does.
        pa_operation_set_state_callback(
            op, [](pa_operation*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
            loop_);
        bool done = waitFor([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING || !contextGood(); },
                            options_.operationTimeoutMs);
        done = done && pa_operation_get_state(op) == PA_OPERATION_DONE;
        pa_operation_set_state_callback(op, nullptr, nullptr);
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
        pa_operation_unref(op);
        return done;
    }

    // Under Lock: the context's last error as a SoundError.
    SoundError contextError(SoundErrorCode code, const std::string& what) const {
        int err = context_ ? pa_context_errno(context_) : PA_ERR_CONNECTIONTERMINATED;
        if (!contextGood()) code = SoundErrorCode::NoServer;
        return SoundError::make(code, what.empty() ? pa_strerror(err) : what + " (" + pa_strerror(err) + ")");
    }

    bool contextGood() const { return context_ && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)); }

    static void signalLoop(pa_context*, void* self) {
        pa_threaded_mainloop_signal(static_cast<PulseCore*>(self)->loop_, 0);
    }

    pa_context* context() const { return context_; }
    pa_threaded_mainloop* loop() const { return loop_; }
    const PulseOptions& options() const { return options_; }

private:
    // Under Lock (or with the loop stopped).
    void dropContext() {
        if (!context_) return;
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }

    const PulseOptions options_;
    std::mutex connectMutex_;               // one connect at a time; taken before Lock
    // Created at the first connect and kept to the end; read by every thread.
    std::atomic<pa_threaded_mainloop*> loop_{nullptr};
    pa_context* context_ = nullptr;         // under Lock
};

pa_sample_spec sampleSpec(const SoundFormat& f) {
    pa_sample_spec ss{};
    ss.format = f.bitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16NE;
    ss.rate = f.sampleRate;
    ss.channels = 1;
    return ss;
}

struct DeviceList {
    std::vector<SoundDeviceInfo> devices;
    std::string defaultName;
};

// Under Lock. Sources without monitors (recording) or sinks (playing), in
// the server's index order, numbered from 1.
SoundError listDevices(PulseCore& core, bool inputs, DeviceList& out) {
    struct Item {
        std::uint32_t index;
        SoundDeviceInfo info;
    };
    std::vector<Item> items;
    pa_operation* op;
    if (inputs) {
        op = pa_context_get_source_info_list(
            core.context(),
            [](pa_context*, const pa_source_info* i, int eol, void* data) {
                if (eol || !i || i->monitor_of_sink != PA_INVALID_INDEX) return;
                static_cast<std::vector<Item>*>(data)->push_back(
                    {i->index, {0, i->name ? i->name : "", i->description ? i->description : "", false}});
            },
            &items);
    } else {
        op = pa_context_get_sink_info_list(
            core.context(),
            [](pa_context*, const pa_sink_info* i, int eol, void* data) {
                if (eol || !i) return;
                static_cast<std::vector<Item>*>(data)->push_back(
                    {i->index, {0, i->name ? i->name : "", i->description ? i->description : "", false}});
            },
            &items);
    }
    if (!core.finish(op)) return core.contextError(SoundErrorCode::Failed, "Cannot list the sound devices");

    std::pair<bool, std::string> server{inputs, {}};
    pa_operation* op2 = pa_context_get_server_info(
        core.context(),
        [](pa_context*, const pa_server_info* i, void* data) {
            auto* d = static_cast<std::pair<bool, std::string>*>(data);
            const char* n = i ? (d->first ? i->default_source_name : i->default_sink_name) : nullptr;
            if (n) d->second = n;
        },
        &server);
    core.finish(op2);  // without it the list merely lacks its default mark
    const std::string& def = server.second;

    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.index < b.index; });
    out.devices.clear();
    out.defaultName = def;
    int n = 0;
    for (auto& it : items) {
        it.info.number = ++n;
        it.info.isDefault = !def.empty() && it.info.name == def;
        out.devices.push_back(std::move(it.info));
    }
    return {};
}

// Under Lock. The server's name for a device ref: empty for the default.
SoundError deviceNameOf(PulseCore& core, const SoundDeviceRef& ref, bool input, std::string& name) {
    name.clear();
    if (!ref.name.empty()) {
        name = ref.name;
        return {};
    }
    if (ref.number == -1 || ref.number == 0) return {};
    const char* kind = input ? "recording" : "playing";
    if (ref.number < -1)
        return SoundError::make(SoundErrorCode::BadDevice,
                                std::string("No ") + kind + " device " + std::to_string(ref.number));
    DeviceList list;
    if (auto e = listDevices(core, input, list)) return e;
    if (static_cast<std::size_t>(ref.number) > list.devices.size())
        return SoundError::make(SoundErrorCode::BadDevice, std::string("No ") + kind + " device " +
                                                               std::to_string(ref.number) + " (there are " +
                                                               std::to_string(list.devices.size()) + ")");
    name = list.devices[static_cast<std::size_t>(ref.number) - 1].name;
    return {};
}

// Under Lock: a new stream named for its use, with the "phone" role so
// desktops treat it as a call.
pa_stream* newStream(PulseCore& core, const char* title, const SoundFormat& format) {
    pa_sample_spec ss = sampleSpec(format);
    pa_channel_map map;
    pa_channel_map_init_mono(&map);
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
    pa_stream* s = pa_stream_new_with_proplist(core.context(), title, &ss, &map, props);
    pa_proplist_free(props);
    return s;
}

// Under Lock: waits for a connecting stream to become ready (bounded).
SoundError waitReady(PulseCore& core, pa_stream* s, const std::string& device) {
    auto settled = [s] {
        auto st = pa_stream_get_state(s);
        return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
    };
    if (!core.waitFor(settled, core.options().operationTimeoutMs))
        return SoundError::make(SoundErrorCode::StreamFailed, "Timed out opening the sound stream");
    if (pa_stream_get_state(s) == PA_STREAM_READY) return {};
    int err = pa_context_errno(core.context());
    if (err == PA_ERR_NOENTITY)
        return SoundError::make(SoundErrorCode::BadDevice,
                                "No such device: " + (device.empty() ? std::string("default") : device) + " (" +
                                    pa_strerror(err) + ")");
    return core.contextError(SoundErrorCode::StreamFailed, "");
}

void releaseStream(pa_stream*& s) {
    if (!s) return;
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    pa_stream_set_write_callback(s, nullptr, nullptr);
    pa_stream_set_underflow_callback(s, nullptr, nullptr);
    pa_stream_disconnect(s);
    pa_stream_unref(s);
    s = nullptr;
}

// ---------------------------------------------------------------------------
// What a recording and a playing stream share: the stream, its state and the
// buffers lent to it. Everything here is guarded by the main loop's lock: the
// stream's call-backs run under it, the devices' public calls take it.
//
// The call-backs neither allocate nor wait on any lock but that one: the
// buffer queues are rings that grow only when a buffer is lent, and buffers
// go back through a mailbox of the message thread.

struct PulseStream {
    // Enough for every buffer a device is normally lent; beyond it, buffers
    // go back by the message thread's ordinary (locking) post.
    static constexpr std::size_t kMailboxSize = 64;

    PulseStream(std::shared_ptr<PulseCore> c, const SoundFormat& f, MessageThread& t, std::uint32_t message,
                std::uintptr_t device)
        : core(std::move(c)), format(f), thread(t), mailbox(kMailboxSize), queue(t, message, device) {
        thread.attach(mailbox);
        queue.useMailbox(&mailbox);
    }

    // Under Lock: creates the stream and connects it with `connect`, waiting
    // (bounded) until the server has it ready.
    template <class Connect>
    SoundError open(const char* title, const std::string& device, pa_stream_notify_cb_t onState, void* self,
                    Connect connect) {
        name = device;
        stream = newStream(*core, title, format);
        if (!stream) return core->contextError(SoundErrorCode::Failed, std::string("Cannot create the stream"));
        pa_stream_set_state_callback(stream, onState, self);
        if (connect(device.empty() ? nullptr : device.c_str()) < 0)
            return core->contextError(SoundErrorCode::StreamFailed, "");
        if (auto e = waitReady(*core, stream, device)) return e;
        if (const char* n = pa_stream_get_device_name(stream)) name = n;
        isOpen = true;
        return {};
    }

    // Under Lock: ok, or why the device cannot take a call now.
    SoundError usable() const {
        if (!isOpen) return BufferQueue::notOpen();
        if (failed) return SoundError::make(SoundErrorCode::StreamFailed, "The sound server closed the stream");
        return {};
    }

    // Main loop thread, under Lock: true the first time the stream is found
    // dead while open (device unplugged, server gone).
    bool lost() {
        if (failed || !isOpen || PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) return false;
        failed = true;
        return true;
    }

    // Under Lock: the stream's whole delay as the server last reported it
    // (interpolated between reports), minus `heldBytes` of sound the caller
    // already counts; 0 while the server has not reported yet.
    std::uint32_t latencyMicros(std::size_t heldBytes) const {
        pa_usec_t usec = 0;
        int negative = 0;
        if (failed || pa_stream_get_latency(stream, &usec, &negative) < 0 || negative) return 0;
        const std::uint64_t held = std::uint64_t(heldBytes) * 1000000 / std::max(1u, format.bytesPerSecond());
        return usec > held ? static_cast<std::uint32_t>(std::min<std::uint64_t>(usec - held, 10000000)) : 0;
    }

    // Under Lock: drops what the server holds (not for a dead stream).
    void flush() {
        if (!failed)
            if (pa_operation* op = pa_stream_flush(stream, nullptr, nullptr)) pa_operation_unref(op);
    }

    // Under Lock.
    void cork(bool on) {
        if (!failed)
            if (pa_operation* op = pa_stream_cork(stream, on ? 1 : 0, nullptr, nullptr)) pa_operation_unref(op);
    }

    // Under Lock. What the mailbox still holds goes to the thread's queue:
    // no message comes after this.
    void release() {
        releaseStream(stream);
        isOpen = false;
        thread.detach(mailbox);
        queue.useMailbox(nullptr);
    }

    std::shared_ptr<PulseCore> core;
    const SoundFormat format;
    MessageThread& thread;
    MessageThread::Mailbox mailbox;  // produced into under Lock only
    std::string name;
    pa_stream* stream = nullptr;
    BufferQueue queue;
    bool isOpen = false;
    bool failed = false;
};

// ---------------------------------------------------------------------------
// Recording stream.

class PulseInput final : public SoundInput {
public:
    PulseInput(std::shared_ptr<PulseCore> core, const SoundFormat& format, MessageThread& thread)
        : s_(std::move(core), format, thread, kMsgInputData,
             reinterpret_cast<std::uintptr_t>(static_cast<SoundInput*>(this))) {}
    ~PulseInput() override { close(); }

    // Under Lock.
    SoundError open(const std::string& device) {
        SoundError e = s_.open("Ambrel recording", device, &PulseInput::onState, this, [this](const char* dev) {
            pa_stream_set_read_callback(s_.stream, &PulseInput::onRead, this);
            // One buffer per fragment: the server hands over sound as soon as
            // one frame is there, so recording adds one frame of delay.
            pa_buffer_attr attr;
            attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
            attr.fragsize = s_.format.blockBytes();
            // No interpolated timing: the latency is the source's own, as the
            // server last reported it, and what waits in this client, which is
            // counted here as it arrives. Interpolated, it began each start
            // from the time the stream had been corked (0.3-0.7 s too much,
            // for the first second or two).
            auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                                        PA_STREAM_AUTO_TIMING_UPDATE);
            return pa_stream_connect_record(s_.stream, dev, &attr, flags);
        });
        parkable_.store(e.ok());
        return e;
    }

    // Message thread (all public calls).
    SoundError addBuffer(SoundBuffer* b) override {
        if (auto e = BufferQueue::check(b, s_.format.bytesPerSample())) return e;
        // A buffer comes back every frame, often while the main loop thread
        // still holds the lock after handing it over: it is parked instead.
        // A buffer parked as the stream dies goes back at reset() or close().
        if (parkable_.load(std::memory_order_acquire) && s_.queue.park(b)) return {};
        PulseCore::Lock lock(*s_.core);
        if (auto e = s_.usable()) return e;
        return s_.queue.lend(b);
    }

    SoundError start() override {
        PulseCore::Lock lock(*s_.core);
        if (auto e = s_.usable()) return e;
        if (!running_) {
            s_.cork(false);
            // The server's last timing report dates from before the cork.
            if (pa_operation* op = pa_stream_update_timing_info(s_.stream, nullptr, nullptr)) pa_operation_unref(op);
        }
        running_ = true;
        return {};
    }

    SoundError stop() override {
        PulseCore::Lock lock(*s_.core);
        if (!s_.isOpen) return BufferQueue::notOpen();
        pause();
        return {};
    }

    SoundError reset() override {
        PulseCore::Lock lock(*s_.core);
        if (!s_.isOpen) return BufferQueue::notOpen();
        pause();
        s_.flush();
        s_.queue.returnAll();
        block_.clear();
        return {};
    }

    SoundError close() override {
        PulseCore::Lock lock(*s_.core);
        if (!s_.stream) return BufferQueue::notOpen();
        parkable_.store(false);
        pause();
        capturer_ = nullptr;
        s_.queue.returnAll();
        s_.release();
        return {};
    }

    bool setCapturer(SoundCapturer* capturer) override {
        PulseCore::Lock lock(*s_.core);
        if (capturer && (s_.usable() || !block_.reserve(s_.format.blockBytes()))) return false;
        capturer_ = capturer;
        block_.clear();
        return true;
    }

    const SoundFormat& format() const override { return s_.format; }
    std::string deviceName() const override { return s_.name; }
    bool isLive() const override { return true; }
    std::uint32_t latencyMicros() const override { return latency_.load(std::memory_order_relaxed); }

private:
    // Under Lock.
    void pause() {
        if (running_) s_.cork(true);
        running_ = false;
    }

    // Main loop thread, under Lock. A dead stream hands its buffers back, so
    // the owner sees the recording end.
    static void onState(pa_stream*, void* self) {
        auto* me = static_cast<PulseInput*>(self);
        if (me->s_.lost()) {
            me->parkable_.store(false);
            me->running_ = false;
            me->s_.queue.returnAll();
        }
        pa_threaded_mainloop_signal(me->s_.core->loop(), 0);
    }

    // Main loop thread, under Lock: copies what the server sent into the
    // queued buffers; a hole in the stream becomes silence.
    static void onRead(pa_stream* s, std::size_t, void* self) {
        auto* me = static_cast<PulseInput*>(self);
        const std::uint8_t silence = me->s_.format.bitsPerSample == 8 ? 128 : 0;
        me->latency_.store(me->s_.latencyMicros(0), std::memory_order_relaxed);
        for (;;) {
            const void* data = nullptr;
            std::size_t n = 0;
            if (pa_stream_peek(s, &data, &n) < 0 || n == 0) break;
            if (me->running_) {
                if (me->capturer_) {
                    me->deliver(static_cast<const std::uint8_t*>(data), n, silence);
                } else {
                    me->s_.queue.fill(static_cast<const std::uint8_t*>(data), n, silence);
                }
            }
            pa_stream_drop(s);
        }
    }

    // Main loop thread, under Lock: gathers n bytes (of silence when p is
    // null) into blocks and hands each full one to the capturer.
    void deliver(const std::uint8_t* p, std::size_t n, std::uint8_t silence) {
        while (n > 0) {
            std::size_t room = 0;
            std::uint8_t* to = block_.space(room);
            const std::size_t k = std::min(n, room);
            if (p) {
                std::memcpy(to, p, k);
                p += k;
            } else {
                std::memset(to, silence, k);
            }
            n -= k;
            block_.filled(k, *capturer_);
        }
    }

    PulseStream s_;
    bool running_ = false;  // under Lock
    // Handing over directly (setCapturer): all under Lock.
    SoundCapturer* capturer_ = nullptr;
    CaptureBlock block_;
    // Open and not failed: buffers may be parked (written under Lock).
    std::atomic<bool> parkable_{false};
    std::atomic<std::uint32_t> latency_{0};  // written under Lock
};

// ---------------------------------------------------------------------------
// Playing stream. Buffers wait in our queue and go to the server only as fast
// as it asks for sound, so the server holds no more than its small target
// length; a buffer is handed back once the server has played past its end.

class PulseOutput final : public SoundOutput {
public:
    PulseOutput(std::shared_ptr<PulseCore> core, const SoundFormat& format, MessageThread& thread)
        : s_(std::move(core), format, thread, kMsgOutputDone,
             reinterpret_cast<std::uintptr_t>(static_cast<SoundOutput*>(this))) {}
    ~PulseOutput() override { close(); }

    // Under Lock.
    SoundError open(const std::string& device) {
        return s_.open("Ambrel playback", device, &PulseOutput::onState, this, [this](const char* dev) {
            pa_stream_set_write_callback(s_.stream, &PulseOutput::onWrite, this);
            pa_stream_set_underflow_callback(s_.stream, &PulseOutput::onUnderflow, this);
            // Two blocks in the server, one playing and one ready, and at
            // least 30 ms: a caller that lends short blocks, or renders from
            // this client's own thread, keeps the server fed through a late
            // wake-up. (Each 10 ms more here is 10 ms more mouth-to-ear
            // delay.) The server asks for more once a block has played (left
            // to itself it asks several times a block, each a wake-up of
            // this client's thread). Playback begins as soon as one block is
            // there, and again after an underrun.
            const std::uint32_t block = s_.format.blockBytes();
            pa_buffer_attr attr;
            attr.maxlength = attr.fragsize = static_cast<std::uint32_t>(-1);
            attr.minreq = block;
            attr.tlength = std::max(2 * block, s_.format.bytesPerSecond() * 3 / 100 / s_.format.bytesPerSample() *
                                                   s_.format.bytesPerSample());
            attr.prebuf = block;
            auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                        PA_STREAM_AUTO_TIMING_UPDATE);
            return pa_stream_connect_playback(s_.stream, dev, &attr, flags, nullptr, nullptr);
        });
    }

    // Message thread (all public calls).
    SoundError write(SoundBuffer* b) override {
        if (auto e = BufferQueue::check(b, s_.format.bytesPerSample())) return e;
        PulseCore::Lock lock(*s_.core);
        if (auto e = s_.usable()) return e;
        // Room for every lent buffer in the ring of sent ones, made here so
        // that pump() never allocates.
        if (!sent_.reserve(s_.queue.size() + sent_.size() + 1))
            return SoundError::make(SoundErrorCode::NoMemory, "Out of memory for the sound buffer queue");
        if (auto e = s_.queue.lend(b)) return e;
        pump();
        return {};
    }

    SoundError reset() override {
        PulseCore::Lock lock(*s_.core);
        if (!s_.isOpen) return BufferQueue::notOpen();
        renderer_ = nullptr;
        s_.flush();
        returnAll();
        return {};
    }

    SoundError close() override {
        PulseCore::Lock lock(*s_.core);
        if (!s_.stream) return BufferQueue::notOpen();
        renderer_ = nullptr;
        returnAll();
        s_.release();
        return {};
    }

    bool setRenderer(SoundRenderer* renderer) override {
        PulseCore::Lock lock(*s_.core);
        if (renderer && s_.usable()) return false;
        if (renderer && renderScratch_.empty()) {
            const pa_buffer_attr* attr = pa_stream_get_buffer_attr(s_.stream);
            const std::size_t size = std::max<std::size_t>(attr ? attr->tlength : 0, s_.format.blockBytes());
            try {
                renderScratch_.assign(size, 0);
            } catch (const std::bad_alloc&) {
                return false;
            }
        }
        renderer_ = renderer;
        if (renderer_) pump();
        return true;
    }

    SoundError wake() override {
        PulseCore::Lock lock(*s_.core);
        if (auto e = s_.usable()) return e;
        pump();
        return {};
    }

    SoundError setVolume(std::uint16_t left, std::uint16_t right) override {
        PulseCore::Lock lock(*s_.core);
        if (auto e = s_.usable()) return e;
        std::uint16_t v = std::max(left, right);
        // 0xFFFF is exactly 100 %: the server then passes the sound unchanged.
        pa_volume_t pv = v == 0xFFFF ? PA_VOLUME_NORM : pa_sw_volume_from_linear(v / 65535.0);
        pa_cvolume cv;
        pa_cvolume_set(&cv, 1, pv);
        pa_operation* op = pa_context_set_sink_input_volume(s_.core->context(), pa_stream_get_index(s_.stream), &cv,
                                                            nullptr, nullptr);
        if (!s_.core->finish(op)) return s_.core->contextError(SoundErrorCode::Failed, "Cannot set the volume");
        return {};
    }

    SoundError volume(std::uint16_t& left, std::uint16_t& right) override {
        PulseCore::Lock lock(*s_.core);
        if (auto e = s_.usable()) return e;
        struct Result {
            bool found = false;
            pa_volume_t v = 0;
        } r;
        pa_operation* op = pa_context_get_sink_input_info(
            s_.core->context(), pa_stream_get_index(s_.stream),
            [](pa_context*, const pa_sink_input_info* i, int eol, void* data) {
                if (eol || !i) return;
                auto* res = static_cast<Result*>(data);
                res->found = true;
                res->v = pa_cvolume_max(&i->volume);
            },
            &r);
        if (!s_.core->finish(op) || !r.found)
            return s_.core->contextError(SoundErrorCode::Failed, "Cannot read the volume");
        double lin = r.v >= PA_VOLUME_NORM ? 1.0 : pa_sw_volume_to_linear(r.v);
        left = right = static_cast<std::uint16_t>(std::lround(lin * 65535.0));
        return {};
    }

    const SoundFormat& format() const override { return s_.format; }
    std::string deviceName() const override { return s_.name; }
    std::uint32_t latencyMicros() const override { return latency_.load(std::memory_order_relaxed); }

private:
    struct Sent {
        SoundBuffer* buffer = nullptr;
        std::uint64_t end = 0;  // stream offset just past its last byte
    };

    // The buffers handed to the server and not yet played, oldest first: a
    // ring that grows only in reserve().
    class SentRing {
    public:
        // False when it cannot grow to `n` entries.
        bool reserve(std::size_t n) {
            if (n <= slots_.size()) return true;
            try {
                std::vector<Sent> bigger(std::max(n, 2 * slots_.size()));
                for (std::size_t i = 0; i < count_; ++i) bigger[i] = slots_[(first_ + i) % slots_.size()];
                slots_.swap(bigger);
                first_ = 0;
                return true;
            } catch (const std::bad_alloc&) {
                return false;
            }
        }
        void push(const Sent& s) {  // room was reserved
            slots_[(first_ + count_) % slots_.size()] = s;
            ++count_;
        }
        const Sent& front() const { return slots_[first_]; }
        void pop() {
            first_ = (first_ + 1) % slots_.size();
            --count_;
        }
        bool empty() const { return count_ == 0; }
        std::size_t size() const { return count_; }

    private:
        std::vector<Sent> slots_ = std::vector<Sent>(16);
        std::size_t first_ = 0;
        std::size_t count_ = 0;
    };

    // Under Lock: everything back, the ones the server has first, in order.
    void returnAll() {
        while (!sent_.empty()) {
            s_.queue.handBack(sent_.front().buffer);
            sent_.pop();
        }
        s_.queue.returnAll();
        // The server forgets what it held; count afresh from here.
        written_ = played_ = 0;
    }

    // Under Lock: hands the server as much as it asked for, then reports the
    // buffers it has played. The server holds (target length - writable
    // size) bytes, so everything before written_ minus that is played.
    void pump() {
        if (s_.failed || pa_stream_get_state(s_.stream) != PA_STREAM_READY) return;
        std::size_t room = pa_stream_writable_size(s_.stream);
        if (room == static_cast<std::size_t>(-1)) return;
        if (renderer_) {
            render(room);
            return;
        }
        std::size_t avail = 0;
        while (room > 0) {
            const std::uint8_t* p = s_.queue.head(avail);
            if (!p) break;
            std::size_t k = std::min(avail, room);
            if (pa_stream_write(s_.stream, p, k, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
            written_ += k;
            room -= k;
            if (SoundBuffer* b = s_.queue.consume(k)) sent_.push({b, written_});
        }
        const pa_buffer_attr* attr = pa_stream_get_buffer_attr(s_.stream);
        std::size_t target = attr ? attr->tlength : 0;
        std::size_t left = pa_stream_writable_size(s_.stream);
        std::uint64_t inServer = target > left ? target - left : 0;
        latency_.store(s_.latencyMicros(inServer), std::memory_order_relaxed);
        played_ = std::max(played_, written_ > inServer ? written_ - inServer : 0);
        releasePlayed();
    }

    // Under Lock: fills the server's room from the renderer. The server
    // holds (target length - writable size) bytes.
    void render(std::size_t room) {
        const std::size_t bps = s_.format.bytesPerSample();
        const pa_buffer_attr* attr = pa_stream_get_buffer_attr(s_.stream);
        const std::size_t target = attr ? attr->tlength : 0;
        while (room >= bps) {
            const std::size_t want = std::min(room, renderScratch_.size()) / bps * bps;
            const auto held = static_cast<std::uint32_t>((target > room ? target - room : 0) / bps);
            latency_.store(s_.latencyMicros(std::size_t(held) * bps), std::memory_order_relaxed);
            const std::size_t got = renderer_->render(renderScratch_.data(), want, held) / bps * bps;
            if (got == 0) break;
            if (pa_stream_write(s_.stream, renderScratch_.data(), got, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
            written_ += got;
            if (got < want) break;
            room = pa_stream_writable_size(s_.stream);
            if (room == static_cast<std::size_t>(-1)) break;
        }
    }

    // Under Lock.
    void releasePlayed() {
        while (!sent_.empty() && sent_.front().end <= played_) {
            s_.queue.handBack(sent_.front().buffer);
            sent_.pop();
        }
    }

    // Main loop thread, under Lock.
    static void onWrite(pa_stream*, std::size_t, void* self) { static_cast<PulseOutput*>(self)->pump(); }

    // Main loop thread, under Lock: the server ran dry, so it has played
    // everything it was given.
    static void onUnderflow(pa_stream*, void* self) {
        auto* me = static_cast<PulseOutput*>(self);
        me->played_ = me->written_;
        me->releasePlayed();
    }

    // Main loop thread, under Lock. A dead stream hands everything back, so
    // the owner's ring does not wait for buffers that never come.
    static void onState(pa_stream*, void* self) {
        auto* me = static_cast<PulseOutput*>(self);
        if (me->s_.lost()) {
            if (SoundRenderer* r = std::exchange(me->renderer_, nullptr)) r->lost();
            me->returnAll();
        }
        pa_threaded_mainloop_signal(me->s_.core->loop(), 0);
    }

    PulseStream s_;
    // Under Lock:
    SentRing sent_;             // handed to the server, not yet played
    std::uint64_t written_ = 0; // bytes written since open or reset
    std::uint64_t played_ = 0;  // bytes known to be played
    SoundRenderer* renderer_ = nullptr;       // set: the server's room is filled from it
    std::atomic<std::uint32_t> latency_{0};   // written under Lock
    std::vector<std::uint8_t> renderScratch_; // one target length, made before rendering starts
};

// ---------------------------------------------------------------------------

class PulseBackend final : public SoundBackend {
public:
    explicit PulseBackend(PulseOptions options) : core_(std::make_shared<PulseCore>(std::move(options))) {}

    std::string name() const override { return "pulse"; }

    // Calling thread (a sound thread): connects on first use.
    std::unique_ptr<SoundInput> openInput(const SoundDeviceRef& device, const SoundFormat& format,
                                          MessageThread& thread, SoundError& error) override {
        if ((error = format.validate())) return nullptr;
        if ((error = core_->connect())) return nullptr;
        PulseCore::Lock lock(*core_);
        std::string name;
        if ((error = deviceNameOf(*core_, device, true, name))) return nullptr;
        auto in = std::make_unique<PulseInput>(core_, format, thread);
        if ((error = in->open(name))) return nullptr;  // the loop's lock is recursive
        return in;
    }

    std::unique_ptr<SoundOutput> openOutput(const SoundDeviceRef& device, const SoundFormat& format,
                                            MessageThread& thread, SoundError& error) override {
        if ((error = format.validate())) return nullptr;
        if ((error = core_->connect())) return nullptr;
        PulseCore::Lock lock(*core_);
        std::string name;
        if ((error = deviceNameOf(*core_, device, false, name))) return nullptr;
        auto out = std::make_unique<PulseOutput>(core_, format, thread);
        if ((error = out->open(name))) return nullptr;
        return out;
    }

    std::vector<SoundDeviceInfo> listInputs(SoundError& error) override { return list(true, error); }
    std::vector<SoundDeviceInfo> listOutputs(SoundError& error) override { return list(false, error); }

private:
    std::vector<SoundDeviceInfo> list(bool inputs, SoundError& error) {
        if ((error = core_->connect())) return {};
        PulseCore::Lock lock(*core_);
        DeviceList l;
        if ((error = listDevices(*core_, inputs, l))) return {};
        return l.devices;
    }

    std::shared_ptr<PulseCore> core_;
};

}  // namespace

std::unique_ptr<SoundBackend> makePulseBackend(PulseOptions options) {
    return std::make_unique<PulseBackend>(std::move(options));
}

}  // namespace ambrel
