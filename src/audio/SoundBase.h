// The part a recorder and a player share: a message-loop thread, the device
// format (rate, width, samples per buffer) and the 12 one-frame buffers the
// device is lent.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/MessageThread.h"
#include "platform/SoundDevice.h"

namespace ambrel {

class ErrorReporter;

class SoundBase {
public:
    // Buffers lent to the device: fixed, one codec frame each. Twelve keep a
    // sound card fed through a few frame periods of scheduling delay.
    static constexpr int kBufferCount = 12;

    // Values before any codec is chosen.
    static constexpr std::uint32_t kInitialSamplesPerBlock = 1000;
    static constexpr std::uint32_t kInitialBitsPerSample = 16;
    static constexpr std::uint32_t kInitialSampleRate = 22050;

    // `sound` opens the devices and must outlive this object; `reporter`
    // receives device errors (null: they go to stderr). The thread is not
    // started here: the derived class starts it once it is fully built.
    SoundBase(SoundSystem& sound, ErrorReporter* reporter);
    virtual ~SoundBase();

    SoundBase(const SoundBase&) = delete;
    SoundBase& operator=(const SoundBase&) = delete;

    // Format setters: any thread, while the device is closed. Each one marks
    // the format dirty when the value changes; buffers are rebuilt before the
    // next open.
    void setSampleRate(std::uint32_t hz);          // 1000..192000
    void setBitsPerSample(std::uint32_t bits);     // 8 or 16
    void setSamplesPerBlock(std::uint32_t count);  // samples in one buffer (one codec frame)
    std::uint32_t sampleRate() const { return sampleRate_.load(); }
    std::uint32_t bitsPerSample() const { return bitsPerSample_.load(); }
    std::uint32_t samplesPerBlock() const { return samplesPerBlock_.load(); }
    bool formatDirty() const { return formatDirty_.load(); }

    // Bytes in one buffer as last built (0 before the first build).
    // Any thread; stable while the device is open.
    std::uint32_t bufferBytes() const { return bufferBytes_.load(); }

    // Posts a message to the thread (any thread). False once the thread quit.
    bool post(std::uint32_t id, std::uintptr_t wParam = 0, std::uintptr_t lParam = 0);

    // True while the message loop runs (any thread).
    bool running() const { return thread_.running(); }

    // Waits for the message loop to end (after the derived class's quit
    // message). Any thread but this object's own.
    void join() { thread_.join(); }

protected:
    // Starts the message loop with the derived class's handler. Called once,
    // at the end of the derived constructor.
    void startThread(const char* name);

    // One message, on this object's thread.
    virtual void handle(const Message& message) = 0;

    // Rebuilds format and buffers if the format is dirty: a zeroed data area
    // of samplesPerBlock x (bits / 8) bytes per buffer. Only while the device
    // is closed and holds no buffer (on this object's thread, or on the
    // caller's thread before the device was ever opened).
    // Throws MemoryException when the buffers cannot be allocated.
    void rebuildIfDirty();

    // The format devices are opened with (valid after rebuildIfDirty).
    const SoundFormat& format() const { return format_; }

    SoundBuffer& buffer(int index) { return buffers_[static_cast<std::size_t>(index)]; }

    // Sends one error line to the reporter (this object's thread).
    void report(const std::string& line);

    // Ends the message loop after the current message (this object's thread).
    void quitLoop() { thread_.quit(); }

    // The thread devices report to (for opening them).
    MessageThread& messageThread() { return thread_; }

    SoundSystem& sound_;

private:
    ErrorReporter* reporter_;
    MessageThread thread_;

    std::atomic<std::uint32_t> samplesPerBlock_{kInitialSamplesPerBlock};
    std::atomic<std::uint32_t> bitsPerSample_{kInitialBitsPerSample};
    std::atomic<std::uint32_t> sampleRate_{kInitialSampleRate};
    std::atomic<bool> formatDirty_{true};
    std::atomic<std::uint32_t> bufferBytes_{0};

    SoundFormat format_;
    std::array<SoundBuffer, kBufferCount> buffers_;
    std::array<std::vector<std::uint8_t>, kBufferCount> data_;
};

// "%x" of a device error code, as the error lines show it.
std::string hexCode(std::uint32_t code);

}  // namespace ambrel
