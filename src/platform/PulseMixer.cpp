#include "platform/PulseMixer.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

namespace ambrel {

namespace {

// A facility bit per control: sinks drive the speakers, sources the two
// recording controls; a server event (new default device) touches both.
constexpr uint32_t kSinkBit = 1;
constexpr uint32_t kSourceBit = 2;

struct Query {
    explicit Query(pa_threaded_mainloop* l) : loop(l) {}
    pa_threaded_mainloop* loop;
    bool ok = false;
    std::string description;
    std::vector<uint32_t> volumes;
};

template <typename Info>
void takeInfo(Query& q, const Info* info, int eol) {
    if (eol == 0 && info) {
        q.ok = true;
        q.description = info->description ? info->description : info->name;
        q.volumes.clear();
        for (unsigned i = 0; i < info->volume.channels; ++i)
            q.volumes.push_back(std::min<uint32_t>(info->volume.values[i], PA_VOLUME_NORM));
    }
    pa_threaded_mainloop_signal(q.loop, 0);
}

void sinkInfoCallback(pa_context*, const pa_sink_info* info, int eol, void* data) {
    takeInfo(*static_cast<Query*>(data), info, eol);
}

void sourceInfoCallback(pa_context*, const pa_source_info* info, int eol, void* data) {
    takeInfo(*static_cast<Query*>(data), info, eol);
}

struct Success {
    explicit Success(pa_threaded_mainloop* l) : loop(l) {}
    pa_threaded_mainloop* loop;
    bool ok = false;
};

void successCallback(pa_context*, int success, void* data) {
    auto* s = static_cast<Success*>(data);
    s->ok = success != 0;
    pa_threaded_mainloop_signal(s->loop, 0);
}

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

}  // namespace

std::unique_ptr<PulseMixer> PulseMixer::open(std::string* error, Devices devices) {
    std::unique_ptr<PulseMixer> mixer(new PulseMixer);
    // The server resolves the "@DEFAULT_...@" names at each request, so the
    // sliders follow a change of default device.
    mixer->devices_ = std::move(devices);
    mixer->loop_ = pa_threaded_mainloop_new();
    if (!mixer->loop_) {
        if (error) *error = "cannot create the sound server main loop";
        return nullptr;
    }
    mixer->context_ = pa_context_new(pa_threaded_mainloop_get_api(mixer->loop_), "Ambrel mixer");
    if (!mixer->context_) {
        if (error) *error = "cannot create a sound server context";
        return nullptr;
    }
    pa_context_set_state_callback(mixer->context_, &PulseMixer::contextStateCallback, mixer.get());
    pa_context_set_subscribe_callback(
        mixer->context_,
        [](pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* self) {
            subscribeCallback(c, static_cast<int>(type), index, self);
        },
        mixer.get());
    if (pa_context_connect(mixer->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        if (error) *error = pa_strerror(pa_context_errno(mixer->context_));
        return nullptr;
    }
    if (pa_threaded_mainloop_start(mixer->loop_) < 0) {
        if (error) *error = "cannot start the sound server main loop";
        return nullptr;
    }
    LoopLock lock(mixer->loop_);
    for (;;) {
        pa_context_state_t state = pa_context_get_state(mixer->context_);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state)) {
            if (error) *error = pa_strerror(pa_context_errno(mixer->context_));
            return nullptr;  // `lock` is released before `mixer` is destroyed
        }
        pa_threaded_mainloop_wait(mixer->loop_);
    }
    Success s(mixer->loop_);
    pa_operation* op = pa_context_subscribe(
        mixer->context_,
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                            PA_SUBSCRIPTION_MASK_SERVER),
        successCallback, &s);
    mixer->waitLocked(op);
    return mixer;
}

PulseMixer::~PulseMixer() {
    if (loop_) {
        // Stopping the loop joins its thread, so no callback runs afterwards.
        pa_threaded_mainloop_stop(loop_);
    }
    if (context_) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    if (loop_) pa_threaded_mainloop_free(loop_);
}

void PulseMixer::contextStateCallback(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseMixer*>(self)->loop_, 0);
}

void PulseMixer::subscribeCallback(pa_context*, int type, uint32_t, void* self) {
    auto* mixer = static_cast<PulseMixer*>(self);
    switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
    case PA_SUBSCRIPTION_EVENT_SINK: mixer->notify(kSinkBit); break;
    case PA_SUBSCRIPTION_EVENT_SOURCE: mixer->notify(kSourceBit); break;
    case PA_SUBSCRIPTION_EVENT_SERVER: mixer->notify(kSinkBit | kSourceBit); break;
    default: break;
    }
}

