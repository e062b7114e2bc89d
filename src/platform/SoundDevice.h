// The sound-device layer: recording and playing devices that take caller-owned
// buffers and hand them back one at a time through a message thread, like a
// sound card driven by a thread call-back.
//
//   SoundSystem sound;                       // created by the application
//   sound.addBackend(makePulseBackend());    // first backend = default one
//   sound.addBackend(makeFileBackend());
//   SoundError err;
//   auto in = sound.openInput(-1, format, thread, err);   // default source
//   in->addBuffer(&buf[0]); ... in->start();
//   // thread handler: Message{kMsgInputData, wParam = in.get(), lParam = &buf[k]}
//
// Backends: the PulseAudio client (PulseBackend.h), ALSA (AlsaBackend.h) and
// WAV files paced like a sound card (FileBackend.h). Errors are returned as SoundError values, never
// thrown.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ambrel {

class MessageThread;

// Messages a device posts to its message thread. wParam: the SoundInput* or
// SoundOutput* that posted it (to compare with, not to call: the device may be
// closed and gone by the time the message is handled); lParam: the
// SoundBuffer* handed back, the caller's own again from that moment.
inline constexpr std::uint32_t kMsgInputData = 0x3C0;   // a recording buffer is back
inline constexpr std::uint32_t kMsgOutputDone = 0x3BD;  // a playing buffer is back

// Error codes (shown in hexadecimal next to the text).
enum class SoundErrorCode : std::uint32_t {
    Ok = 0,
    Failed = 1,           // unspecified failure (see the text)
    BadDevice = 2,        // no such device number or name
    Busy = 4,             // the device is in use by another program
    InvalidHandle = 5,    // the device is not open (or already closed)
    NoServer = 6,         // the sound server cannot be reached
    NoMemory = 7,
    InvalidParam = 11,    // bad argument (null buffer, zero capacity, ...)
    BadFormat = 32,       // format not supported (rate 0, width not 8 or 16)
    StillPlaying = 33,    // the buffer is already queued on a device
    FileError = 0x100,    // a WAV file cannot be opened, read or written
    StreamFailed = 0x101, // the server ended or refused the stream
};

// The outcome of a device call: code Ok and an empty text on success.
struct SoundError {
    SoundErrorCode code = SoundErrorCode::Ok;
    std::string text;  // one line for the user, e.g. "Connection refused"

    bool ok() const { return code == SoundErrorCode::Ok; }
    explicit operator bool() const { return !ok(); }  // true on failure
    std::uint32_t value() const { return static_cast<std::uint32_t>(code); }
    static SoundError make(SoundErrorCode c, std::string t) { return {c, std::move(t)}; }
};

// Linear PCM, one channel. 16-bit samples are signed native-endian, 8-bit
// samples unsigned with silence at 128 (WAV's conventions).
struct SoundFormat {
    std::uint32_t sampleRate = 8000;   // Hz, 1000..192000
    std::uint32_t bitsPerSample = 16;  // 8 or 16
    // Samples in one buffer the caller will queue (one codec frame). Used as
    // the device's latency target; 0 means 20 ms worth.
    std::uint32_t blockSamples = 0;

    std::uint32_t bytesPerSample() const { return bitsPerSample / 8; }
    std::uint32_t bytesPerSecond() const { return sampleRate * bytesPerSample(); }
    std::uint32_t blockBytes() const {
        return (blockSamples ? blockSamples : sampleRate / 50) * bytesPerSample();
    }
    // Ok, or BadFormat with a text saying what is wrong.
    SoundError validate() const;
};

// One buffer, owned by the caller, lent to a device between addBuffer()/write()
// and the message that hands it back. While lent, only the device touches it.
struct SoundBuffer {
    std::uint8_t* data = nullptr;
    // Bytes at data: the recorded or played length, a whole number of samples.
    std::uint32_t capacity = 0;
    // Set by a recording device when it hands the buffer back: capacity, or 0
    // after a reset or close. 0 from a playing device.
    std::uint32_t bytesRecorded = 0;
    std::uintptr_t user = 0;          // free for the caller (e.g. a ring index)
    // True from addBuffer()/write() until the device has posted the buffer
    // back (cleared just before posting). Written by the device's threads.
    std::atomic<bool> inDevice{false};
};

// Where a recording device that hands its sound over itself sends it (see
// SoundInput::setCapturer).
class SoundCapturer {
public:
    virtual ~SoundCapturer() = default;
    // One recorded block of format().blockBytes() bytes, valid only during
    // the call. Runs on the device's own thread (a sound server's client
    // thread, under that client's lock, the thread that reads a sound card,
    // or a file's pacing thread), one call at a time: it must not call the device, and should
    // neither wait long nor allocate.
    virtual void captured(const std::uint8_t* data, std::size_t bytes) = 0;
};

// A recording device. All calls from one thread (the message thread it
// reports to); the buffer reports arrive on that thread too.
class SoundInput {
public:
    virtual ~SoundInput() = default;  // closes (see close())

