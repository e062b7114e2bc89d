// The sound server's mixer as a MixerDevice: destination 0 is the speakers
// line (the default sink), destination 1 the recording line (the default
// source) with one source line, the microphone (also the default source).
// Each line has one volume control whose channel values are the PulseAudio
// channel volumes (0 .. PA_VOLUME_NORM = 100 %, 256 steps; louder-than-100 %
// values read as 100 %). The server's change events for sinks, sources and
// the default devices reach the change listeners.
//
// The libpulse threaded main loop runs its own thread; every MixerDevice call
// locks it and waits for the server's answer, so calls block the caller for
// one round trip.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MixerDevice.h"
#include "platform/MixerListeners.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_operation;

namespace ambrel {

// Which sink is the speakers line and which source the recording and
// microphone lines. The default names follow the server's default devices,
// also when they change.
struct PulseMixerDevices {
    std::string sink = "@DEFAULT_SINK@";
    std::string source = "@DEFAULT_SOURCE@";
};

class PulseMixer : public MixerDevice {
public:
    static constexpr uint32_t kSpeakersControl = kSpeakersVolumeControl;
    static constexpr uint32_t kRecordingControl = kRecordingVolumeControl;
    static constexpr uint32_t kMicrophoneControl = kMicrophoneVolumeControl;
    static constexpr uint32_t kSteps = 256;

    using Devices = PulseMixerDevices;

    // Connects to the sound server (PULSE_SERVER or the usual places; never
    // starts one). Returns null, with the reason in `error` if given, when no
    // server answers. Any thread.
    static std::unique_ptr<PulseMixer> open(std::string* error = nullptr, Devices devices = Devices());
    ~PulseMixer() override;

    int destinationCount() override;
    std::optional<MixerLineInfo> destination(int index) override;
    std::optional<MixerLineInfo> source(int destination, int index) override;
    std::optional<MixerControlInfo> lineControl(int destination, int source, uint32_t controlType) override;
    bool readControl(uint32_t controlId, std::vector<uint32_t>& values) override;
    bool writeControl(uint32_t controlId, const std::vector<uint32_t>& values) override;
    int addChangeListener(std::function<void(uint32_t)> listener) override;
    void removeChangeListener(int token) override;

    // Whether the connection to the server still stands.
    bool connected();

private:
    PulseMixer() = default;
    struct DeviceState {
        bool ok = false;
        std::string description;
        std::vector<uint32_t> volumes;
    };
    // Reads the default sink (sink = true) or source. Caller holds the loop lock.
    DeviceState queryLocked(bool sink);
    bool waitLocked(pa_operation* op);
    void notify(uint32_t facilityMask);

    static void contextStateCallback(pa_context* context, void* self);
    static void subscribeCallback(pa_context* context, int type, uint32_t index, void* self);

    Devices devices_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;

    MixerListeners listeners_;
};

}  // namespace ambrel
