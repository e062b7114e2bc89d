#include "platform/FileBackend.h"

#include <fcntl.h>
#include <sndfile.h>
#include <speex/speex_resampler.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "base/Files.h"
#include "base/Text.h"
#include "platform/BufferQueue.h"
#include "platform/MessageThread.h"

namespace ambrel {
namespace {

using Clock = std::chrono::steady_clock;

// A file name in a message: quoted, its control bytes shown, a long one cut.
std::string shown(const std::string& path) { return quoted(path, 256); }

SoundError fileProblem(const std::string& path, const std::string& what) {
    return SoundError::make(SoundErrorCode::FileError, shown(path) + ": " + what);
}

SoundError fileError(const std::string& path, SNDFILE* file) { return fileProblem(path, sf_strerror(file)); }

SoundError systemError(const std::string& path, int err) { return fileProblem(path, std::strerror(err)); }

// A file's folder ("." for a bare name).
std::string folderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Why a regular file cannot be read as sound; empty when it can.
std::string soundFileProblem(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        std::string why = sf_strerror(nullptr);
        while (!why.empty() && why.back() == '.') why.pop_back();
        return why;
    }
    sf_close(file);
    if (info.channels < 1 || info.samplerate < 1) return "no sound in the file";
    return {};
}

// The first bytes of a RIFF WAVE file.
bool looksLikeWav(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char head[12] = {};
    ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    return n == 12 && (std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RF64", 4) == 0) &&
           std::memcmp(head + 8, "WAVE", 4) == 0;
}

// The deadline of the sample at `position` on a clock started at `anchor`.
// Computed from the sample count every time, so rounding never accumulates.
Clock::time_point deadlineOf(Clock::time_point anchor, std::uint64_t position, std::uint32_t rate) {
    auto ns = static_cast<std::int64_t>(position * 1000000000ull / rate);
    return anchor + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

// Samples of one clock tick: the caller's buffer length, so every tick
// completes one buffer as a sound card completes one fragment.
std::uint32_t tickSamples(const SoundFormat& f) { return f.blockBytes() / f.bytesPerSample(); }

void toDeviceWidth(const float* in, std::size_t n, std::uint32_t bits, std::uint8_t* out) {
    if (bits == 16) {
        for (std::size_t i = 0; i < n; ++i) {
            long v = std::lrintf(in[i] * 32768.0f);
            auto s = static_cast<std::int16_t>(std::clamp(v, -32768L, 32767L));
            std::memcpy(out + 2 * i, &s, 2);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            long v = std::lrintf(in[i] * 128.0f) + 128;
            out[i] = static_cast<std::uint8_t>(std::clamp(v, 0L, 255L));
        }
    }
}

// A WAV file read as mono float samples at the device rate; zeros after the
// end. Only the pacing thread reads from it (after open).
class WavReader {
public:
    ~WavReader() {
        if (resampler_) speex_resampler_destroy(resampler_);
        if (file_) sf_close(file_);
    }

    SoundError open(const std::string& path, std::uint32_t rate) {
        // A FIFO or a device would block the open until a writer comes.
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return systemError(path, errno);
        if (!S_ISREG(st.st_mode))
            return fileProblem(path, "not a regular file");
        SF_INFO info{};
        file_ = sf_open(path.c_str(), SFM_READ, &info);
        if (!file_) return fileError(path, nullptr);
        if (info.channels < 1 || info.samplerate < 1)
            return fileProblem(path, "no sound in the file");
        // A rate far outside sound would make the resampler's filter enormous.
        if (info.samplerate < 1000 || info.samplerate > 768000)
            return fileProblem(path, "unsupported sample rate " + std::to_string(info.samplerate) + " Hz");
        channels_ = static_cast<std::uint32_t>(info.channels);
        if (static_cast<std::uint32_t>(info.samplerate) != rate) {
            int err = 0;
            // Quality 5: clean enough for speech codecs, cheap enough per block.
            resampler_ = speex_resampler_init(1, static_cast<spx_uint32_t>(info.samplerate), rate, 5, &err);
            if (!resampler_)
                return SoundError::make(SoundErrorCode::Failed,
                                        std::string("Resampler: ") + speex_resampler_strerror(err));
            // The resampler holds back this many input samples; they are
            // pushed out with zeros after the end of the file.
            tailLeft_ = speex_resampler_get_input_latency(resampler_);
        }
        return {};
    }

    // Fills out[0..n) with the next samples (silence once the file is over).
    void read(float* out, std::size_t n) {
        std::size_t done = 0;
        while (done < n) {
            if (!resampler_) {
                std::size_t got = readMono(out + done, n - done);
                if (got == 0) break;
                done += got;
                continue;
            }
            if (inPos_ == in_.size()) {
                refill();
                if (in_.empty()) break;
            }
            auto inLen = static_cast<spx_uint32_t>(in_.size() - inPos_);
            auto outLen = static_cast<spx_uint32_t>(n - done);
            speex_resampler_process_float(resampler_, 0, in_.data() + inPos_, &inLen, out + done, &outLen);
            inPos_ += inLen;
            done += outLen;
        }
        std::fill(out + done, out + n, 0.0f);
    }

private:
    // Up to n mono samples from the file; 0 at the end (or on a read error).
    std::size_t readMono(float* out, std::size_t n) {
        if (ended_) return 0;
        if (channels_ == 1) {
            auto got = static_cast<std::size_t>(sf_readf_float(file_, out, static_cast<sf_count_t>(n)));
            if (got == 0) ended_ = true;
            return got;
        }
        frames_.resize(std::min<std::size_t>(n, 1024) * channels_);
        auto got = static_cast<std::size_t>(
            sf_readf_float(file_, frames_.data(), static_cast<sf_count_t>(frames_.size() / channels_)));
        if (got == 0) ended_ = true;
        for (std::size_t i = 0; i < got; ++i) {
            float sum = 0.0f;
            for (std::uint32_t c = 0; c < channels_; ++c) sum += frames_[i * channels_ + c];
            out[i] = sum / static_cast<float>(channels_);
        }
        return got;
    }

    void refill() {
        in_.resize(1024);
        inPos_ = 0;
        std::size_t got = readMono(in_.data(), in_.size());
        if (got == 0 && tailLeft_ > 0) {
            got = std::min<std::size_t>(tailLeft_, in_.size());
            std::fill(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(got), 0.0f);
            tailLeft_ -= static_cast<int>(got);
        }
        in_.resize(got);
    }

    SNDFILE* file_ = nullptr;
    SpeexResamplerState* resampler_ = nullptr;
    std::uint32_t channels_ = 1;
    bool ended_ = false;
    int tailLeft_ = 0;
    std::vector<float> frames_;  // interleaved frames before the mono mix
    std::vector<float> in_;      // mono input waiting for the resampler
    std::size_t inPos_ = 0;
};

// ---------------------------------------------------------------------------
// Recording from a WAV file.

class FileInput final : public SoundInput {
public:
    FileInput(std::string path, const SoundFormat& format, MessageThread& thread)
        : path_(std::move(path)),
          format_(format),
          queue_(thread, kMsgInputData, reinterpret_cast<std::uintptr_t>(static_cast<SoundInput*>(this))) {}
    ~FileInput() override { close(); }

    SoundError open() {
        if (auto e = reader_.open(path_, format_.sampleRate)) return e;
        pacer_ = std::thread([this] { run(); });
        return {};
    }

    // Message thread (all public calls).
    SoundError addBuffer(SoundBuffer* b) override {
        if (auto e = BufferQueue::check(b, format_.bytesPerSample())) return e;
        std::lock_guard lock(mutex_);
        if (closed_) return notOpen();
        return queue_.lend(b);
    }

    SoundError start() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return notOpen();
            if (running_) return {};
            running_ = true;
            ++epoch_;
        }
        wake_.notify_all();
        return {};
    }

    SoundError stop() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return notOpen();
            running_ = false;
            ++epoch_;
        }
        wake_.notify_all();
        return {};
    }

    SoundError reset() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return notOpen();
            running_ = false;
            ++epoch_;
            queue_.returnAll();
        }
        wake_.notify_all();
        return {};
    }

    SoundError close() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return notOpen();
            closed_ = true;
            running_ = false;
            ++epoch_;
            queue_.returnAll();
        }
        wake_.notify_all();
        if (pacer_.joinable()) pacer_.join();
        return {};
    }

    // Each tick is one whole block: the pacing thread hands it over as it is.
    bool setCapturer(SoundCapturer* capturer) override {
        std::lock_guard lock(mutex_);
        if (closed_ && capturer) return false;
        capturer_ = capturer;
        return true;
    }

    const SoundFormat& format() const override { return format_; }
    std::string deviceName() const override { return path_; }

