#include "audio/SoundBase.h"

#include <cstdio>
#include <new>

#include "audio/ErrorReporter.h"
#include "base/Exception.h"

namespace ambrel {

SoundBase::SoundBase(SoundSystem& sound, ErrorReporter* reporter) : sound_(sound), reporter_(reporter) {}

// The derived destructor has already ended the loop; joining again is harmless
// and covers a derived class that failed half-way through construction.
SoundBase::~SoundBase() {
    thread_.quit();
    thread_.join();
}

void SoundBase::startThread(const char* name) {
    thread_.start([this](const Message& m) { handle(m); }, name);
}

bool SoundBase::post(std::uint32_t id, std::uintptr_t wParam, std::uintptr_t lParam) {
    return thread_.post(id, wParam, lParam);
}

void SoundBase::setSampleRate(std::uint32_t hz) {
    if (sampleRate_.exchange(hz) != hz) formatDirty_.store(true);
}

void SoundBase::setBitsPerSample(std::uint32_t bits) {
    if (bitsPerSample_.exchange(bits) != bits) formatDirty_.store(true);
}

void SoundBase::setSamplesPerBlock(std::uint32_t count) {
    if (samplesPerBlock_.exchange(count) != count) formatDirty_.store(true);
}

void SoundBase::rebuildIfDirty() {
    // Cleared before the values are read: a setter that runs meanwhile marks
    // the format dirty again rather than being forgotten.
    if (!formatDirty_.exchange(false)) return;
    format_.sampleRate = sampleRate_.load();
    format_.bitsPerSample = bitsPerSample_.load();
    format_.blockSamples = samplesPerBlock_.load();
    // A width other than 8 or 16 still gets buffers (of whole bytes); the
    // device refuses the format when it is opened.
    const std::uint32_t bytesPerSample = format_.bitsPerSample >= 8 ? format_.bitsPerSample / 8 : 1;
    const std::size_t bytes = static_cast<std::size_t>(format_.blockSamples) * bytesPerSample;
    try {
        for (int i = 0; i < kBufferCount; ++i) {
            auto& data = data_[static_cast<std::size_t>(i)];
            std::vector<std::uint8_t>(bytes, 0).swap(data);
            SoundBuffer& b = buffers_[static_cast<std::size_t>(i)];
            b.data = data.data();
            b.capacity = static_cast<std::uint32_t>(bytes);
            b.bytesRecorded = 0;
            b.user = static_cast<std::uintptr_t>(i);
        }
    } catch (const std::bad_alloc&) {
        formatDirty_.store(true);
        throw MemoryException();
    }
    bufferBytes_.store(static_cast<std::uint32_t>(bytes));
}

void SoundBase::report(const std::string& line) {
    if (reporter_) {
        reporter_->reportSoundError(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

std::string hexCode(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", code);
    return text;
}

}  // namespace ambrel
