#include "platform/PulseBackend.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>

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
        if (loop_) pa_threaded_mainloop_stop(loop_);
        dropContext();
        if (loop_) pa_threaded_mainloop_free(loop_);
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
        if (!loop_) {
            loop_ = pa_threaded_mainloop_new();
            if (!loop_) return SoundError::make(SoundErrorCode::NoMemory, "Cannot create the sound main loop");
            if (pa_threaded_mainloop_start(loop_) < 0) {
                pa_threaded_mainloop_free(loop_);
                loop_ = nullptr;
                return SoundError::make(SoundErrorCode::Failed, "Cannot start the sound main loop");
            }
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
    pa_threaded_mainloop* loop_ = nullptr;  // set once under connectMutex_
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

SoundError notOpen() { return SoundError::make(SoundErrorCode::InvalidHandle, "Device not open"); }

// ---------------------------------------------------------------------------
// Recording stream. The queue and its state are guarded by the main loop's
// lock: the read call-back runs under it, the public calls take it.

class PulseInput final : public SoundInput {
public:
    PulseInput(std::shared_ptr<PulseCore> core, const SoundFormat& format, MessageThread& thread)
        : core_(std::move(core)), format_(format), thread_(thread) {}
    ~PulseInput() override { close(); }

    // Under Lock.
    SoundError open(const std::string& device) {
        name_ = device;
        stream_ = newStream(*core_, "Ambrel recording", format_);
        if (!stream_) return core_->contextError(SoundErrorCode::Failed, "Cannot create a recording stream");
        pa_stream_set_state_callback(stream_, &PulseInput::onState, this);
        pa_stream_set_read_callback(stream_, &PulseInput::onRead, this);
        // One buffer per fragment: the server hands over sound as soon as one
        // frame is there, so recording adds one frame of delay and no more.
        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = format_.blockBytes();
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_record(stream_, device.empty() ? nullptr : device.c_str(), &attr, flags) < 0)
            return core_->contextError(SoundErrorCode::StreamFailed, "");
        if (auto e = waitReady(*core_, stream_, device)) return e;
        if (const char* n = pa_stream_get_device_name(stream_)) name_ = n;
        open_ = true;
        return {};
    }

    // Message thread (all public calls).
    SoundError addBuffer(SoundBuffer* b) override {
        if (!b || !b->data || b->capacity < format_.bytesPerSample())
            return SoundError::make(SoundErrorCode::InvalidParam, "Empty sound buffer");
        PulseCore::Lock lock(*core_);
        if (!open_) return notOpen();
        if (failed_) return streamLost();
        if (b->inDevice.load()) return SoundError::make(SoundErrorCode::StillPlaying, "Buffer already queued");
        b->bytesRecorded = 0;
        b->inDevice.store(true);
        queue_.push_back(b);
        return {};
    }

    SoundError start() override {
        PulseCore::Lock lock(*core_);
        if (!open_) return notOpen();
        if (failed_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return streamLost();
        if (running_) return {};
        running_ = true;
        if (pa_operation* op = pa_stream_cork(stream_, 0, nullptr, nullptr)) pa_operation_unref(op);
        return {};
    }

    SoundError stop() override {
        PulseCore::Lock lock(*core_);
        if (!open_) return notOpen();
        pause();
        return {};
    }

    SoundError reset() override {
        PulseCore::Lock lock(*core_);
        if (!open_) return notOpen();
        pause();
        if (!failed_)
            if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr)) pa_operation_unref(op);
        returnAll();
        return {};
    }

    SoundError close() override {
        PulseCore::Lock lock(*core_);
        if (!stream_) return notOpen();
        pause();
        returnAll();
        releaseStream(stream_);
        open_ = false;
        return {};
    }

    const SoundFormat& format() const override { return format_; }
    std::string deviceName() const override { return name_; }

