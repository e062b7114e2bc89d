// WAV files as sound devices, for headless use and tests. A recording device
// reads a WAV file (any rate and channel count, mixed to mono, resampled and
// converted to the asked width) and a playing device writes one at the device
// format. Both run on a clock at the device rate, buffer by buffer, exactly as
// a sound card delivers and consumes them.
#pragma once

#include <memory>

#include "platform/SoundDevice.h"

namespace ambrel {

// The backend named "file". Device refs name the WAV path; numbers are
// refused with BadDevice (there is no default file). The lists are empty.
//  - Recording: after the end of the file, silence.
//  - Playing: while no buffer is queued the file gets silence, so it keeps
//    the time line from open to close. The header is kept up to date after
//    every write, so the file is complete even if the program dies later.
std::unique_ptr<SoundBackend> makeFileBackend();

}  // namespace ambrel
