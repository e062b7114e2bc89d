// Helpers of the application tests: a scripted audio half that "records" a
// small frame every 20 ms while capturing, a raw UDP peer on loopback, and
// bounded waits that keep the Qt event loop running.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/AudioSink.h"
#include "link/LinkAudio.h"

namespace ambrel::test {

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

// A raw UDP socket bound to a free loopback port.
class UdpPeer {
public:
    UdpPeer() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~UdpPeer() { ::close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    int port() const { return port_; }

    // One datagram, or an empty vector after ms without one.
    std::vector<uint8_t> receive(int ms, sockaddr_in* from = nullptr) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return {};
        std::vector<uint8_t> buffer(65536);
        sockaddr_in sender{};
        socklen_t len = sizeof sender;
        ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &len);
        if (n < 0) return {};
        if (from) *from = sender;
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }

    void sendTo(const sockaddr_in& to, const std::vector<uint8_t>& bytes) {
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port that nothing listens on (bound and released at once).
inline int freeUdpPort() {
    UdpPeer probe;
    return probe.port();
}

}  // namespace ambrel::test
