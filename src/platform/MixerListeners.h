// The change listeners of a mixer: who wants to hear that a control moved.
// add() and remove() run on any thread; notify() runs on the mixer's event
// thread and calls the listeners there, under the registry's lock (a listener
// must not add or remove listeners from inside its call).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace ambrel {

class MixerListeners {
public:
    // Returns the token that remove() takes.
    int add(std::function<void(uint32_t)> listener) {
        std::lock_guard<std::mutex> guard(lock_);
        const int token = nextToken_++;
        listeners_.emplace_back(token, std::move(listener));
        return token;
    }

    void remove(int token) {
        std::lock_guard<std::mutex> guard(lock_);
        listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                        [token](const auto& entry) { return entry.first == token; }),
                         listeners_.end());
    }

    // Tells every listener that the control `controlId` changed.
    void notify(uint32_t controlId) {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& entry : listeners_) entry.second(controlId);
    }

private:
    std::mutex lock_;
    std::vector<std::pair<int, std::function<void(uint32_t)>>> listeners_;  // lock_
    int nextToken_ = 1;                                                      // lock_
};

}  // namespace ambrel