private:
    static SoundError notOpen() { return BufferQueue::notOpen(); }

    // Pacing thread: one tick per buffer length; each tick reads that much of
    // the file and hands it to the capturer (under mutex_, so stop() and
    // setCapturer() wait for a call in progress) or to the queued buffers.
    // The clock restarts at every start(), so a pause never produces a burst.
    void run() {
        const std::uint32_t tick = tickSamples(format_);
        const std::uint32_t bps = format_.bytesPerSample();
        std::vector<float> samples(tick);
        std::vector<std::uint8_t> bytes(std::size_t(tick) * bps);
        std::unique_lock lock(mutex_);
        while (!closed_) {
            if (!running_) {
                wake_.wait(lock, [this] { return running_ || closed_; });
                continue;
            }
            const std::uint64_t epoch = epoch_;
            const Clock::time_point anchor = Clock::now();
            std::uint64_t position = 0;
            while (!closed_ && epoch == epoch_) {
                position += tick;
                auto deadline = deadlineOf(anchor, position, format_.sampleRate);
                if (wake_.wait_until(lock, deadline, [&] { return closed_ || epoch != epoch_; })) break;
                lock.unlock();
                reader_.read(samples.data(), samples.size());
                toDeviceWidth(samples.data(), samples.size(), format_.bitsPerSample, bytes.data());
                lock.lock();
                // What finds no buffer is lost, as on a sound card whose
                // driver gets no buffers.
                if (epoch != epoch_) continue;
                if (capturer_) {
                    capturer_->captured(bytes.data(), bytes.size());
                } else {
                    queue_.fill(bytes.data(), bytes.size(), 0);
                }
            }
        }
    }

    const std::string path_;
    const SoundFormat format_;
    WavReader reader_;  // pacing thread only

    std::mutex mutex_;
    std::condition_variable wake_;
    BufferQueue queue_;               // guarded by mutex_
    bool running_ = false;            // guarded
    bool closed_ = false;             // guarded
    std::uint64_t epoch_ = 0;         // bumped by start/stop/reset/close; guarded
    SoundCapturer* capturer_ = nullptr;  // guarded
    std::thread pacer_;
};

