// WAV files as sound devices, for headless use and tests. A recording device
// reads a WAV file (any rate and channel count, mixed to mono, resampled and
// converted to the asked width) and a playing device writes one at the device
// format. Both run on a clock at the device rate, buffer by buffer, exactly as
// a sound card delivers and consumes them.
#pragma once

#include <memory>
#include <string>

#include "platform/SoundDevice.h"

namespace ambrel {

// The backend named "file". Device refs name the WAV path; numbers are
// refused with BadDevice (there is no default file). The lists are empty.
//  - Recording: after the end of the file, silence.
//  - Recording: only a regular file (a FIFO would block the open).
//  - Playing: while no buffer is queued the file gets silence, so it keeps
//    the time line from open to close. A regular file is written as
//    "PATH.part" (or "PATH.partN" when that is taken) in the same folder and
//    renamed over PATH at close, so an old file is replaced only by a
//    complete one; the header is kept up to date after every write, so the
//    temporary file is a complete WAV file even if the program dies; it
//    keeps the old file's mode and, where it may, its owner. Through a
//    symbolic link the file the link names is written and replaced. A FIFO
//    or a character device is written directly.
std::unique_ptr<SoundBackend> makeFileBackend();

// A problem a file device would meet, found before anything starts: one line
// for the user (empty text: none).
struct FileProblem {
    enum Kind { kNone, kUnreadable, kUnusable, kConflict };
    Kind kind = kNone;
    std::string text;
    explicit operator bool() const { return kind != kNone; }
};

// A recording file must exist, be readable, be a regular file and open as
// sound (kUnreadable, kUnusable).
FileProblem checkRecordingFile(const std::string& path);
// A playing file's folder must exist and be writable (kUnusable); an existing
// regular file must not be read-only (kUnusable), nor the recording file, nor
// a non-empty file that is not a WAV file unless `overwrite` (kConflict).
// FIFOs and devices pass. A symbolic link is judged by the file it names.
FileProblem checkPlayingFile(const std::string& path, const std::string& recordingPath, bool overwrite);

}  // namespace ambrel
