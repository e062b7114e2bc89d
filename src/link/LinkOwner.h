// The owner of a VoiceLink (the main window, or a headless controller): the
// link tells it about state changes and sound levels through this interface.
#pragma once

namespace ambrel {

class LinkOwner {
public:
    virtual ~LinkOwner() = default;

    // One of WM_LINK_LISTENING, WM_LINK_CONNECTED, WM_LINK_DISCONNECTED
    // (LinkMessages.h). Called on the link's worker thread, and for
    // WM_LINK_LISTENING on the thread that called VoiceLink::listen. The owner
    // must only queue the message (post it) and return at once: it must never
    // call back into the link from here.
    virtual void postLinkMessage(int message) = 0;

    // The input (capture) and output (playing) sound levels, 0..100 (the output
    // level is -1 when there is no player; the input level is 0 while sending
    // is muted). Called on the recorder thread at most every 50 ms while sound
    // is captured. Must only post and return.
    virtual void reportLevels(int inputLevel, int outputLevel) = 0;
};

}  // namespace ambrel
