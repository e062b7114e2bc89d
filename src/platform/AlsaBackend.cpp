#include "platform/AlsaBackend.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <semaphore>
#include <thread>
#include <vector>

#include "base/SpscRing.h"
#include "base/Text.h"
#include "platform/BufferQueue.h"
#include "platform/MessageThread.h"

namespace ambrel {
namespace {

// Periods of one buffer each. Capture: reading happens every period, so a
// longer ring only adds room for a late thread, not delay. Playback: the
// ring holds one datagram's worth of frames (four), so a burst from the
// network goes to the device at once.
constexpr unsigned kCapturePeriods = 8;
constexpr unsigned kPlaybackPeriods = 4;

// alsa-lib prints its errors on standard error by default; ours reach the
// user as SoundError texts instead.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

std::string withName(int err, const std::string& name) {
    return std::string(snd_strerror(err)) + " (alsa:" + printable(name, 128) + ")";
}

SoundError alsaError(int err, const std::string& name) {
    SoundErrorCode code = SoundErrorCode::Failed;
    if (err == -ENOENT || err == -ENODEV || err == -ENXIO) code = SoundErrorCode::BadDevice;
    if (err == -EBUSY || err == -EAGAIN) code = SoundErrorCode::Busy;
    if (err == -ENOMEM) code = SoundErrorCode::NoMemory;
    return SoundError::make(code, withName(err, name));
}

// Opens `name` non-blocking with the format, one period per buffer.
SoundError openPcm(const std::string& name, const SoundFormat& f, bool playback, snd_pcm_t*& pcm,
                   snd_pcm_uframes_t& period) {
    int err = snd_pcm_open(&pcm, name.c_str(), playback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE,
                           SND_PCM_NONBLOCK);
    if (err < 0) {
        pcm = nullptr;
        return alsaError(err, name);
    }
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_hw_params_any(pcm, hw);
    snd_pcm_hw_params_set_rate_resample(pcm, hw, 1);
    const snd_pcm_format_t sample = f.bitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16;
    if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(pcm, hw, sample)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, hw, 1)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(pcm, hw, f.sampleRate, 0)) < 0) {
        // A raw hw: device takes only what the card does; plughw: converts.
        return SoundError::make(SoundErrorCode::BadFormat,
                                std::string("Cannot use mono ") + std::to_string(f.bitsPerSample) + "-bit sound at " +
                                    std::to_string(f.sampleRate) + " Hz: " + withName(err, name) +
                                    (name.rfind("hw:", 0) == 0 ? "; plug" + name + " converts" : ""));
    }
    period = f.blockBytes() / f.bytesPerSample();
    int dir = 0;
    snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir);
    snd_pcm_uframes_t buffer = period * (playback ? kPlaybackPeriods : kCapturePeriods);
    snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if ((err = snd_pcm_hw_params(pcm, hw)) < 0) return alsaError(err, name);
    snd_pcm_hw_params_get_period_size(hw, &period, &dir);

    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_sw_params_current(pcm, sw);
    snd_pcm_sw_params_set_avail_min(pcm, sw, period);
    // Playback starts with the first period; recording is started explicitly.
    snd_pcm_sw_params_set_start_threshold(pcm, sw, playback ? period : 1);
    if ((err = snd_pcm_sw_params(pcm, sw)) < 0) return alsaError(err, name);
    if ((err = snd_pcm_prepare(pcm)) < 0) return alsaError(err, name);
    return {};
}

// ---------------------------------------------------------------------------
// What a recording and a playing device share: the PCM, its thread, the ring
// of lent buffers and the requests of the message thread.

class AlsaStream {
public:
    enum Request : int { kNone = 0, kStart, kStop, kReset, kCapture, kQuit };

    AlsaStream(const SoundFormat& f, MessageThread& thread, std::uint32_t message, std::uintptr_t device)
        : soundFormat(f), thread_(thread), message_(message), device_(device) {}

    virtual ~AlsaStream() {
        if (pcm) snd_pcm_close(pcm);
        if (wakeFd_ >= 0) ::close(wakeFd_);
    }

