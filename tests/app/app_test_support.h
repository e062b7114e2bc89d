// Helpers of the window tests: a scripted audio half that "records" a small
// frame every 20 ms while capturing, and bounded waits that keep the Qt event
// loop running.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/app_udp_peer.h"
#include "audio/AudioSink.h"
#include "audio/LinkAudio.h"

namespace ambrel::test {

// The process's one QApplication (made on first use; never destroyed, as
// widgets of finished tests may still be queued for deletion).
inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "ambrel-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Runs the Qt event loop until pred() holds or timeoutMs passes.
inline bool waitFor(const std::function<bool()>& pred, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// Keeps the event loop running for ms.
inline void spin(int ms) {
    waitFor([] { return false; }, ms);
}

// The audio half of a link without a sound card: while capturing, a thread
// hands a 10-byte frame to the sink every 20 ms; received frames are counted.
class FakeAudio : public LinkAudio {
public:
    explicit FakeAudio(int level = 0) : level_(level) {}
    ~FakeAudio() override { stopCapture(); }

    void setSink(AudioSink* sink) override { sink_ = sink; }
    void resetCaptureLevel() override {}
    int addPlayer(int device) override {
        playerDevice = device;
        return 0;
    }
    void startCapture() override {
        std::lock_guard<std::mutex> guard(lock_);
        if (running_) return;
        running_ = true;
        captures++;
        thread_ = std::thread([this] {
            uint8_t frame[10];
            uint8_t n = 0;
            while (running_) {
                for (auto& b : frame) b = n;
                ++n;
                sink_.load()->onFrameEncoded(frame, sizeof frame);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    void playFrame(int, const uint8_t*, int) override { framesPlayed++; }
    void stopCapture() override {
        std::lock_guard<std::mutex> guard(lock_);
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    void shutdown() override { stopCapture(); }
    int captureLevel() override { return level_; }
    int playerLevel(int) override { return level_; }
    void setVoiceFeatures(unsigned features) override { voiceFeatures = features; }

    std::atomic<unsigned> voiceFeatures{~0u};  // ~0: never set
    std::atomic<int> framesPlayed{0};
    std::atomic<int> captures{0};
    std::atomic<int> playerDevice{-99};

private:
    std::atomic<AudioSink*> sink_{nullptr};
    std::mutex lock_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    int level_;
};

}  // namespace ambrel::test