// ---------------------------------------------------------------------------
// Playing into a WAV file.

class FileOutput final : public SoundOutput {
public:
    FileOutput(std::string path, const SoundFormat& format, MessageThread& thread)
        : path_(std::move(path)),
          format_(format),
          queue_(thread, kMsgOutputDone, reinterpret_cast<std::uintptr_t>(static_cast<SoundOutput*>(this))) {}
    ~FileOutput() override { close(); }

    SoundError open() {
        SF_INFO info{};
        info.samplerate = static_cast<int>(format_.sampleRate);
        info.channels = 1;
        info.format = SF_FORMAT_WAV | (format_.bitsPerSample == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_U8);
        // Through a symbolic link the file it names is written (and later
        // replaced), so the link stays a link.
        target_ = replaceTarget(path_).string();
        struct stat st {};
        const bool exists = ::stat(target_.c_str(), &st) == 0;
        if (exists && S_ISDIR(st.st_mode)) return systemError(path_, EISDIR);
        if (exists && !S_ISREG(st.st_mode)) {
            // A pipe into another program or a device: written directly, as
            // a WAV stream whose header gives no length (it cannot be sought
            // back to). Without a program reading a FIFO the open fails at
            // once instead of waiting for one.
            streamFd_ = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (streamFd_ < 0) {
                const int err = errno;
                if (err == ENXIO)
                    return fileProblem(path_, "no program reads from it");
                return systemError(path_, err);
            }
            const auto header = streamHeader();
            if (::write(streamFd_, header.data(), header.size()) != static_cast<ssize_t>(header.size())) {
                const int err = errno;
                ::close(streamFd_);
                streamFd_ = -1;
                return systemError(path_, err);
            }
            pacer_ = std::thread([this] { run(); });
            return {};
        } else {
            // A regular file grows under a temporary name in the same folder
            // and replaces the old one only when it is complete.
            int fd = -1;
            for (int n = 0; n < 100 && fd < 0; ++n) {
                temp_ = target_ + ".part" + (n == 0 ? std::string() : std::to_string(n));
                fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                if (fd < 0 && errno != EEXIST) break;
            }
            if (fd < 0) {
                const int err = errno;
                temp_.clear();
                return systemError(path_, err);
            }
            if (exists) {
                // The new file takes the old one's owner where this process
                // may give it (as the superuser, or a group it belongs to),
                // and its mode.
                const bool owned = ::fchown(fd, st.st_uid, st.st_gid) == 0 ||
                                   ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) == 0;
                static_cast<void>(owned);  // otherwise it is this user's file
                ::fchmod(fd, st.st_mode & 07777);
            }
            file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
            if (!file_) {
                ::close(fd);
                ::unlink(temp_.c_str());
                temp_.clear();
                return fileError(path_, nullptr);
            }
        }
        // Rewrite the header after every write: the file stays a complete WAV
        // even if the program is killed in the middle of a call.
        sf_command(file_, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
        pacer_ = std::thread([this] { run(); });
        return {};
    }