    // Opening thread: opens the PCM and starts the device's thread.
    SoundError open(const std::string& pcmName, bool playback) {
        name = pcmName;
        if (auto e = openPcm(name, soundFormat, playback, pcm, period)) return e;
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0) return SoundError::make(SoundErrorCode::Failed, std::strerror(errno));
        const int n = snd_pcm_poll_descriptors_count(pcm);
        if (n < 0) return alsaError(n, name);
        fds_.resize(static_cast<std::size_t>(n) + 1);
        pcmFds_ = static_cast<unsigned>(n);
        scratch_.resize(static_cast<std::size_t>(period) * soundFormat.bytesPerSample());
        worker_ = std::thread([this] { run(); });
        return {};
    }

    // Device thread: what the device reports of the sound it holds
    // (recorded and not yet read, or written and not yet played), in
    // microseconds, for latencyMicros().
    void noteDelay() {
        snd_pcm_sframes_t frames = 0;
        if (snd_pcm_delay(pcm, &frames) < 0 || frames < 0) frames = 0;
        delayMicros_.store(static_cast<std::uint32_t>(std::min<std::uint64_t>(
                               std::uint64_t(frames) * 1000000 / std::max(1u, soundFormat.sampleRate), 10000000)),
                           std::memory_order_relaxed);
    }
    std::atomic<std::uint32_t> delayMicros_{0};

    // Message thread: asks the device's thread to carry out `r` and waits
    // until it has.
    void request(Request r) {
        request_.store(r, std::memory_order_release);
        wake();
        done_.acquire();
    }

    // Message thread: ends the device's thread, which hands every buffer
    // back first. Returns false if it was not running.
    bool quit() {
        if (!worker_.joinable()) return false;
        request(kQuit);
        worker_.join();
        return true;
    }

    // Message thread.
    SoundError lend(SoundBuffer* b) {
        if (auto e = BufferQueue::check(b, soundFormat.bytesPerSample())) return e;
        if (auto e = usable()) return e;
        if (b->inDevice.load()) return SoundError::make(SoundErrorCode::StillPlaying, "Buffer already queued");
        b->bytesRecorded = 0;
        b->inDevice.store(true);
        if (!ring_.push(b)) {
            b->inDevice.store(false);
            return SoundError::make(SoundErrorCode::NoMemory, "Too many sound buffers queued");
        }
        wake();
        return {};
    }

    // Message thread: ok, or why the device cannot take a call now.
    SoundError usable() const {
        if (!worker_.joinable()) return BufferQueue::notOpen();
        if (failed_.load(std::memory_order_acquire))
            return SoundError::make(SoundErrorCode::StreamFailed, "The sound device stopped: " + failure_);
        return {};
    }

    const SoundFormat soundFormat;
    std::string name;
    snd_pcm_t* pcm = nullptr;      // the device's thread while it runs
    snd_pcm_uframes_t period = 0;  // frames per period, as the device took it

protected:
    // Device thread: carries out a request (not kQuit).
    virtual void onRequest(Request r) = 0;
    // Device thread: the PCM is ready for reading or writing, or in error.
    // Returns whether any sound moved.
    virtual bool transfer() = 0;
    // Device thread: whether to wait for the PCM as well as for requests.
    virtual bool wantsPcm() const = 0;

    // Device thread: hands the buffer being filled or played and all queued
    // ones back with 0 bytes, in order.
    void returnAll() {
        while (SoundBuffer* b = nextLent()) {
            ring_.pop();
            handBack(b, 0);
        }
        position_ = 0;
    }

    // Device thread.
    void handBack(SoundBuffer* b, std::uint32_t bytes) {
        b->bytesRecorded = bytes;
        // Cleared before the post: once the owner sees the message, the buffer is its own.
        b->inDevice.store(false);
        thread_.post(message_, device_, reinterpret_cast<std::uintptr_t>(b));
    }

    // Device thread: an error the PCM cannot recover from (device unplugged,
    // sound server gone). Everything goes back, so the owner sees the end.
    void fail(int err) {
        if (failed()) return;
        failure_ = withName(err, name);
        failed_.store(true, std::memory_order_release);
        snd_pcm_drop(pcm);
        returnAll();
    }

    // Device thread: after an overrun or underrun. False if that failed too.
    bool recover(int err) {
        if (err == -EAGAIN) return true;
        const int r = snd_pcm_recover(pcm, err, 1);
        if (r < 0) fail(r);
        return r >= 0;
    }

    bool failed() const { return failed_.load(std::memory_order_relaxed); }

    // Lent buffers, from the owner's thread to the device thread; the engine
    // lends 12 at most.
    SpscRing<SoundBuffer*> ring_{64};
    // The oldest lent buffer, or null. Device thread.
    SoundBuffer* nextLent() const {
        SoundBuffer* const* b = ring_.front();
        return b ? *b : nullptr;
    }
    std::uint32_t position_ = 0;        // bytes of the front buffer done; device thread
    std::vector<std::uint8_t> scratch_;  // one period; device thread