private:
    static SoundError streamLost() {
        return SoundError::make(SoundErrorCode::StreamFailed, "The sound server closed the recording stream");
    }

    // Under Lock.
    void pause() {
        if (!running_) return;
        running_ = false;
        if (!failed_)
            if (pa_operation* op = pa_stream_cork(stream_, 1, nullptr, nullptr)) pa_operation_unref(op);
    }

    // Under Lock: every queued buffer back with 0 bytes, in order.
    void returnAll() {
        for (SoundBuffer* b : queue_) post(b, 0);
        queue_.clear();
        headFill_ = 0;
    }

    void post(SoundBuffer* b, std::uint32_t bytes) {
        b->bytesRecorded = bytes;
        b->inDevice.store(false);
        thread_.post(kMsgInputData, reinterpret_cast<std::uintptr_t>(this), reinterpret_cast<std::uintptr_t>(b));
    }

    // Main loop thread, under Lock.
    static void onState(pa_stream* s, void* self) {
        auto* me = static_cast<PulseInput*>(self);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)) && me->open_) {
            // The server dropped the stream (device unplugged, server gone):
            // hand the buffers back so the owner sees the recording end.
            me->failed_ = true;
            me->running_ = false;
            me->returnAll();
        }
        pa_threaded_mainloop_signal(me->core_->loop(), 0);
    }

    // Main loop thread, under Lock: copies what the server sent into the
    // queued buffers; a hole in the stream becomes silence.
    static void onRead(pa_stream* s, std::size_t, void* self) {
        auto* me = static_cast<PulseInput*>(self);
        const std::uint8_t silence = me->format_.bitsPerSample == 8 ? 128 : 0;
        for (;;) {
            const void* data = nullptr;
            std::size_t n = 0;
            if (pa_stream_peek(s, &data, &n) < 0 || n == 0) break;
            if (me->running_) me->deliver(static_cast<const std::uint8_t*>(data), n, silence);
            pa_stream_drop(s);
        }
    }

    // Main loop thread, under Lock. What finds no queued buffer is lost.
    void deliver(const std::uint8_t* p, std::size_t n, std::uint8_t silence) {
        while (n > 0 && !queue_.empty()) {
            SoundBuffer* b = queue_.front();
            std::size_t k = std::min<std::size_t>(b->capacity - headFill_, n);
            if (p) {
                std::memcpy(b->data + headFill_, p, k);
                p += k;
            } else {
                std::memset(b->data + headFill_, silence, k);
            }
            headFill_ += static_cast<std::uint32_t>(k);
            n -= k;
            if (headFill_ == b->capacity) {
                queue_.pop_front();
                headFill_ = 0;
                post(b, b->capacity);
            }
        }
    }

    std::shared_ptr<PulseCore> core_;
    const SoundFormat format_;
    MessageThread& thread_;
    std::string name_;
    pa_stream* stream_ = nullptr;
    // Guarded by the main loop's lock:
    std::deque<SoundBuffer*> queue_;
    std::uint32_t headFill_ = 0;
    bool open_ = false;
    bool running_ = false;
    bool failed_ = false;
};

// ---------------------------------------------------------------------------
// Playing stream. Buffers wait in our queue and go to the server only as fast
// as it asks for sound, so the server holds no more than its small target
// length; a buffer is handed back once the server has played past its end.

class PulseOutput final : public SoundOutput {
public:
    PulseOutput(std::shared_ptr<PulseCore> core, const SoundFormat& format, MessageThread& thread)
        : core_(std::move(core)), format_(format), thread_(thread) {}
    ~PulseOutput() override { close(); }

    // Under Lock.
    SoundError open(const std::string& device) {
        name_ = device;
        stream_ = newStream(*core_, "Ambrel playback", format_);
        if (!stream_) return core_->contextError(SoundErrorCode::Failed, "Cannot create a playing stream");
        pa_stream_set_state_callback(stream_, &PulseOutput::onState, this);
        pa_stream_set_write_callback(stream_, &PulseOutput::onWrite, this);
        pa_stream_set_underflow_callback(stream_, &PulseOutput::onUnderflow, this);
        // Two frames in the server: one playing, one ready. Playback begins
        // as soon as one frame is there, and again after every underrun.
        const std::uint32_t block = format_.blockBytes();
        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = 2 * block;
        attr.prebuf = block;
        attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(-1);
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_playback(stream_, device.empty() ? nullptr : device.c_str(), &attr, flags, nullptr,
                                       nullptr) < 0)
            return core_->contextError(SoundErrorCode::StreamFailed, "");
        if (auto e = waitReady(*core_, stream_, device)) return e;
        if (const char* n = pa_stream_get_device_name(stream_)) name_ = n;
        open_ = true;
        return {};
    }

    // Message thread (all public calls).
    SoundError write(SoundBuffer* b) override {
        if (!b || !b->data || b->capacity == 0)
            return SoundError::make(SoundErrorCode::InvalidParam, "Empty sound buffer");
        PulseCore::Lock lock(*core_);
        if (!open_) return notOpen();
        if (failed_) return streamLost();
        if (b->inDevice.load()) return SoundError::make(SoundErrorCode::StillPlaying, "Buffer already queued");
        b->inDevice.store(true);
        waiting_.push_back(b);
        pump();
        return {};
    }

    SoundError reset() override {
        PulseCore::Lock lock(*core_);
        if (!open_) return notOpen();
        if (!failed_)
            if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr)) pa_operation_unref(op);
        returnAll();
        return {};
    }

    SoundError close() override {
        PulseCore::Lock lock(*core_);
        if (!stream_) return notOpen();
        returnAll();
        releaseStream(stream_);
        open_ = false;
        return {};
    }

    SoundError setVolume(std::uint16_t left, std::uint16_t right) override {
        PulseCore::Lock lock(*core_);
        if (!open_) return notOpen();
        if (failed_) return streamLost();
        std::uint16_t v = std::max(left, right);
        // 0xFFFF is exactly 100 %: the server then passes the sound unchanged.
        pa_volume_t pv = v == 0xFFFF ? PA_VOLUME_NORM : pa_sw_volume_from_linear(v / 65535.0);
        pa_cvolume cv;
        pa_cvolume_set(&cv, 1, pv);
        pa_operation* op = pa_context_set_sink_input_volume(core_->context(), pa_stream_get_index(stream_), &cv,
                                                            nullptr, nullptr);
        if (!core_->finish(op)) return core_->contextError(SoundErrorCode::Failed, "Cannot set the volume");
        return {};
    }

    SoundError volume(std::uint16_t& left, std::uint16_t& right) override {
        PulseCore::Lock lock(*core_);
        if (!open_) return notOpen();
        if (failed_) return streamLost();
        struct Result {
            bool found = false;
            pa_volume_t v = 0;
        } r;
        pa_operation* op = pa_context_get_sink_input_info(
            core_->context(), pa_stream_get_index(stream_),
            [](pa_context*, const pa_sink_input_info* i, int eol, void* data) {
                if (eol || !i) return;
                auto* res = static_cast<Result*>(data);
                res->found = true;
                res->v = pa_cvolume_max(&i->volume);
            },
            &r);
        if (!core_->finish(op) || !r.found)
            return core_->contextError(SoundErrorCode::Failed, "Cannot read the volume");
        double lin = r.v >= PA_VOLUME_NORM ? 1.0 : pa_sw_volume_to_linear(r.v);
        left = right = static_cast<std::uint16_t>(std::lround(lin * 65535.0));
        return {};
    }

    const SoundFormat& format() const override { return format_; }
    std::string deviceName() const override { return name_; }

