// Where sound-device failures go. Device errors are never thrown: the sound
// thread formats one line and hands it to the reporter the application gave
// the engine (a message box in the window, a line on stderr without one).
#pragma once

#include <string>

namespace ambrel {

class ErrorReporter {
public:
    virtual ~ErrorReporter() = default;

    // One failure, already formatted:
    //   "RECORD: <step> : <code in hex> : <text>"   (recorder; step "Open" or "Start")
    //   "PLAY : <step> :<code in hex>:<text>"       (player; step "PlayStart", or
    //                                                 "PlayWrite" when a playing stream is lost)
    // Called from the recorder's or a player's thread, possibly from several
    // at once; it must not block for long and must never touch a window
    // directly (post to the window thread instead).
    virtual void reportSoundError(const std::string& line) = 0;
};

}  // namespace ambrel