private:
    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    }

    // Device thread: waits for a request or the PCM, handles what came.
    // Some plugins (the pulse one among them) keep their descriptor ready
    // while they have less than a period, or after their server is gone: a
    // wake-up by the PCM that ALSA does not confirm is followed by a short
    // pause (a quarter period) without the PCM, so such a device costs a few
    // wake-ups per period rather than a busy loop.
    void run() {
        const int pauseMs = std::clamp(static_cast<int>(period * 250 / soundFormat.sampleRate), 1, 10);
        bool pause = false;
        for (;;) {
            fds_[0] = {wakeFd_, POLLIN, 0};
            nfds_t n = 1;
            if (!pause && !failed() && wantsPcm() &&
                snd_pcm_poll_descriptors(pcm, fds_.data() + 1, pcmFds_) == static_cast<int>(pcmFds_))
                n += pcmFds_;
            const bool paused = pause;
            pause = false;
            if (::poll(fds_.data(), n, paused ? pauseMs : -1) < 0) {
                if (errno == EINTR) continue;
                fail(-errno);
                n = 1;
            }
            if (fds_[0].revents & POLLIN) {
                std::uint64_t count;
                [[maybe_unused]] auto got = ::read(wakeFd_, &count, sizeof count);
                const int r = request_.exchange(kNone, std::memory_order_acq_rel);
                if (r == kQuit) {
                    if (!failed()) snd_pcm_drop(pcm);
                    returnAll();
                    done_.release();
                    return;
                }
                if (r != kNone) {
                    onRequest(static_cast<Request>(r));
                    done_.release();
                }
            }
            if (failed()) continue;
            unsigned short revents = 0;
            if (n > 1) snd_pcm_poll_descriptors_revents(pcm, fds_.data() + 1, pcmFds_, &revents);
            // A new buffer (a wake-up) may also be written or filled at once;
            // after a pause the PCM is simply tried again.
            bool pcmWoke = false;
            for (nfds_t i = 1; i < n; ++i) pcmWoke = pcmWoke || fds_[i].revents != 0;
            if (revents || paused || (fds_[0].revents & POLLIN)) transfer();
            if (pcmWoke && !revents && !failed()) pause = true;
        }
    }

    MessageThread& thread_;
    const std::uint32_t message_;
    const std::uintptr_t device_;
    int wakeFd_ = -1;
    std::vector<pollfd> fds_;  // [0] the wake-up, then the PCM's; device thread
    unsigned pcmFds_ = 0;
    std::atomic<int> request_{kNone};
    std::binary_semaphore done_{0};
    std::atomic<bool> failed_{false};
    std::string failure_;  // written before failed_ is set
    std::thread worker_;
};

// ---------------------------------------------------------------------------
// Recording.

class AlsaInput final : public SoundInput, AlsaStream {
public:
    AlsaInput(const SoundFormat& f, MessageThread& thread)
        : AlsaStream(f, thread, kMsgInputData, reinterpret_cast<std::uintptr_t>(static_cast<SoundInput*>(this))) {}
    ~AlsaInput() override { close(); }

