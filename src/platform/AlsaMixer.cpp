#include "platform/AlsaMixer.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>


namespace ambrel {

namespace {

constexpr uint32_t kMaxSteps = 256;

const char* const kPlaybackNames[] = {"Master", "PCM", "Speaker", "Headphone"};
const char* const kCaptureNames[] = {"Capture", "Mic"};

// The step size that gives at most kMaxSteps steps over the range.
uint32_t stepSizeOf(uint32_t range) { return std::max<uint32_t>(1, (range + kMaxSteps - 1) / kMaxSteps); }

}  // namespace

std::string alsaControlName(std::string_view pcmName) {
    // The PCM plugins whose arguments name a card.
    static const std::string_view withCard[] = {"hw", "plughw", "sysdefault", "front", "rear", "center_lfe", "side",
                                                "surround21", "surround40", "surround41", "surround50", "surround51",
                                                "surround71", "iec958", "hdmi", "dmix", "dsnoop", "usbstream"};
    const std::size_t colon = pcmName.find(':');
    if (colon == std::string_view::npos ||
        std::find(std::begin(withCard), std::end(withCard), pcmName.substr(0, colon)) == std::end(withCard))
        return "default";
    std::string_view args = pcmName.substr(colon + 1);
    std::string_view card;
    for (std::size_t at = 0; at <= args.size();) {
        std::size_t comma = std::min(args.find(',', at), args.size());
        std::string_view arg = args.substr(at, comma - at);
        if (arg.substr(0, 5) == "CARD=") card = arg.substr(5);
        else if (at == 0 && arg.find('=') == std::string_view::npos) card = arg;
        at = comma + 1;
    }
    if (card.size() >= 2 && (card.front() == '"' || card.front() == '\'') && card.back() == card.front())
        card = card.substr(1, card.size() - 2);
    return card.empty() ? "default" : "hw:" + std::string(card);
}

bool AlsaMixer::openLine(Line& line, const std::string& control, bool capture, std::string& error) {
    line.capture = capture;
    int err = snd_mixer_open(&line.mixer, 0);
    if (err < 0) {
        line.mixer = nullptr;
        error = snd_strerror(err);
        return false;
    }
    if ((err = snd_mixer_attach(line.mixer, control.c_str())) < 0 ||
        (err = snd_mixer_selem_register(line.mixer, nullptr, nullptr)) < 0 || (err = snd_mixer_load(line.mixer)) < 0) {
        error = std::string(snd_strerror(err)) + " (" + control + ")";
        return false;
    }
    snd_mixer_selem_id_t* id;
    snd_mixer_selem_id_alloca(&id);
    for (const char* name : capture ? std::vector<const char*>(std::begin(kCaptureNames), std::end(kCaptureNames))
                                    : std::vector<const char*>(std::begin(kPlaybackNames), std::end(kPlaybackNames))) {
        snd_mixer_selem_id_set_name(id, name);
        snd_mixer_selem_id_set_index(id, 0);
        snd_mixer_elem_t* e = snd_mixer_find_selem(line.mixer, id);
        if (!e || !(capture ? snd_mixer_selem_has_capture_volume(e) : snd_mixer_selem_has_playback_volume(e))) continue;
        long lo = 0, hi = 0;
        if (capture)
            snd_mixer_selem_get_capture_volume_range(e, &lo, &hi);
        else
            snd_mixer_selem_get_playback_volume_range(e, &lo, &hi);
        if (hi <= lo) continue;
        line.element = e;
        line.minimum = lo;
        line.maximum = hi;
        const bool mono = capture ? snd_mixer_selem_is_capture_mono(e) : snd_mixer_selem_is_playback_mono(e);
        const bool right = capture ? snd_mixer_selem_has_capture_channel(e, SND_MIXER_SCHN_FRONT_RIGHT)
                                   : snd_mixer_selem_has_playback_channel(e, SND_MIXER_SCHN_FRONT_RIGHT);
        line.channels = mono || !right ? 1 : 2;
        line.joined = capture ? snd_mixer_selem_has_capture_volume_joined(e)
                              : snd_mixer_selem_has_playback_volume_joined(e);
        line.name = std::string(name) + " (" + control + ")";
        return true;
    }
    error = std::string("no ") + (capture ? "capture" : "playback") + " volume on " + control;
    return false;
}

std::unique_ptr<AlsaMixer> AlsaMixer::open(const std::string& speakersControl,
                                           const std::string& recordingControl, std::string* error) {
    std::unique_ptr<AlsaMixer> mixer(new AlsaMixer);
    std::string speakersError, recordingError;
    const bool speakers = openLine(mixer->speakers_, speakersControl, false, speakersError);
    const bool recording = openLine(mixer->recording_, recordingControl, true, recordingError);
    if (!speakers && !recording) {
        if (error) *error = speakersError + "; " + recordingError;
        return nullptr;
    }
    mixer->wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (mixer->wakeFd_ >= 0) mixer->watcher_ = std::thread([m = mixer.get()] { m->watch(); });
    return mixer;
}

AlsaMixer::~AlsaMixer() {
    if (watcher_.joinable()) {
        stopping_.store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
        watcher_.join();
    }
    if (wakeFd_ >= 0) ::close(wakeFd_);
    for (Line* line : {&speakers_, &recording_})
        if (line->mixer) snd_mixer_close(line->mixer);
}

// The mixer's thread: waits for events of either card's mixer, lets ALSA
// take them in, and tells the listeners which controls may have changed.
void AlsaMixer::watch() {
    std::vector<pollfd> fds(1);
    std::vector<std::pair<Line*, int>> spans;  // line, descriptor count
    {
        std::lock_guard<std::mutex> hold(mutex_);
        for (Line* line : {&speakers_, &recording_}) {
            if (!line->element) continue;
            const int n = snd_mixer_poll_descriptors_count(line->mixer);
            if (n <= 0) continue;
            const std::size_t at = fds.size();
            fds.resize(at + static_cast<std::size_t>(n));
            snd_mixer_poll_descriptors(line->mixer, fds.data() + at, static_cast<unsigned>(n));
            spans.emplace_back(line, n);
        }
    }
    fds[0] = {wakeFd_, POLLIN, 0};
    while (!stopping_.load()) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        std::size_t at = 1;
        for (auto& [line, n] : spans) {
            unsigned short revents = 0;
            bool changed = false;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                snd_mixer_poll_descriptors_revents(line->mixer, fds.data() + at, static_cast<unsigned>(n), &revents);
                if (revents & (POLLIN | POLLERR)) changed = snd_mixer_handle_events(line->mixer) >= 0;
            }
            if (revents & POLLERR) {
                // The card went away: stop watching it.
                for (int i = 0; i < n; ++i) fds[at + static_cast<std::size_t>(i)].fd = -1;
            }
            if (changed) notify(*line);
            at += static_cast<std::size_t>(n);
        }
    }
}

