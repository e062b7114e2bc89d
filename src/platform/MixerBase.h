// CMixerBase: one slider's binding to exactly one mixer control, with the
// arithmetic that turns channel values into a slider position and back.
//
// A slider has `steps` positions 0..steps (steps = the control's step count);
// step size = (maximum - minimum) / steps. Fader kinds: 0 left channel,
// 1 right channel, 2 main (all channels, stereo balance kept), 3 balance.
// Positions here are "loudness" positions (0 = silent); a vertical slider
// shows steps - position so that the top is loudest.
//
// User-interface thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/MixerDevice.h"

namespace ambrel {

class CMixerBase {
public:
    enum FaderKind { kLeft = 0, kRight = 1, kMain = 2, kBalance = 3 };

    // Binds to the first destination line of component type destinationType
    // and, unless sourceType is kMixerSourceNone, its first source line of
    // sourceType; then to that line's control of controlType. Fails (false,
    // unbound, diagnostic() says why) without a device, for a control type
    // outside the fader class, a kind outside 0..3, a missing line or control,
    // unknown units, a control without steps, or a balance or single-channel
    // kind on a mono line. `device` must outlive the binding.
    bool bind(MixerDevice* device, uint32_t destinationType, uint32_t sourceType, uint32_t controlType,
              int faderKind);
    void close();
    bool isBound() const { return device_ != nullptr; }

    // Re-reads the control and returns its loudness position 0..steps (the
    // stereo balance ratio is updated on the way); nothing when unbound or the
    // read fails.
    std::optional<int> readPosition();
    // Writes the channel values for loudness position 0..steps (clamped).
    bool writePosition(int position);

    int steps() const { return static_cast<int>(control_.steps); }
    uint32_t stepSize() const { return stepSize_; }
    uint32_t range() const { return control_.maximum - control_.minimum; }
    uint32_t controlId() const { return control_.id; }
    int faderKind() const { return kind_; }
    int channels() const { return static_cast<int>(values_.size()); }
    // (right - left) / max(left, right) of a stereo line, as last read.
    float balanceRatio() const { return ratio_; }
    const std::vector<uint32_t>& values() const { return values_; }
    const std::string& lineName() const { return lineName_; }
    const std::string& destinationName() const { return destinationName_; }
    // Why the last bind failed, for a debug trace (never shown to the user).
    const std::string& diagnostic() const { return diagnostic_; }

private:
    bool fail(std::string why);
    uint32_t clampValue(double v) const;

    MixerDevice* device_ = nullptr;
    MixerControlInfo control_;
    int kind_ = kMain;
    uint32_t stepSize_ = 1;
    float ratio_ = 0.0f;
    std::vector<uint32_t> values_;
    std::string destinationName_;
    std::string lineName_;
    std::string lineShortName_;
    std::string diagnostic_;
};

// The platform's name of a control or line type, for diagnostics
// ("MIXERCONTROL_CONTROLTYPE_VOLUME", "---- UNKNOWN CONTROL TYPE ----").
std::string mixerControlTypeName(uint32_t type);
std::string mixerLineTypeName(uint32_t type);

}  // namespace ambrel