    SoundError open(const std::string& pcmName) { return AlsaStream::open(pcmName, false); }

    // Message thread (all public calls).
    SoundError addBuffer(SoundBuffer* b) override { return lend(b); }

    SoundError start() override {
        if (auto e = usable()) return e;
        request(kStart);
        return usable();
    }

    SoundError stop() override {
        if (auto e = usable(); e.code == SoundErrorCode::InvalidHandle) return e;
        request(kStop);
        return {};
    }

    SoundError reset() override {
        if (auto e = usable(); e.code == SoundErrorCode::InvalidHandle) return e;
        request(kReset);
        return {};
    }

    SoundError close() override { return quit() ? SoundError{} : BufferQueue::notOpen(); }

    bool setCapturer(SoundCapturer* capturer) override {
        if (capturer && (usable() || !block_.reserve(soundFormat.blockBytes()))) return false;
        if (usable().code == SoundErrorCode::InvalidHandle) return true;  // closed: nothing runs
        nextCapturer_ = capturer;
        request(kCapture);
        return true;
    }

    const SoundFormat& format() const override { return soundFormat; }
    std::string deviceName() const override { return name; }
    bool isLive() const override { return true; }
    // The block handed over now ends where the device's read position is.
    std::uint32_t latencyMicros() const override {
        return delayMicros_.load(std::memory_order_relaxed) +
               static_cast<std::uint32_t>(std::uint64_t(soundFormat.blockBytes() / soundFormat.bytesPerSample()) *
                                          1000000 / std::max(1u, soundFormat.sampleRate));
    }

private:
    void onRequest(Request r) override {
        switch (r) {
        case kCapture:
            capturer_ = nextCapturer_;
            block_.clear();
            break;
        case kStart:
            if (running_ || failed()) break;
            if (int err = snd_pcm_prepare(pcm); err < 0) return fail(err);
            if (int err = snd_pcm_start(pcm); err < 0) return fail(err);
            running_ = true;
            break;
        case kStop:
        case kReset:
            // Queued buffers keep their place on a stop, a partly filled one
            // included; what the device captured meanwhile is dropped.
            if (running_ && !failed()) snd_pcm_drop(pcm);
            running_ = false;
            if (r == kReset) {
                returnAll();
                block_.clear();
            }
            break;
        default:
            break;
        }
    }

    bool wantsPcm() const override { return running_; }

    // Reads straight into the front buffer; without one, into scratch, and
    // the sound is dropped as a card drops it when it has no buffers.
    bool transfer() override {
        if (!running_) return false;
        const std::uint32_t bps = format().bytesPerSample();
        bool moved = false;
        int recoveries = 0;
        for (;;) {
            // A capturer takes whole blocks, gathered in block_.
            SoundBuffer* b = capturer_ ? nullptr : nextLent();
            std::size_t room = b ? b->capacity - position_ : scratch_.size();
            std::uint8_t* to = b ? b->data + position_ : scratch_.data();
            if (capturer_) to = block_.space(room);
            const snd_pcm_sframes_t got = snd_pcm_readi(pcm, to, room / bps);
            if (got == -EAGAIN || got == 0) return moved;
            if (got < 0) {
                // An overrun: start again. A device that overruns at once
                // again is left until the next wake-up.
                if (++recoveries > 2 || !recover(static_cast<int>(got))) return moved;
                if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED)
                    if (int err = snd_pcm_start(pcm); err < 0) {
                        fail(err);
                        return moved;
                    }
                continue;
            }
            moved = true;
            noteDelay();
            if (capturer_) block_.filled(static_cast<std::size_t>(got) * bps, *capturer_);
            if (!b) continue;
            position_ += static_cast<std::uint32_t>(got) * bps;
            if (position_ == b->capacity) {
                ring_.pop();
                position_ = 0;
                handBack(b, b->capacity);
            }
        }
    }

    bool running_ = false;  // device thread
    // Handing over directly (setCapturer). nextCapturer_ is written by the
    // message thread before its request; the rest belongs to the device thread.
    SoundCapturer* nextCapturer_ = nullptr;
    SoundCapturer* capturer_ = nullptr;
    CaptureBlock block_;  // sized by setCapturer before the device thread uses it
};

