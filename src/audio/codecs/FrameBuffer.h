// Buffer growth and sample-width conversion shared by the codec adapters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "base/Exception.h"

namespace ambrel::codec {

// Scratch buffers start with room for a raw PCM frame and grow in steps, so a
// buffer stops growing after the first few frames.
inline constexpr std::size_t kScratchCapacity = 1000;
inline constexpr std::size_t kGrowStep = 100;

// Reserves room for at least `count` units, plus the grow step.
template <class T>
void reserveFor(std::vector<T>& buffer, std::size_t count) {
    if (count <= buffer.capacity()) return;
    try {
        buffer.reserve(count + kGrowStep);
    } catch (const std::bad_alloc&) {
        throw MemoryException();
    } catch (const std::length_error&) {
        throw MemoryException();
    }
}

// Empties `out` unless `append`, then makes it `count` units longer and
// returns the first new unit. Units the buffer already held at those places
// keep their values (a failed decode leaves the previous frame there); units
// beyond its old size are zero.
template <class T>
T* growFrame(std::vector<T>& out, bool append, std::size_t count) {
    const std::size_t start = append ? out.size() : 0;
    reserveFor(out, start + count);
    out.resize(start + count);  // within capacity: never allocates
    return out.data() + start;
}

// Copies one frame of `frame` samples for an encoder: the first `count`
// samples, padded with silence when there are fewer.
inline void copyFrame(const std::int16_t* samples, std::size_t count, std::int16_t* frame, std::size_t frameSamples) {
    const std::size_t used = count < frameSamples ? count : frameSamples;
    for (std::size_t i = 0; i < used; ++i) frame[i] = samples[i];
    for (std::size_t i = used; i < frameSamples; ++i) frame[i] = 0;
}

// 8-bit unsigned to 16-bit signed: s = (b - 128) x 256.
constexpr std::int16_t widenSample(std::uint8_t b) {
    return static_cast<std::int16_t>((b - 128) * 256);
}

// 16-bit signed to 8-bit unsigned: b = (s >> 8) + 128 modulo 256.
constexpr std::uint8_t narrowSample(std::int16_t s) {
    return static_cast<std::uint8_t>((s >> 8) + 128);
}

inline void widen(const std::uint8_t* in, std::size_t count, std::int16_t* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = widenSample(in[i]);
}

inline void narrow(const std::int16_t* in, std::size_t count, std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = narrowSample(in[i]);
}

}  // namespace ambrel::codec
