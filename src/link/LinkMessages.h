// Messages the voice link posts to its owner (LinkOwner::postLinkMessage).
// The numbers are part of the window protocol and never change.
#pragma once

namespace ambrel {

// listen() has bound the socket; the link is listening (state 1).
constexpr int WM_LINK_LISTENING = 32778;
// A link loop starts connected (state 2): after connect(), or when the first
// datagram reaches a listening link.
constexpr int WM_LINK_CONNECTED = 32779;
// A call ended. After an idle time-out or a receive failure it arrives twice;
// a repeated one is harmless.
constexpr int WM_LINK_DISCONNECTED = 32780;
// A caller has heard nothing from its peer yet (nobody answers, or the
// system reports the peer unreachable); the call goes on. Posted at most
// every VoiceLink::kNoAnswerRepeatMs.
constexpr int WM_LINK_NO_ANSWER = 32781;

}  // namespace ambrel