// Runs on the main loop's thread.
void PulseMixer::notify(uint32_t facilityMask) {
    if (facilityMask & kSinkBit) listeners_.notify(kSpeakersControl);
    if (facilityMask & kSourceBit) {
        listeners_.notify(kRecordingControl);
        listeners_.notify(kMicrophoneControl);
    }
}

bool PulseMixer::waitLocked(pa_operation* op) {
    if (!op) return false;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
            pa_operation_cancel(op);
            break;
        }
        pa_threaded_mainloop_wait(loop_);
    }
    bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
}

PulseMixer::DeviceState PulseMixer::queryLocked(bool sink) {
    Query q(loop_);
    pa_operation* op = sink ? pa_context_get_sink_info_by_name(context_, devices_.sink.c_str(), sinkInfoCallback, &q)
                            : pa_context_get_source_info_by_name(context_, devices_.source.c_str(), sourceInfoCallback, &q);
    DeviceState state;
    if (!waitLocked(op) || !q.ok || q.volumes.empty()) return state;
    state.ok = true;
    state.description = std::move(q.description);
    state.volumes = std::move(q.volumes);
    return state;
}

bool PulseMixer::connected() {
    LoopLock lock(loop_);
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

int PulseMixer::destinationCount() { return 2; }

std::optional<MixerLineInfo> PulseMixer::destination(int index) {
    if (index < 0 || index > 1) return std::nullopt;
    LoopLock lock(loop_);
    DeviceState d = queryLocked(index == 0);
    if (!d.ok) return std::nullopt;
    MixerLineInfo line;
    line.componentType = index == 0 ? kMixerDestinationSpeakers : kMixerDestinationWaveIn;
    line.name = d.description;
    line.shortName = index == 0 ? "Speakers" : "Recording";
    line.channels = static_cast<int>(d.volumes.size());
    line.controlCount = 1;
    line.sourceCount = index == 0 ? 0 : 1;
    return line;
}

std::optional<MixerLineInfo> PulseMixer::source(int destination, int index) {
    if (destination != 1 || index != 0) return std::nullopt;
    LoopLock lock(loop_);
    DeviceState d = queryLocked(false);
    if (!d.ok) return std::nullopt;
    MixerLineInfo line;
    line.componentType = kMixerSourceMicrophone;
    line.name = d.description;
    line.shortName = "Microphone";
    line.channels = static_cast<int>(d.volumes.size());
    line.controlCount = 1;
    return line;
}

std::optional<MixerControlInfo> PulseMixer::lineControl(int destination, int source, uint32_t controlType) {
    if (controlType != kMixerControlVolume) return std::nullopt;
    MixerControlInfo control;
    control.id = twoLineVolumeControl(destination, source);
    if (control.id == 0) return std::nullopt;
    control.type = kMixerControlVolume;
    control.minimum = 0;
    control.maximum = PA_VOLUME_NORM;
    control.steps = kSteps;
    control.units = MixerUnits::Unsigned;
    return control;
}

bool PulseMixer::readControl(uint32_t controlId, std::vector<uint32_t>& values) {
    if (controlId < kSpeakersControl || controlId > kMicrophoneControl) return false;
    LoopLock lock(loop_);
    DeviceState d = queryLocked(controlId == kSpeakersControl);
    if (!d.ok) return false;
    values = std::move(d.volumes);
    return true;
}

bool PulseMixer::writeControl(uint32_t controlId, const std::vector<uint32_t>& values) {
    if (controlId < kSpeakersControl || controlId > kMicrophoneControl || values.empty() ||
        values.size() > PA_CHANNELS_MAX)
        return false;
    pa_cvolume volume;
    pa_cvolume_init(&volume);
    volume.channels = static_cast<uint8_t>(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        volume.values[i] = std::min<uint32_t>(values[i], PA_VOLUME_NORM);
    LoopLock lock(loop_);
    Success s(loop_);
    pa_operation* op =
        controlId == kSpeakersControl
            ? pa_context_set_sink_volume_by_name(context_, devices_.sink.c_str(), &volume, successCallback, &s)
            : pa_context_set_source_volume_by_name(context_, devices_.source.c_str(), &volume, successCallback, &s);
    return waitLocked(op) && s.ok;
}

int PulseMixer::addChangeListener(std::function<void(uint32_t)> listener) {
    return listeners_.add(std::move(listener));
}

void PulseMixer::removeChangeListener(int token) { listeners_.remove(token); }

}  // namespace ambrel
