#include <algorithm>
#include <charconv>
#include <mutex>

#include "platform/AlsaBackend.h"
#include "platform/FileBackend.h"
#include "platform/PulseBackend.h"
#include "platform/SoundDevice.h"

namespace ambrel {

SoundError SoundFormat::validate() const {
    if (bitsPerSample != 8 && bitsPerSample != 16)
        return SoundError::make(SoundErrorCode::BadFormat,
                                "Unsupported sample width " + std::to_string(bitsPerSample) +
                                    " bits (8 or 16)");
    if (sampleRate < 1000 || sampleRate > 192000)
        return SoundError::make(SoundErrorCode::BadFormat,
                                "Unsupported sample rate " + std::to_string(sampleRate) + " Hz");
    if (blockSamples > sampleRate * 10)
        return SoundError::make(SoundErrorCode::BadFormat,
                                "Buffer of " + std::to_string(blockSamples) + " samples is too long");
    return {};
}

SoundDeviceRef SoundDeviceRef::named(std::string deviceName, std::string backendName) {
    SoundDeviceRef r;
    r.backend = std::move(backendName);
    r.name = std::move(deviceName);
    return r;
}

SoundDeviceRef SoundDeviceRef::file(std::string path) { return named(std::move(path), "file"); }

SoundDeviceRef SoundDeviceRef::parse(std::string_view text) {
    if (text.empty()) return SoundDeviceRef(-1);
    int n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec == std::errc() && end == text.data() + text.size()) return SoundDeviceRef(n <= 0 ? -1 : n);
    return named(std::string(text));
}

std::string SoundDeviceRef::describe() const {
    std::string s;
    if (!backend.empty()) s = backend + ":";
    if (!name.empty()) return s + name;
    if (number < 0) return s + "default";
    return s + "#" + std::to_string(number);
}

struct SoundSystem::State {
    std::vector<std::unique_ptr<SoundBackend>> backends;  // fixed after setup
    mutable std::mutex aliasMutex;
    std::vector<SoundDeviceRef> aliases;  // guarded by aliasMutex

    SoundBackend* find(const SoundDeviceRef& ref, SoundError& error) const {
        if (ref.backend.empty()) {
            if (!backends.empty()) return backends.front().get();
        } else {
            for (auto& b : backends)
                if (b->name() == ref.backend) return b.get();
        }
        error = SoundError::make(SoundErrorCode::BadDevice,
                                 ref.backend.empty() ? std::string("No sound backend")
                                                     : "Unknown sound backend \"" + ref.backend + "\"");
        return nullptr;
    }
};

SoundSystem::SoundSystem() : state_(std::make_unique<State>()) {}
SoundSystem::~SoundSystem() = default;

void SoundSystem::addBackend(std::unique_ptr<SoundBackend> backend) {
    if (backend) state_->backends.push_back(std::move(backend));
}

SoundBackend* SoundSystem::backend(std::string_view name) const {
    for (auto& b : state_->backends)
        if (b->name() == name) return b.get();
    return nullptr;
}

SoundBackend* SoundSystem::defaultBackend() const {
    return state_->backends.empty() ? nullptr : state_->backends.front().get();
}

int SoundSystem::alias(const SoundDeviceRef& device) {
    std::lock_guard lock(state_->aliasMutex);
    for (std::size_t i = 0; i < state_->aliases.size(); ++i) {
        const auto& a = state_->aliases[i];
        if (a.backend == device.backend && a.name == device.name && a.number == device.number)
            return kAliasBase + static_cast<int>(i);
    }
    state_->aliases.push_back(device);
    return kAliasBase + static_cast<int>(state_->aliases.size() - 1);
}

SoundDeviceRef SoundSystem::resolve(int number) const {
    if (number >= kAliasBase) {
        std::lock_guard lock(state_->aliasMutex);
        auto i = static_cast<std::size_t>(number - kAliasBase);
        if (i < state_->aliases.size()) return state_->aliases[i];
    }
    return SoundDeviceRef(number);
}

std::unique_ptr<SoundInput> SoundSystem::openInput(const SoundDeviceRef& device,
                                                   const SoundFormat& format, MessageThread& thread,
                                                   SoundError& error) {
    error = {};
    SoundBackend* b = state_->find(device, error);
    return b ? b->openInput(device, format, thread, error) : nullptr;
}