    // Message thread (all public calls).
    SoundError write(SoundBuffer* b) override {
        if (auto e = BufferQueue::check(b, format_.bytesPerSample())) return e;
        std::lock_guard lock(mutex_);
        if (closed_) return notOpen();
        return queue_.lend(b);
    }

    SoundError reset() override {
        std::lock_guard lock(mutex_);
        if (closed_) return notOpen();
        renderer_ = nullptr;
        returnAll();
        return {};
    }

    // The pacing thread asks the renderer for each tick's sound.
    bool setRenderer(SoundRenderer* renderer) override {
        std::lock_guard lock(mutex_);
        if (closed_ && renderer) return false;
        renderer_ = renderer;
        return true;
    }

    SoundError close() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return notOpen();
            closed_ = true;
        }
        wake_.notify_all();
        if (pacer_.joinable()) pacer_.join();
        {
            std::lock_guard lock(mutex_);
            returnAll();
        }
        bool failed = writeFailed_.load();
        if (streamFd_ >= 0) {
            ::close(streamFd_);
            streamFd_ = -1;
        }
        if (file_) {
            sf_write_sync(file_);
            failed = sf_close(file_) != 0 || failed;
            file_ = nullptr;
        }
        if (!temp_.empty()) {
            // What was written replaces the old file even when some of it
            // is missing: it is still the newer sound.
            if (::rename(temp_.c_str(), target_.c_str()) != 0)
                return fileProblem(path_, std::string("cannot replace it (") + std::strerror(errno) +
                                              "); the sound is in " + shown(temp_));
            temp_.clear();
        }
        if (failed)
            return fileProblem(path_, "not all of the sound could be written");
        return {};
    }

    SoundError setVolume(std::uint16_t left, std::uint16_t right) override {
        std::lock_guard lock(mutex_);
        if (closed_) return notOpen();
        volume_.store(std::max(left, right));
        return {};
    }

    SoundError volume(std::uint16_t& left, std::uint16_t& right) override {
        std::lock_guard lock(mutex_);
        if (closed_) return notOpen();
        left = right = volume_.load();
        return {};
    }

    const SoundFormat& format() const override { return format_; }
    std::string deviceName() const override { return path_; }

