#include "audio/SoundRecorder.h"

#include "base/Exception.h"

namespace ambrel {

SoundRecorder::SoundRecorder(SoundSystem& sound, ErrorReporter* reporter) : SoundBase(sound, reporter) {
    startThread("ambrel-record");
}

SoundRecorder::~SoundRecorder() { quitAndWait(); }

// Caller's thread.
void SoundRecorder::quitAndWait() {
    post(REC_QUIT);
    join();
}

// Recorder thread.
void SoundRecorder::handle(const Message& message) {
    switch (message.id) {
    case REC_START:
        onStart();
        break;
    case REC_STOP:
        onStop();
        break;
    case REC_QUIT:
        if (isOpen_.load()) onStop();
        closeDevice();  // a device left open by a failed start or stop
        quitLoop();
        break;
    case REC_REFORMAT:
        if (isOpen_.load()) {
            onStop();
            onStart();
        }
        break;
    case kMsgInputData:
        onData(message);
        break;
    default:
        break;
    }
}

// Recorder thread.
void SoundRecorder::onStart() {
    // A second REC_START while recording would open the device twice.
    if (isOpen_.load()) return;
    // A device whose start failed earlier is still open: release it first so
    // that it hands back the buffers before they are lent again.
    closeDevice();

    SoundError error;
    try {
        // Rebuilt here rather than on the caller's thread: only this thread
        // knows that the previous device has given every buffer back.
        rebuildIfDirty();
        device_ = sound_.openInput(deviceId_.load(), format(), messageThread(), error);
    } catch (const MemoryException&) {
        error = SoundError::make(SoundErrorCode::NoMemory, "Out of memory for the sound buffers");
    }
    if (!device_) {
        if (error.ok()) error = SoundError::make(SoundErrorCode::Failed, "The device cannot be opened");
        report("RECORD: Open : " + hexCode(error.value()) + " : " + error.text);
        return;
    }
    current_.store(device_.get(), std::memory_order_release);
    if (!device_->setCapturer(&capturer_))
        for (int i = 0; i < kBufferCount; ++i) device_->addBuffer(&buffer(i));
    error = device_->start();
    if (error) {
        report("RECORD: Start : " + hexCode(error.value()) + " : " + error.text);
    } else {
        isOpen_.store(true);
    }
    if (SoundListener* l = listener_.load()) l->opened();
}

// Recorder thread.
void SoundRecorder::onStop() {
    if (!isOpen_.load()) return;
    const bool stopped = device_->stop().ok();
    bool wasReset = false;
    if (stopped) {
        isOpen_.store(false);
        wasReset = device_->reset().ok();
    }
    // The reset posts every lent buffer back with 0 bytes; those reports queue
    // up behind this message and are dropped when they arrive, so there is
    // nothing to wait for before closing.
    if (stopped && wasReset) closeDevice();
    if (SoundListener* l = listener_.load()) l->closed();
}

// Recorder thread. One buffer is back from the device.
void SoundRecorder::onData(const Message& message) {
    SoundBuffer* b = message.lParamAs<SoundBuffer>();
    // A report from a device that has been closed since, or for a buffer that
    // is already lent again, is stale: its contents (its length too) are not
    // ours to read, so that is checked before anything else.
    if (!b || !device_ || message.wParamAs<SoundInput>() != device_.get() || b->inDevice.load()) return;
    if (b->bytesRecorded == 0) return;
    if (b->data) {
        if (SoundListener* l = listener_.load()) l->block(b->data, b->bytesRecorded);
    }
    if (isOpen_.load()) {
        b->bytesRecorded = 0;
        device_->addBuffer(b);
    }
}

// The device's own thread, while it records.
void SoundRecorder::Capturer::captured(const std::uint8_t* data, std::size_t bytes) {
    if (SoundListener* l = recorder_.listener_.load()) l->block(data, bytes);
}

// Recorder thread.
void SoundRecorder::closeDevice() {
    if (!device_) return;
    current_.store(nullptr, std::memory_order_release);
    device_->close();
    device_.reset();
}

}  // namespace ambrel