std::unique_ptr<SoundOutput> SoundSystem::openOutput(const SoundDeviceRef& device,
                                                     const SoundFormat& format,
                                                     MessageThread& thread, SoundError& error) {
    error = {};
    SoundBackend* b = state_->find(device, error);
    return b ? b->openOutput(device, format, thread, error) : nullptr;
}

std::unique_ptr<SoundInput> SoundSystem::openInput(int device, const SoundFormat& format,
                                                   MessageThread& thread, SoundError& error) {
    return openInput(resolve(device), format, thread, error);
}

std::unique_ptr<SoundOutput> SoundSystem::openOutput(int device, const SoundFormat& format,
                                                     MessageThread& thread, SoundError& error) {
    return openOutput(resolve(device), format, thread, error);
}

std::vector<SoundDeviceInfo> SoundSystem::listInputs(SoundError& error) {
    error = {};
    SoundBackend* b = state_->find(SoundDeviceRef(), error);
    return b ? b->listInputs(error) : std::vector<SoundDeviceInfo>{};
}

std::vector<SoundDeviceInfo> SoundSystem::listOutputs(SoundError& error) {
    error = {};
    SoundBackend* b = state_->find(SoundDeviceRef(), error);
    return b ? b->listOutputs(error) : std::vector<SoundDeviceInfo>{};
}

std::unique_ptr<SoundSystem> makeStandardSoundSystem() {
    auto sound = std::make_unique<SoundSystem>();
    sound->addBackend(makePulseBackend());
    sound->addBackend(makeAlsaBackend());
    sound->addBackend(makeFileBackend());
    return sound;
}

namespace {
void appendList(std::string& out, const char* title, const std::vector<SoundDeviceInfo>& list,
                const SoundError& error) {
    out += title;
    out += "\n";
    if (error) {
        out += "  (cannot list: " + error.text + ")\n";
        return;
    }
    if (list.empty()) out += "  (none)\n";
    for (const auto& d : list) {
        out += "  " + std::to_string(d.number) + ": " + d.name;
        if (!d.description.empty()) out += " - " + d.description;
        if (d.isDefault) out += " (default)";
        out += "\n";
    }
}

// The monitor of every sink records what the sink plays: usable with -i:NAME,
// not numbered.
void appendMonitors(std::string& out, const std::vector<SoundDeviceInfo>& sinks) {
    for (const auto& d : sinks)
        out += "  " + d.name + ".monitor - Monitor of " + (d.description.empty() ? d.name : d.description) +
               " (monitor)\n";
}

// ALSA's hinted PCMs under their alsa: names, each once, marked when it
// works one way only.
void appendAlsa(std::string& out, SoundBackend& alsa) {
    SoundError inError, outError;
    const auto inputs = alsa.listInputs(inError);
    const auto outputs = alsa.listOutputs(outError);
    out += "ALSA devices (-i:alsa:NAME, -o:alsa:NAME):\n";
    if (inError && outError) {
        out += "  (cannot list: " + inError.text + ")\n";
        return;
    }
    auto has = [](const std::vector<SoundDeviceInfo>& list, const std::string& name) {
        return std::any_of(list.begin(), list.end(), [&](const SoundDeviceInfo& d) { return d.name == name; });
    };
    std::vector<SoundDeviceInfo> all = outputs;
    for (const auto& d : inputs)
        if (!has(all, d.name)) all.push_back(d);
    if (all.empty()) out += "  (none)\n";
    for (const auto& d : all) {
        out += "  alsa:" + d.name;
        if (!d.description.empty()) out += " - " + d.description;
        if (!has(outputs, d.name)) out += " (recording only)";
        if (!has(inputs, d.name)) out += " (playing only)";
        out += "\n";
    }
}
}  // namespace

std::string formatDeviceList(SoundSystem& sound) {
    std::string out;
    SoundError error, outputError;
    auto inputs = sound.listInputs(error);
    auto outputs = sound.listOutputs(outputError);
    appendList(out, "Recording devices:", inputs, error);
    SoundBackend* first = sound.defaultBackend();
    if (first && first->name() == "pulse" && !outputError) appendMonitors(out, outputs);
    appendList(out, "Playing devices:", outputs, outputError);
    if (SoundBackend* alsa = sound.backend("alsa"); alsa && alsa != first) appendAlsa(out, *alsa);
    return out;
}

}  // namespace ambrel
