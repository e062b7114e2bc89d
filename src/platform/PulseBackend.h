// Sound devices of a PulseAudio server (or PipeWire's PulseAudio service),
// through libpulse's threaded main loop. One main loop and one context per
// backend, created at the first use and shared by every stream; a context
// that the server dropped is replaced at the next open.
#pragma once

#include <memory>
#include <string>

#include "platform/SoundDevice.h"

namespace ambrel {

struct PulseOptions {
    std::string server;             // empty: libpulse's default ($PULSE_SERVER, ...)
    std::string appName = "Ambrel";
    int connectTimeoutMs = 3000;    // bound on connecting the context
    int operationTimeoutMs = 3000;  // bound on any other server round trip
};

// The backend named "pulse". Without a reachable server every open and list
// fails with NoServer and the server's reason ("Connection refused"); nothing
// is autospawned.
std::unique_ptr<SoundBackend> makePulseBackend(PulseOptions options = {});

}  // namespace ambrel