private:
    struct Sent {
        SoundBuffer* buffer;
        std::uint64_t end;  // stream offset just past its last byte
    };

    static SoundError streamLost() {
        return SoundError::make(SoundErrorCode::StreamFailed, "The sound server closed the playing stream");
    }

    void post(SoundBuffer* b) {
        b->inDevice.store(false);
        thread_.post(kMsgOutputDone, reinterpret_cast<std::uintptr_t>(this), reinterpret_cast<std::uintptr_t>(b));
    }

    // Under Lock: everything back, played ones first, in order.
    void returnAll() {
        for (auto& s : sent_) post(s.buffer);
        sent_.clear();
        for (SoundBuffer* b : waiting_) post(b);
        waiting_.clear();
        headPos_ = 0;
        // The server forgets what it held; count afresh from here.
        written_ = played_ = 0;
    }

    // Under Lock: hands the server as much as it asked for, then reports the
    // buffers it has played. The server holds (target length - writable
    // size) bytes, so everything before written_ minus that is played.
    void pump() {
        if (failed_ || !stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
        std::size_t room = pa_stream_writable_size(stream_);
        if (room == static_cast<std::size_t>(-1)) return;
        while (room > 0 && !waiting_.empty()) {
            SoundBuffer* b = waiting_.front();
            std::size_t k = std::min<std::size_t>(b->capacity - headPos_, room);
            if (pa_stream_write(stream_, b->data + headPos_, k, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
            headPos_ += static_cast<std::uint32_t>(k);
            written_ += k;
            room -= k;
            if (headPos_ == b->capacity) {
                waiting_.pop_front();
                headPos_ = 0;
                sent_.push_back({b, written_});
            }
        }
        const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream_);
        std::size_t target = attr ? attr->tlength : 0;
        std::size_t left = pa_stream_writable_size(stream_);
        std::uint64_t inServer = target > left ? target - left : 0;
        std::uint64_t played = written_ > inServer ? written_ - inServer : 0;
        played_ = std::max(played_, played);
        releasePlayed();
    }

    // Under Lock.
    void releasePlayed() {
        while (!sent_.empty() && sent_.front().end <= played_) {
            post(sent_.front().buffer);
            sent_.pop_front();
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

    static void onState(pa_stream* s, void* self) {
        auto* me = static_cast<PulseOutput*>(self);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)) && me->open_) {
            me->failed_ = true;
            me->returnAll();
        }
        pa_threaded_mainloop_signal(me->core_->loop(), 0);
    }

    std::shared_ptr<PulseCore> core_;
    const SoundFormat format_;
    MessageThread& thread_;
    std::string name_;
    pa_stream* stream_ = nullptr;
    // Guarded by the main loop's lock:
    std::deque<SoundBuffer*> waiting_;  // not yet (fully) handed to the server
    std::deque<Sent> sent_;             // handed over, not yet played
    std::uint32_t headPos_ = 0;         // bytes of waiting_.front() already written
    std::uint64_t written_ = 0;         // bytes written since open or reset
    std::uint64_t played_ = 0;          // bytes known to be played
    bool open_ = false;
    bool failed_ = false;
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