    // Appends a buffer to the device's queue. Buffers are filled in the order
    // they were added; each filled buffer (bytesRecorded = capacity) is posted
    // back as kMsgInputData. StillPlaying if the buffer is already queued.
    virtual SoundError addBuffer(SoundBuffer* buffer) = 0;
    // Starts (or resumes) recording into the queued buffers. While no buffer
    // is queued, captured sound is dropped, as a sound card would.
    virtual SoundError start() = 0;
    // Pauses recording; queued buffers stay queued (a partly filled one keeps
    // its place and is finished after the next start()).
    virtual SoundError stop() = 0;
    // Stops and posts every queued buffer back, in queue order, with
    // bytesRecorded = 0 (a partly filled buffer's samples are dropped).
    virtual SoundError reset() = 0;
    // Resets and releases the device. Buffers queued at that moment are
    // posted back with 0 bytes; after close() no more messages are posted and
    // every call returns InvalidHandle. Safe to call twice.
    virtual SoundError close() = 0;

    // Devices that can hand recorded sound over on their own thread: from
    // now on, until close() or setCapturer(nullptr), every block recorded
    // while the device runs goes to `capturer` instead of into lent buffers
    // (those stay queued and go back at reset() or close()). This spares
    // waking the message thread for every block. stop() keeps a partly
    // recorded block, reset() drops it. Returns false when the device
    // cannot (the default). Once stop(), reset() or close() has returned, no
    // captured() call runs until the next start(); once this call has
    // returned, none runs for an earlier capturer.
    virtual bool setCapturer(SoundCapturer* capturer) {
        (void)capturer;
        return false;
    }

    virtual const SoundFormat& format() const = 0;
    // The backend's name for the opened device (source name or file path).
    virtual std::string deviceName() const = 0;

    // True for a device that records a room (a sound card or a sound
    // server's source), false for a file. Any thread.
    virtual bool isLive() const { return false; }
    // How long ago the sound of the block being handed over reached the
    // device: the device's and the server's own delay, as they last reported
    // it (microseconds; 0 when unknown). The thread the blocks are handed
    // over on.
    virtual std::uint32_t latencyMicros() const { return 0; }
};

// Where a device that asks for its sound itself takes it from (see
// SoundOutput::setRenderer).
class SoundRenderer {
public:
    virtual ~SoundRenderer() = default;
    // Writes up to `bytes` bytes (whole samples) of the next sound to `data`
    // and returns how many it wrote; less than asked means it has no more for
    // now. `heldSamples`: sound the device holds and has not played yet.
    // Runs on the device's own thread (a sound server's client thread, under
    // that client's lock), or on the thread of a wake() call: it must neither
    // block nor allocate.
    virtual std::size_t render(std::uint8_t* data, std::size_t bytes, std::uint32_t heldSamples) = 0;
    // The device failed while rendering (a stream the server dropped): no
    // more render() calls come. Same threads as render().
    virtual void lost() {}
};

// A playing device. All calls from one thread (the message thread it reports
// to). Playback starts with the first written buffer.
class SoundOutput {
public:
    virtual ~SoundOutput() = default;  // closes (see close())

    // Queues a buffer to play; its whole capacity is played, buffers in the
    // order written. Posted back as kMsgOutputDone once played (consumed by
    // the sound server). StillPlaying if the buffer is already queued.
    virtual SoundError write(SoundBuffer* buffer) = 0;
    // Stops playing and posts every queued buffer back, in order, at once.
    virtual SoundError reset() = 0;
    // Resets and releases the device; no messages after it; every call then
    // returns InvalidHandle. Safe to call twice.
    virtual SoundError close() = 0;
    // The stream's own volume, 0..0xFFFF per channel (0xFFFF = 100 %, no
    // change of the sound). The stream is mono: the louder of the two is used.
    virtual SoundError setVolume(std::uint16_t left, std::uint16_t right) = 0;
    // Reads the stream's volume back in the same units.
    virtual SoundError volume(std::uint16_t& left, std::uint16_t& right) = 0;

    // Devices that can ask for their sound themselves: from now on, until
    // reset(), close() or setRenderer(nullptr), the device calls `renderer`
    // whenever it has room, on its own thread, and plays no lent buffers.
    // This spares a thread hand-off for every block. Returns false when the
    // device cannot (the default); buffers are then written as usual. When
    // it returns, no render() call runs any more for an earlier renderer.
    virtual bool setRenderer(SoundRenderer* renderer) {
        (void)renderer;
        return false;
    }
    // A renderer that returned short has sound again: the device asks it now
    // if it has room. An error means the device is gone.
    virtual SoundError wake() { return {}; }

    virtual const SoundFormat& format() const = 0;
    virtual std::string deviceName() const = 0;

    // How long sound handed over now takes to reach the speaker beyond the
    // sound the device already holds for its caller (the `heldSamples` of
    // render(), or the lent buffers): the server's and the card's own delay
    // as they last reported it (microseconds; 0 when unknown). The thread
    // that hands sound over (the renderer's, or the message thread).
    virtual std::uint32_t latencyMicros() const { return 0; }
};

