#include "platform/MixerBase.h"

#include <algorithm>
#include <cstdio>

namespace ambrel {

namespace {

std::string format(const char* pattern, const std::string& a, const std::string& b = {},
                   const std::string& c = {}) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, a.c_str(), b.c_str(), c.c_str());
    return text;
}

}  // namespace

bool CMixerBase::fail(std::string why) {
    diagnostic_ = std::move(why);
    close();
    return false;
}

void CMixerBase::close() {
    device_ = nullptr;
    values_.clear();
}

bool CMixerBase::bind(MixerDevice* device, uint32_t destinationType, uint32_t sourceType,
                      uint32_t controlType, int faderKind) {
    close();
    diagnostic_.clear();
    if ((controlType & kMixerControlClassMask) != kMixerControlClassFader || faderKind < kLeft ||
        faderKind > kBalance)
        return fail("Could not find specified mixer control.");
    if (!device || device->destinationCount() <= 0) return fail("No mixer device present");

    int destination = -1;
    MixerLineInfo line;
    for (int i = 0, n = device->destinationCount(); i < n; ++i) {
        auto info = device->destination(i);
        if (info && info->componentType == destinationType) {
            destination = i;
            line = *info;
            break;
        }
    }
    if (destination < 0)
        return fail(format("Warning: the destination line \n%s\nwas not found.", mixerLineTypeName(destinationType)));
    destinationName_ = line.name;

    int source = -1;
    if (sourceType != kMixerSourceNone) {
        for (int i = 0; i < line.sourceCount; ++i) {
            auto info = device->source(destination, i);
            if (info && info->componentType == sourceType) {
                source = i;
                line = *info;
                break;
            }
        }
        if (source < 0)
            return fail(format("Warning: the source line \n%s\n not found.\n\n(Associated to Destination line \n%s)",
                               mixerLineTypeName(sourceType), destinationName_));
    }
    lineName_ = line.name;
    lineShortName_ = line.shortName;
    if (line.controlCount <= 0) return fail(format("No controls available for this audio line: %s", line.name));

    auto control = device->lineControl(destination, source, controlType);
    if (!control)
        return fail(format("Could not find specified mixer control. Associated Windows control will be disabled.\n"
                           "Control type: %s,\n\nDest line type: %s,\nSrc  line type: %s\n",
                           mixerControlTypeName(controlType), mixerLineTypeName(destinationType),
                           mixerLineTypeName(sourceType)));
    if (control->units == MixerUnits::Unknown) return fail("Control uses unknown units.");
    // A control without steps, or with fewer values than steps, would make
    // the step size 0 and every position a division by zero.
    if (control->maximum <= control->minimum || control->steps == 0 ||
        (control->maximum - control->minimum) / control->steps == 0)
        return fail("Control uses unknown units.");
    int channels = std::max(line.channels, 1);
    if (faderKind != kMain && channels < 2)
        return fail(format("No controls available for this audio line: %s", line.name));

    control_ = *control;
    kind_ = faderKind;
    stepSize_ = (control_.maximum - control_.minimum) / control_.steps;
    ratio_ = 0.0f;
    values_.assign(control_.uniform ? 1 : channels, 0);
    device_ = device;
    if (!readPosition()) return fail("Could not open mixer device");
    return true;
}

std::optional<int> CMixerBase::readPosition() {
    if (!device_) return std::nullopt;
    std::vector<uint32_t> values;
    if (!device_->readControl(control_.id, values) || values.empty()) return std::nullopt;
    // The line may have changed its channel count (another default device).
    values_ = values;
    double x;
    if (values_.size() == 1) {
        x = values_[0];
    } else {
        double left = values_[0], right = values_[1];
        x = std::max(left, right);
        if (x > 0) ratio_ = static_cast<float>((right - left) / x);
        if (kind_ == kLeft) x = left;
        if (kind_ == kRight) x = right;
    }
    double position;
    if (kind_ == kBalance && x > 0)
        position = (ratio_ + 1.0) * control_.steps * 0.5;
    else
        position = x / stepSize_;
    return std::clamp(static_cast<int>(position), 0, steps());
}

uint32_t CMixerBase::clampValue(double v) const {
    return static_cast<uint32_t>(std::clamp(v, static_cast<double>(control_.minimum),
                                            static_cast<double>(control_.maximum)));
}

bool CMixerBase::writePosition(int position) {
    if (!device_ || values_.empty()) return false;
    position = std::clamp(position, 0, steps());
    double a = static_cast<double>(position) * stepSize_;
    if (values_.size() == 1) {
        values_[0] = clampValue(a);
    } else {
        double left = values_[0], right = values_[1];
        switch (kind_) {
        case kLeft:
            left = a;
            break;
        case kRight:
            right = a;
            break;
        case kMain:
            if (ratio_ > 0) {
                right = a;
                left = (1.0 - ratio_) * a;
            } else {
                left = a;
                right = a * (ratio_ + 1.0);
            }
            break;
        case kBalance: {
            double m = std::max(left, right);
            double r = range();
            if (a > r / 2) {
                right = m;
                left = (1.0 - a / r) * 2 * m;
            } else {
                right = a * 2 * m / r;
                left = m;
            }
            break;
        }
        }
        values_[0] = clampValue(left);
        values_[1] = clampValue(right);
        // Further channels (surround) follow the louder front channel.
        for (size_t i = 2; i < values_.size(); ++i) values_[i] = clampValue(std::max(left, right));
    }
    return device_->writeControl(control_.id, values_);
}

std::string mixerControlTypeName(uint32_t type) {
    switch (type) {
    case 0x50030001: return "MIXERCONTROL_CONTROLTYPE_VOLUME";
    case 0x50030002: return "MIXERCONTROL_CONTROLTYPE_BASS";
    case 0x50030003: return "MIXERCONTROL_CONTROLTYPE_TREBLE";
    case 0x50030004: return "MIXERCONTROL_CONTROLTYPE_EQUALIZER";
    case 0x50030000: return "MIXERCONTROL_CONTROLTYPE_FADER";
    case 0x20010002: return "MIXERCONTROL_CONTROLTYPE_MUTE";
    case 0x70010001: return "MIXERCONTROL_CONTROLTYPE_MUX";
    case 0x71010001: return "MIXERCONTROL_CONTROLTYPE_MIXER";
    case 0x40020001: return "MIXERCONTROL_CONTROLTYPE_PAN";
    default: return "---- UNKNOWN CONTROL TYPE ----";
    }
}

std::string mixerLineTypeName(uint32_t type) {
    static const char* const destinations[] = {"UNDEFINED", "DIGITAL", "LINE", "MONITOR", "SPEAKERS",
                                               "HEADPHONES", "TELEPHONE", "WAVEIN", "VOICEIN"};
    static const char* const sources[] = {"UNDEFINED", "DIGITAL", "LINE", "MICROPHONE", "SYNTHESIZER", "COMPACTDISC",
                                          "TELEPHONE", "PCSPEAKER", "WAVEOUT", "AUXILIARY", "ANALOG"};
    if (type <= 8) return std::string("MIXERLINE_COMPONENTTYPE_DST_") + destinations[type];
    if (type >= 0x1000 && type <= 0x100A) return std::string("MIXERLINE_COMPONENTTYPE_SRC_") + sources[type - 0x1000];
    if (type == kMixerSourceNone) return "(none)";
    return "---- UNKNOWN LINE TYPE ----";
}

}  // namespace ambrel
