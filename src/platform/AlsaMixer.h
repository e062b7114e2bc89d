// An ALSA card's mixer as a MixerDevice, for the volume sliders when the
// sound devices are ALSA ones. Destination 0 is the speakers line (the
// playback volume "Master", else "PCM", "Speaker" or "Headphone" of the
// playing device's card), destination 1 the recording line (the capture
// volume "Capture", else "Mic", of the recording device's card) with one
// source line, the microphone, bound to the same element. Values run from 0
// to the element's range (its maximum less its minimum) in at most 256 steps.
//
// Outside changes (alsamixer, another program, the sound server behind the
// pulse plugin) reach the change listeners from a thread of the mixer's own
// that waits in poll() on the mixers' descriptors. MixerDevice calls come
// from the user-interface thread; both take the mixer's lock, never on a
// sound path.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/MixerDevice.h"
#include "platform/MixerListeners.h"

typedef struct _snd_mixer snd_mixer_t;
typedef struct _snd_mixer_elem snd_mixer_elem_t;

namespace ambrel {

// The control device whose mixer belongs to a PCM: "hw:1" for "hw:1,0" or
// "plughw:1,0", "hw:Device" for "front:CARD=Device,DEV=0" and the like, and
// "default" for PCMs without a card ("default", "pulse", ~/.asoundrc names).
std::string alsaControlName(std::string_view pcmName);

class AlsaMixer : public MixerDevice {
public:
    static constexpr uint32_t kSpeakersControl = kSpeakersVolumeControl;
    static constexpr uint32_t kRecordingControl = kRecordingVolumeControl;
    static constexpr uint32_t kMicrophoneControl = kMicrophoneVolumeControl;

    // The mixers of two control devices ("hw:1", "default"; see
    // alsaControlName() for the one of a PCM). Returns null, with the reason
    // in `error` if given, when neither line has a volume. Any thread.
    static std::unique_ptr<AlsaMixer> open(const std::string& speakersControl, const std::string& recordingControl,
                                           std::string* error = nullptr);
    ~AlsaMixer() override;

    int destinationCount() override;
    std::optional<MixerLineInfo> destination(int index) override;
    std::optional<MixerLineInfo> source(int destination, int index) override;
    std::optional<MixerControlInfo> lineControl(int destination, int source, uint32_t controlType) override;
    bool readControl(uint32_t controlId, std::vector<uint32_t>& values) override;
    bool writeControl(uint32_t controlId, const std::vector<uint32_t>& values) override;
    int addChangeListener(std::function<void(uint32_t)> listener) override;
    void removeChangeListener(int token) override;

private:
    // One volume element of one card's mixer.
    struct Line {
        snd_mixer_t* mixer = nullptr;
        snd_mixer_elem_t* element = nullptr;  // null: the card has no such volume
        bool capture = false;
        long minimum = 0, maximum = 0;
        int channels = 1;     // 1 (mono) or 2 (front left, front right)
        bool joined = false;  // one value for every channel
        std::string name;     // "Master (hw:1)"
    };

    AlsaMixer() = default;
    static bool openLine(Line& line, const std::string& control, bool capture, std::string& error);
    Line* lineOf(uint32_t controlId);
    void watch();  // the mixer's thread
    void notify(const Line& line);

    std::mutex mutex_;  // guards the ALSA mixer handles
    Line speakers_, recording_;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread watcher_;

    MixerListeners listeners_;
};

}  // namespace ambrel
