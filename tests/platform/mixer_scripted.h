// A mixer device whose lines, controls and values a test sets up directly.
#pragma once

#include <map>

#include "platform/MixerDevice.h"

namespace ambrel::test {

class ScriptedMixer : public MixerDevice {
public:
    struct Line {
        MixerLineInfo info;
        std::optional<MixerControlInfo> control;
        std::vector<Line> sources;
    };
    std::vector<Line> destinations;
    std::map<uint32_t, std::vector<uint32_t>> values;  // by control id
    int writes = 0;
    bool failReads = false;

    // A stereo (or mono) speakers line with one volume control, id 1, 0..65535 in `steps` steps.
    static Line volumeLine(uint32_t type, int channels, uint32_t id, uint32_t steps = 65535) {
        Line line;
        line.info.componentType = type;
        line.info.name = "line " + std::to_string(type);
        line.info.channels = channels;
        line.info.controlCount = 1;
        MixerControlInfo c;
        c.id = id;
        c.type = kMixerControlVolume;
        c.minimum = 0;
        c.maximum = 65535;
        c.steps = steps;
        line.control = c;
        return line;
    }

    int destinationCount() override { return static_cast<int>(destinations.size()); }
    std::optional<MixerLineInfo> destination(int i) override {
        if (i < 0 || i >= destinationCount()) return std::nullopt;
        auto info = destinations[i].info;
        info.sourceCount = static_cast<int>(destinations[i].sources.size());
        return info;
    }
    std::optional<MixerLineInfo> source(int d, int i) override {
        if (d < 0 || d >= destinationCount() || i < 0 || i >= static_cast<int>(destinations[d].sources.size()))
            return std::nullopt;
        return destinations[d].sources[i].info;
    }
    std::optional<MixerControlInfo> lineControl(int d, int s, uint32_t type) override {
        const Line& line = s < 0 ? destinations.at(d) : destinations.at(d).sources.at(s);
        if (!line.control || line.control->type != type) return std::nullopt;
        return line.control;
    }
    bool readControl(uint32_t id, std::vector<uint32_t>& v) override {
        if (failReads || !values.count(id)) return false;
        v = values[id];
        return true;
    }
    bool writeControl(uint32_t id, const std::vector<uint32_t>& v) override {
        ++writes;
        values[id] = v;
        return true;
    }
    int addChangeListener(std::function<void(uint32_t)> l) override {
        listeners[next] = std::move(l);
        return next++;
    }
    void removeChangeListener(int token) override { listeners.erase(token); }
    // Another program changed a control.
    void change(uint32_t id, std::vector<uint32_t> v) {
        values[id] = std::move(v);
        for (auto& [t, l] : listeners) l(id);
    }
    std::map<int, std::function<void(uint32_t)>> listeners;
    int next = 1;
};

}  // namespace ambrel::test