private:
    static SoundError notOpen() { return BufferQueue::notOpen(); }

    // Under mutex_: played buffers first, then the queued ones, in order.
    void returnAll() {
        for (SoundBuffer* b : played_) queue_.handBack(b);
        played_.clear();
        queue_.returnAll();
    }

    // Pacing thread: from open to close, one tick per buffer length. A tick
    // takes that much sound from the queued buffers (silence where there is
    // none), writes it to the file, and hands back the buffers that finished
    // in the tick before: a buffer counts as played once its time has passed.
    void run() {
        if (streamFd_ >= 0) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        }
        const std::uint32_t tick = tickSamples(format_);
        const std::uint32_t bps = format_.bytesPerSample();
        const std::uint8_t silence = format_.bitsPerSample == 8 ? 128 : 0;
        std::vector<std::uint8_t> bytes(std::size_t(tick) * bps);
        const Clock::time_point anchor = Clock::now();
        std::uint64_t position = 0;
        std::unique_lock lock(mutex_);
        while (!closed_) {
            for (SoundBuffer* b : played_) queue_.handBack(b);
            played_.clear();
            // A file plays each tick at once: a renderer is asked for it
            // with nothing held.
            std::size_t filled = renderer_ ? renderer_->render(bytes.data(), bytes.size(), 0) / bps * bps
                                           : take(bytes.data(), bytes.size());
            std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(filled), bytes.end(), silence);
            std::uint16_t vol = volume_.load();
            lock.unlock();
            if (vol != 0xFFFF) applyVolume(bytes.data(), bytes.size(), vol);
            if (!writeTick(bytes)) writeFailed_.store(true);  // disk full: keep the pace, lose the sound
            lock.lock();
            position += tick;
            wake_.wait_until(lock, deadlineOf(anchor, position, format_.sampleRate), [this] { return closed_; });
        }
    }

    // Pacing thread: one tick's bytes to the file or the stream.
    bool writeTick(const std::vector<std::uint8_t>& bytes) {
        if (file_)
            return sf_write_raw(file_, bytes.data(), static_cast<sf_count_t>(bytes.size())) ==
                   static_cast<sf_count_t>(bytes.size());
        // A tick is smaller than a pipe's atomic write: it goes whole or not
        // at all, so a reader that falls behind loses ticks, never bytes of
        // one, and the pace is kept.
        ssize_t n;
        do {
            n = ::write(streamFd_, bytes.data(), bytes.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno == EPIPE) {
            // The reader is gone: the SIGPIPE this thread blocks is taken
            // back, so it never reaches the process.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec none{};
            ::sigtimedwait(&pipe, nullptr, &none);
        }
        return n == static_cast<ssize_t>(bytes.size());
    }

    // The header of a WAV stream of unknown length at the device format.
    std::array<std::uint8_t, 44> streamHeader() const {
        std::array<std::uint8_t, 44> h{};
        std::size_t at = 0;
        auto text = [&](const char* t) {
            std::memcpy(h.data() + at, t, 4);
            at += 4;
        };
        auto number = [&](std::uint32_t v, int bytes) {
            for (int i = 0; i < bytes; ++i) h[at++] = static_cast<std::uint8_t>(v >> (8 * i));
        };
        const std::uint32_t bps = format_.bytesPerSample();
        text("RIFF");
        number(0xFFFFFFFFu, 4);
        text("WAVE");
        text("fmt ");
        number(16, 4);
        number(1, 2);  // PCM
        number(1, 2);  // mono
        number(format_.sampleRate, 4);
        number(format_.sampleRate * bps, 4);
        number(bps, 2);
        number(format_.bitsPerSample, 2);
        text("data");
        number(0xFFFFFFFFu, 4);
        return h;
    }

    // Under mutex_: copies up to n bytes from the queued buffers.
    std::size_t take(std::uint8_t* out, std::size_t n) {
        std::size_t done = 0;
        std::size_t avail = 0;
        while (done < n) {
            const std::uint8_t* p = queue_.head(avail);
            if (!p) break;
            std::size_t k = std::min(avail, n - done);
            std::memcpy(out + done, p, k);
            done += k;
            if (SoundBuffer* b = queue_.consume(k)) played_.push_back(b);
        }
        return done;
    }

    void applyVolume(std::uint8_t* p, std::size_t n, std::uint16_t vol) const {
        const float gain = static_cast<float>(vol) / 65535.0f;
        if (format_.bitsPerSample == 16) {
            for (std::size_t i = 0; i + 1 < n; i += 2) {
                std::int16_t s;
                std::memcpy(&s, p + i, 2);
                s = static_cast<std::int16_t>(std::lrintf(s * gain));
                std::memcpy(p + i, &s, 2);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i)
                p[i] = static_cast<std::uint8_t>(std::lrintf((p[i] - 128) * gain) + 128);
        }
    }

    const std::string path_;
    const SoundFormat format_;
    SNDFILE* file_ = nullptr;  // pacing thread while it runs; close() after the join
    std::string target_;       // the file written: path_, or the file a link names; open()
    std::string temp_;         // the temporary name of a regular file; open() and close()
    int streamFd_ = -1;        // a FIFO or a device instead of file_; as file_

    std::mutex mutex_;
    std::condition_variable wake_;
    BufferQueue queue_;                // guarded by mutex_
    std::deque<SoundBuffer*> played_;  // finished, handed back at the next tick; guarded
    bool closed_ = false;              // guarded
    SoundRenderer* renderer_ = nullptr;  // guarded
    std::atomic<std::uint16_t> volume_{0xFFFF};
    std::atomic<bool> writeFailed_{false};
    std::thread pacer_;
};