void AlsaMixer::notify(const Line& line) {
    if (&line == &speakers_) {
        listeners_.notify(kSpeakersControl);
    } else {
        listeners_.notify(kRecordingControl);
        listeners_.notify(kMicrophoneControl);
    }
}

AlsaMixer::Line* AlsaMixer::lineOf(uint32_t controlId) {
    Line* line = controlId == kSpeakersControl ? &speakers_
                 : controlId == kRecordingControl || controlId == kMicrophoneControl ? &recording_
                                                                                     : nullptr;
    return line && line->element ? line : nullptr;
}

int AlsaMixer::destinationCount() { return 2; }

std::optional<MixerLineInfo> AlsaMixer::destination(int index) {
    if (index < 0 || index > 1) return std::nullopt;
    const Line* line = lineOf(index == 0 ? kSpeakersControl : kRecordingControl);
    if (!line) return std::nullopt;
    MixerLineInfo info;
    info.componentType = index == 0 ? kMixerDestinationSpeakers : kMixerDestinationWaveIn;
    info.name = line->name;
    info.shortName = index == 0 ? "Speakers" : "Recording";
    info.channels = line->channels;
    info.controlCount = 1;
    info.sourceCount = index == 0 ? 0 : 1;
    return info;
}

std::optional<MixerLineInfo> AlsaMixer::source(int destination, int index) {
    if (destination != 1 || index != 0) return std::nullopt;
    auto info = this->destination(1);
    if (!info) return std::nullopt;
    info->componentType = kMixerSourceMicrophone;
    info->shortName = "Microphone";
    info->sourceCount = 0;
    return info;
}

std::optional<MixerControlInfo> AlsaMixer::lineControl(int destination, int source, uint32_t controlType) {
    if (controlType != kMixerControlVolume) return std::nullopt;
    MixerControlInfo control;
    control.id = twoLineVolumeControl(destination, source);
    if (control.id == 0) return std::nullopt;
    const Line* line = lineOf(control.id);
    if (!line) return std::nullopt;
    const auto range = static_cast<uint32_t>(line->maximum - line->minimum);
    control.type = kMixerControlVolume;
    control.minimum = 0;
    control.maximum = range;
    control.steps = range / stepSizeOf(range);
    control.uniform = line->joined;
    control.units = MixerUnits::Unsigned;
    return control;
}

bool AlsaMixer::readControl(uint32_t controlId, std::vector<uint32_t>& values) {
    Line* line = lineOf(controlId);
    if (!line) return false;
    std::lock_guard<std::mutex> hold(mutex_);
    const int count = line->joined ? 1 : line->channels;
    values.assign(static_cast<std::size_t>(count), 0);
    for (int i = 0; i < count; ++i) {
        const auto channel = count == 1 ? SND_MIXER_SCHN_MONO : static_cast<snd_mixer_selem_channel_id_t>(i);
        long v = 0;
        const int err = line->capture ? snd_mixer_selem_get_capture_volume(line->element, channel, &v)
                                      : snd_mixer_selem_get_playback_volume(line->element, channel, &v);
        if (err < 0) return false;
        values[static_cast<std::size_t>(i)] =
            static_cast<uint32_t>(std::clamp(v, line->minimum, line->maximum) - line->minimum);
    }
    return true;
}

bool AlsaMixer::writeControl(uint32_t controlId, const std::vector<uint32_t>& values) {
    Line* line = lineOf(controlId);
    if (!line || values.empty()) return false;
    std::lock_guard<std::mutex> hold(mutex_);
    auto value = [line](uint32_t v) { return std::min<long>(line->minimum + static_cast<long>(v), line->maximum); };
    if (line->joined || line->channels == 1 || values.size() == 1) {
        const long v = value(*std::max_element(values.begin(), values.end()));
        return (line->capture ? snd_mixer_selem_set_capture_volume_all(line->element, v)
                              : snd_mixer_selem_set_playback_volume_all(line->element, v)) >= 0;
    }
    for (int i = 0; i < 2; ++i) {
        const auto channel = static_cast<snd_mixer_selem_channel_id_t>(i);
        const long v = value(values[static_cast<std::size_t>(i)]);
        if ((line->capture ? snd_mixer_selem_set_capture_volume(line->element, channel, v)
                           : snd_mixer_selem_set_playback_volume(line->element, channel, v)) < 0)
            return false;
    }
    return true;
}

int AlsaMixer::addChangeListener(std::function<void(uint32_t)> listener) {
    return listeners_.add(std::move(listener));
}

void AlsaMixer::removeChangeListener(int token) { listeners_.remove(token); }

}  // namespace ambrel
