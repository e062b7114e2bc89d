// What the voice-processing stage on the capture path does: its parts and
// its figures, a plain record the link and the views can carry without
// knowing the audio pipeline.
#pragma once

#include <string>

namespace ambrel {

// The parts of the stage, as bits.
enum VoiceFeature : unsigned {
    kVoiceEchoCancel = 1u << 0,
    kVoiceNoiseSuppression = 1u << 1,
    kVoiceGainControl = 1u << 2,
    kVoiceHighPass = 1u << 3,
    kVoiceAll = kVoiceEchoCancel | kVoiceNoiseSuppression | kVoiceGainControl | kVoiceHighPass,
};

// What the stage did lately (a snapshot, refreshed about twice a second).
struct VoiceStats {
    bool active = false;       // the stage processes the recorded sound
    bool cancelling = false;   // the echo canceller runs (a reference is there and it is on)
    int erleDb = 0;            // echo reduction (ERLE), dB; valid when erleValid
    bool erleValid = false;    // false until the canceller has heard echo to measure
    int delayMs = -1;          // the echo's delay the canceller works at (ms); -1: none yet
};

// "erle 28 dB echo delay 56 ms" ("--" for a figure not measured yet),
// "echo canceller idle", "voice processing off"
inline std::string describeVoice(const VoiceStats& s) {
    if (!s.active) return "voice processing off";
    if (!s.cancelling) return "echo canceller idle";
    std::string text = "erle " + (s.erleValid ? std::to_string(s.erleDb) : std::string("--")) + " dB";
    text += " echo delay " + (s.delayMs >= 0 ? std::to_string(s.delayMs) : std::string("--")) + " ms";
    return text;
}

}  // namespace ambrel