class FileBackend final : public SoundBackend {
public:
    std::string name() const override { return "file"; }

    std::unique_ptr<SoundInput> openInput(const SoundDeviceRef& device, const SoundFormat& format,
                                          MessageThread& thread, SoundError& error) override {
        if (!check(device, format, error)) return nullptr;
        auto in = std::make_unique<FileInput>(device.name, format, thread);
        error = in->open();
        if (error) return nullptr;
        return in;
    }

    std::unique_ptr<SoundOutput> openOutput(const SoundDeviceRef& device, const SoundFormat& format,
                                            MessageThread& thread, SoundError& error) override {
        if (!check(device, format, error)) return nullptr;
        auto out = std::make_unique<FileOutput>(device.name, format, thread);
        error = out->open();
        if (error) return nullptr;
        return out;
    }

    std::vector<SoundDeviceInfo> listInputs(SoundError& error) override {
        error = {};
        return {};
    }
    std::vector<SoundDeviceInfo> listOutputs(SoundError& error) override {
        error = {};
        return {};
    }

private:
    static bool check(const SoundDeviceRef& device, const SoundFormat& format, SoundError& error) {
        if (device.name.empty()) {
            error = SoundError::make(SoundErrorCode::BadDevice, "A file device needs a WAV file name");
            return false;
        }
        error = format.validate();
        return error.ok();
    }
};

}  // namespace

std::unique_ptr<SoundBackend> makeFileBackend() { return std::make_unique<FileBackend>(); }

FileProblem checkRecordingFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || ::access(path.c_str(), R_OK) != 0) {
        const std::string why = std::strerror(errno);
        return {FileProblem::kUnreadable, "cannot read the recording file " + shown(path) + " (" + why + ")"};
    }
    if (!S_ISREG(st.st_mode))
        return {FileProblem::kUnusable, "the recording file " + shown(path) + " is not a regular file"};
    if (std::string why = soundFileProblem(path); !why.empty())
        return {FileProblem::kUnusable, "the recording file " + shown(path) + " is not a WAV file (" + why + ")"};
    return {};
}

FileProblem checkPlayingFile(const std::string& path, const std::string& recordingPath, bool overwrite) {
    // A symbolic link stays a link: the file it names is the one written.
    const std::string target = replaceTarget(path).string();
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) {
        const int err = errno;
        const std::string folder = folderOf(target);
        struct stat dir {};
        if (err != ENOENT || ::stat(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode))
            return {FileProblem::kUnusable, "cannot write the playing file " + shown(path) + " (" + std::strerror(err) + ")"};
    } else {
        if (S_ISDIR(st.st_mode))
            return {FileProblem::kUnusable, "the playing file " + shown(path) + " is a folder"};
        // A pipe or a device is written directly; nothing of it is replaced.
        if (!S_ISREG(st.st_mode)) return {};
        struct stat rec {};
        if (!recordingPath.empty() && ::stat(recordingPath.c_str(), &rec) == 0 && rec.st_dev == st.st_dev &&
            rec.st_ino == st.st_ino)
            return {FileProblem::kConflict, "the playing file " + shown(path) + " is the recording file"};
        // Made read-only by its owner: not replaced, not even by the superuser.
        if (isReadOnly(target)) return {FileProblem::kUnusable, "the playing file " + shown(path) + " is read-only"};
        if (!overwrite && st.st_size > 0 && !looksLikeWav(target))
            return {FileProblem::kConflict, "the playing file " + shown(path) +
                                                " exists and is not a WAV file; give --overwrite to replace it"};
    }
    // The sound goes to a temporary file in the same folder first.
    if (::access(folderOf(target).c_str(), W_OK | X_OK) != 0) {
        const std::string why = std::strerror(errno);
        return {FileProblem::kUnusable, "cannot write the playing file " + shown(path) + " (" + why + ")"};
    }
    return {};
}

}  // namespace ambrel
