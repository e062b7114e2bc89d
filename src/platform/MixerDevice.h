// A sound mixer as the volume sliders see it: destination lines (speakers,
// recording), their source lines (microphone), one volume control per line,
// and change events. PulseMixer maps it onto the sound server; tests use a
// scripted one.
//
// Values are unsigned per channel, in minimum..maximum of the control; a
// uniform control has one value for all channels.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ambrel {

// Line component types and the control type the window binds with.
inline constexpr uint32_t kMixerDestinationSpeakers = 4;
inline constexpr uint32_t kMixerDestinationWaveIn = 7;
inline constexpr uint32_t kMixerSourceMicrophone = 0x1003;
// One past the last source type: bind the destination line itself.
inline constexpr uint32_t kMixerSourceNone = 0x100B;
inline constexpr uint32_t kMixerControlVolume = 0x50030001;
// Fader controls are 0x50000000..0x5FFFFFFF.
inline constexpr uint32_t kMixerControlClassMask = 0xF0000000;
inline constexpr uint32_t kMixerControlClassFader = 0x50000000;

// The volume controls of a mixer with two lines, speakers (destination 0)
// and recording (destination 1, with the microphone as its source 0), as the
// sound-server and ALSA mixers lay them out.
inline constexpr uint32_t kSpeakersVolumeControl = 1;
inline constexpr uint32_t kRecordingVolumeControl = 2;
inline constexpr uint32_t kMicrophoneVolumeControl = 3;
// The volume control of line (destination, source; -1: the destination
// itself) in that layout, or 0 for a line it does not have.
inline constexpr uint32_t twoLineVolumeControl(int destination, int source) {
    if (destination == 0 && source == -1) return kSpeakersVolumeControl;
    if (destination == 1 && source == -1) return kRecordingVolumeControl;
    if (destination == 1 && source == 0) return kMicrophoneVolumeControl;
    return 0;
}

// How a control's values are to be read. Every known class is accepted by a
// binding; Unknown is refused.
enum class MixerUnits { Custom, Boolean, Signed, Unsigned, Decibels, Percent, Unknown };

struct MixerLineInfo {
    uint32_t componentType = 0;
    std::string name;
    std::string shortName;
    int channels = 1;
    int controlCount = 0;
    int sourceCount = 0;  // source lines connected to a destination line
};

struct MixerControlInfo {
    uint32_t id = 0;
    uint32_t type = 0;
    uint32_t minimum = 0;
    uint32_t maximum = 0;
    uint32_t steps = 0;
    bool uniform = false;  // one value for all channels
    MixerUnits units = MixerUnits::Unsigned;
};

// All calls from the user-interface thread, except the change listeners,
// which the device calls on its own thread.
class MixerDevice {
public:
    virtual ~MixerDevice() = default;

    virtual int destinationCount() = 0;
    virtual std::optional<MixerLineInfo> destination(int index) = 0;
    virtual std::optional<MixerLineInfo> source(int destination, int index) = 0;
    // The control of type `controlType` of a line: source `source` of the
    // destination, or the destination itself when source is -1.
    virtual std::optional<MixerControlInfo> lineControl(int destination, int source, uint32_t controlType) = 0;

    // values gets one entry per channel (one for a uniform control).
    virtual bool readControl(uint32_t controlId, std::vector<uint32_t>& values) = 0;
    virtual bool writeControl(uint32_t controlId, const std::vector<uint32_t>& values) = 0;

    // Called with a control id whenever something may have changed that
    // control (this program or another). Runs on the device's thread: the
    // listener must only post and return. Returns a token for removal; after
    // removeChangeListener returns the listener is never called again.
    virtual int addChangeListener(std::function<void(uint32_t controlId)> listener) = 0;
    virtual void removeChangeListener(int token) = 0;
};

}  // namespace ambrel