// ---------------------------------------------------------------------------
// Playing. A buffer goes back as soon as the device has taken all of it into
// its own ring; the device then holds at most kPlaybackPeriods frames.

class AlsaOutput final : public SoundOutput, AlsaStream {
public:
    AlsaOutput(const SoundFormat& f, MessageThread& thread)
        : AlsaStream(f, thread, kMsgOutputDone, reinterpret_cast<std::uintptr_t>(static_cast<SoundOutput*>(this))) {}
    ~AlsaOutput() override { close(); }

    SoundError open(const std::string& pcmName) { return AlsaStream::open(pcmName, true); }

    // Message thread (all public calls).
    SoundError write(SoundBuffer* b) override { return lend(b); }

    SoundError reset() override {
        if (auto e = usable(); e.code == SoundErrorCode::InvalidHandle) return e;
        request(kReset);
        return {};
    }

    SoundError close() override { return quit() ? SoundError{} : BufferQueue::notOpen(); }

    // ALSA has no volume per stream: the gain is applied on the way to the
    // device (0xFFFF passes the sound unchanged).
    SoundError setVolume(std::uint16_t left, std::uint16_t right) override {
        if (auto e = usable()) return e;
        volume_.store(std::max(left, right));
        return {};
    }

    SoundError volume(std::uint16_t& left, std::uint16_t& right) override {
        if (auto e = usable()) return e;
        left = right = volume_.load();
        return {};
    }

    const SoundFormat& format() const override { return soundFormat; }
    std::string deviceName() const override { return name; }
    std::uint32_t latencyMicros() const override { return delayMicros_.load(std::memory_order_relaxed); }

private:
    void onRequest(Request r) override {
        if (r != kReset) return;
        if (!failed()) {
            snd_pcm_drop(pcm);
            if (int err = snd_pcm_prepare(pcm); err < 0) fail(err);
        }
        returnAll();
    }

    bool wantsPcm() const override { return ring_.front() != nullptr; }

    bool transfer() override {
        const std::uint32_t bps = format().bytesPerSample();
        bool moved = false;
        int recoveries = 0;
        while (SoundBuffer* b = nextLent()) {
            const std::uint8_t* from = b->data + position_;
            std::uint32_t bytes = b->capacity - position_;
            const std::uint16_t vol = volume_.load(std::memory_order_relaxed);
            if (vol != 0xFFFF) {
                bytes = std::min<std::uint32_t>(bytes, static_cast<std::uint32_t>(scratch_.size()));
                scaled(from, bytes, vol);
                from = scratch_.data();
            }
            const snd_pcm_sframes_t put = snd_pcm_writei(pcm, from, bytes / bps);
            if (put == -EAGAIN || put == 0) return moved;
            if (put < 0) {
                // Underrun: the device ran dry and starts again with this period.
                if (++recoveries > 2 || !recover(static_cast<int>(put))) return moved;
                continue;
            }
            moved = true;
            noteDelay();
            position_ += static_cast<std::uint32_t>(put) * bps;
            if (position_ == b->capacity) {
                ring_.pop();
                position_ = 0;
                handBack(b, 0);
            }
        }
        return moved;
    }

    // Device thread: n bytes from p, at the gain, into scratch_.
    void scaled(const std::uint8_t* p, std::uint32_t n, std::uint16_t vol) {
        const float gain = static_cast<float>(vol) / 65535.0f;
        if (format().bitsPerSample == 16) {
            for (std::uint32_t i = 0; i + 1 < n; i += 2) {
                std::int16_t s;
                std::memcpy(&s, p + i, 2);
                s = static_cast<std::int16_t>(std::lrintf(s * gain));
                std::memcpy(scratch_.data() + i, &s, 2);
            }
        } else {
            for (std::uint32_t i = 0; i < n; ++i)
                scratch_[i] = static_cast<std::uint8_t>(std::lrintf((p[i] - 128) * gain) + 128);
        }
    }

