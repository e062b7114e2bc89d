// What a player's playout stage did during the current call: a plain record
// the link and the views can carry without knowing the audio pipeline.
#pragma once

#include <cstdint>
#include <string>

namespace ambrel {

struct PlayoutStats {
    std::uint64_t played = 0;     // frames from the network that were played
    std::uint64_t concealed = 0;  // frames made up where nothing had arrived in time
    std::uint64_t dropped = 0;    // frames left out to bring the delay down
    std::uint64_t shortened = 0;  // frames played shorter by part of their length (also counted in dropped
                                  // once the parts add up to a frame)
    std::uint32_t delayMs = 0;    // sound waiting to be played, averaged over the last second
    std::uint32_t targetMs = 0;   // what the stage aims for, from the measured arrival jitter
};

// "played 1200 concealed 3 dropped 1 delay 62 ms target 50 ms"
inline std::string describePlayout(const PlayoutStats& s) {
    return "played " + std::to_string(s.played) + " concealed " + std::to_string(s.concealed) + " dropped " +
           std::to_string(s.dropped) + " delay " + std::to_string(s.delayMs) + " ms target " +
           std::to_string(s.targetMs) + " ms";
}

}  // namespace ambrel
