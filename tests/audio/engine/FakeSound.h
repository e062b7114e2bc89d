// A scripted sound backend for the engine's edge cases: the test decides when
// a recording buffer is filled and when a playing buffer is finished, and can
// make opens fail. Devices post their reports exactly as real backends do.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/ErrorReporter.h"
#include "platform/MessageThread.h"
#include "platform/SoundDevice.h"

namespace ambrel::test {

// Polls `done` until it holds or `seconds` pass; true if it held.
inline bool waitFor(const std::function<bool()>& done, double seconds = 10.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Collects the error lines (sound threads).
class CollectingReporter : public ErrorReporter {
public:
    void reportSoundError(const std::string& line) override {
        std::lock_guard<std::mutex> hold(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Everything the fake devices did, shared with the test (all under mutex).
struct FakeState {
    std::mutex mutex;
    int inputOpens = 0, outputOpens = 0;
    int failOpens = 0;      // the next this many opens fail with BadDevice
    int failWrites = 0;     // the next this many writes fail as if the server dropped the stream
    int addBuffers = 0;     // SoundInput::addBuffer calls that succeeded
    int starts = 0, closes = 0;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> volumes;
    std::vector<std::vector<std::uint8_t>> written;  // copies taken at write()
    std::deque<SoundBuffer*> inputQueue, outputQueue;
    MessageThread* inputThread = nullptr;
    MessageThread* outputThread = nullptr;
    const void* input = nullptr;
    const void* output = nullptr;
    SoundFormat inputFormat, outputFormat;

    int get(int FakeState::*field) {
        std::lock_guard<std::mutex> hold(mutex);
        return this->*field;
    }

    // Fills the oldest queued recording buffer with `fill` and hands it back.
    // Test thread. False if no buffer is queued.
    bool fillInput(const std::function<void(std::uint8_t*, std::uint32_t)>& fill) {
        std::lock_guard<std::mutex> hold(mutex);
        if (inputQueue.empty()) return false;
        SoundBuffer* b = inputQueue.front();
        inputQueue.pop_front();
        fill(b->data, b->capacity);
        b->bytesRecorded = b->capacity;
        b->inDevice.store(false);
        inputThread->post(kMsgInputData, reinterpret_cast<std::uintptr_t>(input), reinterpret_cast<std::uintptr_t>(b));
        return true;
    }

    // Hands back the oldest playing buffer as played. Test thread.
    bool finishOutput() {
        std::lock_guard<std::mutex> hold(mutex);
        if (outputQueue.empty()) return false;
        SoundBuffer* b = outputQueue.front();
        outputQueue.pop_front();
        b->inDevice.store(false);
        outputThread->post(kMsgOutputDone, reinterpret_cast<std::uintptr_t>(output), reinterpret_cast<std::uintptr_t>(b));
        return true;
    }

    std::size_t outputQueued() {
        std::lock_guard<std::mutex> hold(mutex);
        return outputQueue.size();
    }
};

class FakeInput : public SoundInput {
public:
    FakeInput(FakeState& s, const SoundFormat& f) : s_(s), format_(f) {}
    ~FakeInput() override { close(); }
    SoundError addBuffer(SoundBuffer* b) override {
        std::lock_guard<std::mutex> hold(s_.mutex);
        if (closed_) return SoundError::make(SoundErrorCode::InvalidHandle, "closed");
        if (b->inDevice.load()) return SoundError::make(SoundErrorCode::StillPlaying, "queued");
        b->inDevice.store(true);
        s_.inputQueue.push_back(b);
        ++s_.addBuffers;
        return {};
    }
    SoundError start() override {
        std::lock_guard<std::mutex> hold(s_.mutex);
        ++s_.starts;
        return {};
    }
    SoundError stop() override { return {}; }
    SoundError reset() override {
        std::lock_guard<std::mutex> hold(s_.mutex);
        returnAll();
        return {};
    }
    SoundError close() override {
        std::lock_guard<std::mutex> hold(s_.mutex);
        if (closed_) return SoundError::make(SoundErrorCode::InvalidHandle, "closed");
        closed_ = true;
        returnAll();
        ++s_.closes;
        s_.input = nullptr;
        return {};
    }
    const SoundFormat& format() const override { return format_; }
    std::string deviceName() const override { return "fake"; }

private:
    void returnAll() {
        for (SoundBuffer* b : s_.inputQueue) {
            b->bytesRecorded = 0;
            b->inDevice.store(false);
            s_.inputThread->post(kMsgInputData, reinterpret_cast<std::uintptr_t>(this),
                                 reinterpret_cast<std::uintptr_t>(b));
        }
        s_.inputQueue.clear();
    }
    FakeState& s_;
    SoundFormat format_;
    bool closed_ = false;
};

class FakeOutput : public SoundOutput {
public:
    FakeOutput(FakeState& s, const SoundFormat& f) : s_(s), format_(f) {}
    ~FakeOutput() override { close(); }
    SoundError write(SoundBuffer* b) override {
        std::lock_guard<std::mutex> hold(s_.mutex);
        if (closed_) return SoundError::make(SoundErrorCode::InvalidHandle, "closed");
        if (s_.failWrites > 0) {
            --s_.failWrites;
            return SoundError::make(SoundErrorCode::StreamFailed, "The sound server closed the stream");
        }
        if (b->inDevice.load()) return SoundError::make(SoundErrorCode::StillPlaying, "queued");
        b->inDevice.store(true);
        s_.outputQueue.push_back(b);
        s_.written.emplace_back(b->data, b->data + b->capacity);
        return {};
    }
    SoundError reset() override {
        std::lock_guard<std::mutex> hold(s_.mutex);
        returnAll();
        return {};
    }
    SoundError close() override {
        std::lock_guard<std::mutex> hold(s_.mutex);
        if (closed_) return SoundError::make(SoundErrorCode::InvalidHandle, "closed");
        closed_ = true;
        returnAll();
        ++s_.closes;
        s_.output = nullptr;
        return {};
    }
    SoundError setVolume(std::uint16_t l, std::uint16_t r) override {
        std::lock_guard<std::mutex> hold(s_.mutex);
        s_.volumes.emplace_back(l, r);
        return {};
    }
    SoundError volume(std::uint16_t& l, std::uint16_t& r) override {
        l = r = 0xFFFF;
        return {};
    }
    const SoundFormat& format() const override { return format_; }
    std::string deviceName() const override { return "fake"; }

private:
    void returnAll() {
        for (SoundBuffer* b : s_.outputQueue) {
            b->inDevice.store(false);
            s_.outputThread->post(kMsgOutputDone, reinterpret_cast<std::uintptr_t>(this),
                                  reinterpret_cast<std::uintptr_t>(b));
        }
        s_.outputQueue.clear();
    }
    FakeState& s_;
    SoundFormat format_;
    bool closed_ = false;
};

class FakeBackend : public SoundBackend {
public:
    explicit FakeBackend(FakeState& s) : s_(s) {}
    std::string name() const override { return "fake"; }
    std::unique_ptr<SoundInput> openInput(const SoundDeviceRef&, const SoundFormat& format, MessageThread& thread,
                                          SoundError& error) override {
        std::lock_guard<std::mutex> hold(s_.mutex);
        ++s_.inputOpens;
        if (s_.failOpens > 0) {
            --s_.failOpens;
            error = SoundError::make(SoundErrorCode::BadDevice, "No such device");
            return nullptr;
        }
        auto in = std::make_unique<FakeInput>(s_, format);
        s_.inputThread = &thread;
        s_.input = in.get();
        s_.inputFormat = format;
        return in;
    }
    std::unique_ptr<SoundOutput> openOutput(const SoundDeviceRef&, const SoundFormat& format, MessageThread& thread,
                                            SoundError& error) override {
        std::lock_guard<std::mutex> hold(s_.mutex);
        ++s_.outputOpens;
        if (s_.failOpens > 0) {
            --s_.failOpens;
            error = SoundError::make(SoundErrorCode::BadDevice, "No such device");
            return nullptr;
        }
        auto out = std::make_unique<FakeOutput>(s_, format);
        s_.outputThread = &thread;
        s_.output = out.get();
        s_.outputFormat = format;
        return out;
    }
    std::vector<SoundDeviceInfo> listInputs(SoundError&) override { return {}; }
    std::vector<SoundDeviceInfo> listOutputs(SoundError&) override { return {}; }

private:
    FakeState& s_;
};

// A SoundSystem whose only backend is the fake one.
inline std::unique_ptr<SoundSystem> makeFakeSystem(FakeState& state) {
    auto sys = std::make_unique<SoundSystem>();
    sys->addBackend(std::make_unique<FakeBackend>(state));
    return sys;
}

}  // namespace ambrel::test
