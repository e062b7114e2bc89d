// Sound devices of ALSA (libasound2): any PCM name ALSA knows ("default",
// "hw:1,0", "plughw:CARD=Device,DEV=0", a PCM defined in ~/.asoundrc), so the
// program runs on plain ALSA without a sound server.
//
// Each open device has one thread of its own that owns the PCM: it waits in
// poll() on the PCM's descriptors and a wake-up descriptor, moves sound
// between the PCM and the lent buffers, and hands every finished buffer back
// to the message thread. The message thread lends buffers through a fixed
// lock-free ring, so nothing on the way of a period allocates or takes a lock
// (apart from MessageThread::post, as with every backend).
//
// Periods are one buffer long (one codec frame), so recording adds one frame
// of delay; playback starts as soon as one period is written and again after
// the device ran dry.
#pragma once

#include <memory>
#include <string>

#include "platform/SoundDevice.h"

namespace ambrel {

// The backend named "alsa". Device refs: a PCM name, or a number (-1 and 0:
// "default"; n >= 1: the n-th entry of the backend's list). Errors carry
// ALSA's own text (snd_strerror) followed by the device name: a missing
// device is BadDevice, a device in use by another program Busy. The lists are
// ALSA's device-name hints: PCMs defined without a hint are not listed but
// open all the same. Creating the backend silences alsa-lib's own messages on
// standard error (the errors reach the user through SoundError).
std::unique_ptr<SoundBackend> makeAlsaBackend();

// Whether the PCM opens for recording (capture) or playing: Ok, or the
// error an open would give. Opens and closes it at once (any thread).
SoundError probeAlsaDevice(const std::string& pcmName, bool capture);

}  // namespace ambrel