    std::atomic<std::uint16_t> volume_{0xFFFF};
};

// ---------------------------------------------------------------------------

// The PCM names ALSA hints at, for recording (inputs) or playing.
std::vector<SoundDeviceInfo> hintedDevices(bool inputs, SoundError& error) {
    error = {};
    void** hints = nullptr;
    if (int err = snd_device_name_hint(-1, "pcm", &hints); err < 0) {
        error = SoundError::make(SoundErrorCode::Failed, snd_strerror(err));
        return {};
    }
    std::vector<SoundDeviceInfo> out;
    for (void** h = hints; *h; ++h) {
        char* name = snd_device_name_get_hint(*h, "NAME");
        char* desc = snd_device_name_get_hint(*h, "DESC");
        char* ioid = snd_device_name_get_hint(*h, "IOID");  // null: both ways
        const bool fits = !ioid || std::strcmp(ioid, inputs ? "Input" : "Output") == 0;
        if (name && fits) {
            SoundDeviceInfo info;
            info.number = static_cast<int>(out.size()) + 1;
            info.name = name;
            info.description = desc ? desc : "";
            std::replace(info.description.begin(), info.description.end(), '\n', ' ');
            info.isDefault = info.name == "default";
            out.push_back(std::move(info));
        }
        std::free(name);
        std::free(desc);
        std::free(ioid);
    }
    snd_device_name_free_hint(hints);
    return out;
}

class AlsaBackend final : public SoundBackend {
public:
    AlsaBackend() { snd_lib_error_set_handler(&quietAlsa); }

    std::string name() const override { return "alsa"; }

    std::unique_ptr<SoundInput> openInput(const SoundDeviceRef& device, const SoundFormat& format,
                                          MessageThread& thread, SoundError& error) override {
        std::string pcm;
        if ((error = format.validate()) || (error = pcmName(device, true, pcm))) return nullptr;
        auto in = std::make_unique<AlsaInput>(format, thread);
        if ((error = in->open(pcm))) return nullptr;
        return in;
    }

    std::unique_ptr<SoundOutput> openOutput(const SoundDeviceRef& device, const SoundFormat& format,
                                            MessageThread& thread, SoundError& error) override {
        std::string pcm;
        if ((error = format.validate()) || (error = pcmName(device, false, pcm))) return nullptr;
        auto out = std::make_unique<AlsaOutput>(format, thread);
        if ((error = out->open(pcm))) return nullptr;
        return out;
    }

    std::vector<SoundDeviceInfo> listInputs(SoundError& error) override { return hintedDevices(true, error); }
    std::vector<SoundDeviceInfo> listOutputs(SoundError& error) override { return hintedDevices(false, error); }

private:
    static SoundError pcmName(const SoundDeviceRef& ref, bool input, std::string& pcm) {
        if (!ref.name.empty()) {
            pcm = ref.name;
            return {};
        }
        if (ref.number == -1 || ref.number == 0) {
            pcm = "default";
            return {};
        }
        SoundError error;
        auto list = hintedDevices(input, error);
        if (error) return error;
        if (ref.number < 0 || static_cast<std::size_t>(ref.number) > list.size())
            return SoundError::make(SoundErrorCode::BadDevice, std::string("No ALSA ") +
                                                                   (input ? "recording" : "playing") + " device " +
                                                                   std::to_string(ref.number));
        pcm = list[static_cast<std::size_t>(ref.number) - 1].name;
        return {};
    }
};

}  // namespace

std::unique_ptr<SoundBackend> makeAlsaBackend() { return std::make_unique<AlsaBackend>(); }

SoundError probeAlsaDevice(const std::string& pcmName, bool capture) {
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, pcmName.c_str(), capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                           SND_PCM_NONBLOCK);
    if (err < 0) return alsaError(err, pcmName);
    snd_pcm_close(pcm);
    return {};
}

}  // namespace ambrel
