// The recorder thread: opens the recording device on REC_START, lends it the
// 12 one-frame buffers, hands every filled buffer to its listener and lends
// it back, until REC_STOP. A device that can hand its sound over itself
// (SoundInput::setCapturer) calls the listener's block() on its own thread
// instead, so this thread is not woken for every frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/SoundBase.h"
#include "audio/SoundListener.h"

namespace ambrel {

class SoundRecorder : public SoundBase {
public:
    // Thread messages (posted with post()).
    static constexpr std::uint32_t REC_START = 0x5F4;  // open the device and start recording
    static constexpr std::uint32_t REC_STOP = 0x5F5;   // stop, reset and close the device
    static constexpr std::uint32_t REC_QUIT = 0x5F6;   // stop if recording, end the loop
    // If recording: stop, then start again, so a new format takes effect.
    static constexpr std::uint32_t REC_REFORMAT = 0x5F7;

    // Starts the recorder thread; the device stays closed until REC_START.
    SoundRecorder(SoundSystem& sound, ErrorReporter* reporter);
    // Quits the thread (stopping the device first) and waits for it.
    ~SoundRecorder() override;

    // The listener's opened() and closed() run on the recorder thread, its
    // block() there or on the device's own thread, one call at a time and
    // never after closed(). Set it before the first REC_START; null: buffers
    // are recorded and dropped.
    void setListener(SoundListener* listener) { listener_.store(listener); }

    // Recording device: -1 = the default device, n >= 1 = the n-th device of
    // the list, or a SoundSystem alias. Used at the next open. Any thread.
    void setDeviceId(int device) { deviceId_.store(device); }
    int deviceId() const { return deviceId_.load(); }

    // True while the device is open and recording (any thread; a snapshot).
    bool isOpen() const { return isOpen_.load(); }

    // The open device's SoundInput::isLive() and latencyMicros() (false and
    // 0 while none is open). From the listener's block() only: the device
    // cannot close during that call.
    bool inputIsLive() const {
        const SoundInput* d = current_.load(std::memory_order_acquire);
        return d && d->isLive();
    }
    std::uint32_t inputLatencyMicros() const {
        const SoundInput* d = current_.load(std::memory_order_acquire);
        return d ? d->latencyMicros() : 0;
    }

    // Posts REC_QUIT and waits for the thread to end. Any thread but the
    // recorder's own; harmless when the thread has already ended.
    void quitAndWait();

protected:
    void handle(const Message& message) override;  // recorder thread

private:
    // Handlers, all on the recorder thread.
    void onStart();
    void onStop();
    void onData(const Message& message);
    void closeDevice();

    // Hands the blocks of a device that delivers them itself to the listener.
    class Capturer : public SoundCapturer {
    public:
        explicit Capturer(SoundRecorder& recorder) : recorder_(recorder) {}
        void captured(const std::uint8_t* data, std::size_t bytes) override;  // device thread

    private:
        SoundRecorder& recorder_;
    };

    Capturer capturer_{*this};
    std::atomic<bool> isOpen_{false};
    std::unique_ptr<SoundInput> device_;  // recorder thread only
    std::atomic<SoundInput*> current_{nullptr};  // device_, written by the recorder thread
    std::atomic<SoundListener*> listener_{nullptr};
    std::atomic<int> deviceId_{-1};
};

}  // namespace ambrel