// A device as --list-devices shows it.
struct SoundDeviceInfo {
    int number = 0;            // 1-based position in its list (the -i:/-o: number)
    std::string name;          // the backend's name (PulseAudio source/sink name)
    std::string description;   // human-readable
    bool isDefault = false;    // the server's default source/sink
};

// Which device to open: by number (-1 = the default device, n >= 1 = the
// n-th entry of the backend's list) or by the backend's own name (a PulseAudio
// source or sink name, monitors such as "mysink.monitor" included; for the
// file backend the WAV path). The name wins when it is not empty.
struct SoundDeviceRef {
    std::string backend;  // backend name ("pulse", "alsa", "file"); empty = the first backend
    int number = -1;
    std::string name;

    SoundDeviceRef() = default;
    SoundDeviceRef(int n) : number(n) {}  // NOLINT: a plain device number converts
    static SoundDeviceRef named(std::string deviceName, std::string backendName = {});
    static SoundDeviceRef file(std::string path);  // the file backend, a WAV path

    // Parses the device part of "-i:device"/"-o:device": a decimal number
    // ("-1", "0" = default, "3") or a name. Empty text = default.
    static SoundDeviceRef parse(std::string_view text);
    std::string describe() const;  // for messages: "default", "#3", "a_mic", "file:x.wav"
};

// One kind of sound device. Implementations: PulseBackend, AlsaBackend, FileBackend.
// Calls may come from any thread; a backend serialises them itself.
class SoundBackend {
public:
    virtual ~SoundBackend() = default;

    virtual std::string name() const = 0;  // "pulse", "file"

    // Opens a recording/playing device that posts its buffers to `thread`
    // (which must outlive the device, or the device must be closed first).
    // On failure returns null and fills `error`.
    virtual std::unique_ptr<SoundInput> openInput(const SoundDeviceRef& device,
                                                  const SoundFormat& format,
                                                  MessageThread& thread,
                                                  SoundError& error) = 0;
    virtual std::unique_ptr<SoundOutput> openOutput(const SoundDeviceRef& device,
                                                    const SoundFormat& format,
                                                    MessageThread& thread,
                                                    SoundError& error) = 0;

    // Recording devices (monitors excluded) and playing devices, numbered
    // from 1 in the backend's order. An empty list with Ok means none.
    virtual std::vector<SoundDeviceInfo> listInputs(SoundError& error) = 0;
    virtual std::vector<SoundDeviceInfo> listOutputs(SoundError& error) = 0;
};

// The application's sound system: the registered backends, in order. Created
// explicitly (one per program, or one per test). Devices opened from it keep
// what they need alive and may outlive it. Thread-safe after the backends are
// added.
class SoundSystem {
public:
    SoundSystem();
    ~SoundSystem();
    SoundSystem(const SoundSystem&) = delete;
    SoundSystem& operator=(const SoundSystem&) = delete;

    // Registers a backend; the first one is the default for device refs
    // without a backend name. Call before opening anything (setup thread).
    void addBackend(std::unique_ptr<SoundBackend> backend);
    SoundBackend* backend(std::string_view name) const;  // null if unknown
    SoundBackend* defaultBackend() const;                // null if none

    // Gives a device ref a number that openInput/openOutput(int) accept, for
    // callers that carry only an int device number (the link's addPlayer, the
    // recorder's device number). Returns kAliasBase, kAliasBase + 1, ...
    static constexpr int kAliasBase = 0x10000;
    int alias(const SoundDeviceRef& device);
    // The ref a number stands for: an alias's ref, else SoundDeviceRef(number).
    SoundDeviceRef resolve(int number) const;

    // Opens through the ref's backend (see SoundBackend). An unknown backend
    // name gives BadDevice.
    std::unique_ptr<SoundInput> openInput(const SoundDeviceRef& device, const SoundFormat& format,
                                          MessageThread& thread, SoundError& error);
    std::unique_ptr<SoundOutput> openOutput(const SoundDeviceRef& device, const SoundFormat& format,
                                            MessageThread& thread, SoundError& error);
    // Same, with a plain or alias number.
    std::unique_ptr<SoundInput> openInput(int device, const SoundFormat& format,
                                          MessageThread& thread, SoundError& error);
    std::unique_ptr<SoundOutput> openOutput(int device, const SoundFormat& format,
                                            MessageThread& thread, SoundError& error);

    // The default backend's lists (what --list-devices prints).
    std::vector<SoundDeviceInfo> listInputs(SoundError& error);
    std::vector<SoundDeviceInfo> listOutputs(SoundError& error);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The usual set: the PulseAudio backend (default), ALSA and the file backend.
// Defined in SoundSystem.cpp.
std::unique_ptr<SoundSystem> makeStandardSoundSystem();

// "--list-devices" text: a "Recording devices:" and a "Playing devices:"
// section, one "  n: name - description" line each, "(default)" marking the
// default; on failure the error text instead of the entries. With the
// PulseAudio backend first, the sinks' monitors follow the recording devices,
// unnumbered and marked "(monitor)"; with an ALSA backend, an "ALSA devices"
// section lists its hinted PCMs as "  alsa:NAME - description".
std::string formatDeviceList(SoundSystem& sound);

}  // namespace ambrel
