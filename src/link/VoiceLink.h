// The network side of a call: one UDP socket, the audio half (LinkAudio) and a
// worker thread. Point-to-point it listens on a port and talks to whoever
// sends to it, or connects to one host and port; in one-to-many mode it sends
// the same datagrams to every destination and plays nothing.
//
// Datagram (both directions): byte 0 is the kind, 0 = sound, 1 = no sound
// (sender's microphone muted, exactly one byte). A kind 0 datagram carries four
// encoded frames of equal length, concatenated; the receiver takes the frame
// length as (size - 1) / 4 and ignores bytes beyond four whole frames. The
// largest datagram received is 10000 bytes. With a key (DatagramGuard) a
// call begins with a handshake and every datagram travels sealed inside one
// of kind 3.
//
// Error reports of the network (ICMP unreachable) are hints: they never end
// listening, and end a call only when its peer has also been silent for
// kErrorSilenceMs.
//
// Threads: the owner's thread (construction, setters, listen, connect,
// disconnect, start and stop), the link's worker thread (run), and the
// capture thread (onFrameEncoded: the recorder's, or the recording device's
// own). State changes reach the owner only as posted messages
// (LinkMessages.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/AudioSink.h"
#include "audio/LinkAudio.h"
#include "link/DatagramGuard.h"
#include "link/Doorbell.h"
#include "link/LinkOwner.h"
#include "link/Socket.h"
#include "link/WorkerThread.h"

namespace ambrel {

class VoiceLink : public WorkerThread, public AudioSink {
public:
    enum State { Idle = 0, Listening = 1, Connected = 2 };

    // Bytes received at most, and the most a sealed datagram may take. The
    // same over both families: far below the UDP payload limits of IPv4
    // (65507: 65535 less the 20-byte IP and 8-byte UDP headers) and IPv6
    // (65527: its 40-byte header is not counted in its payload length).
    static constexpr int kMaxDatagram = 10000;
    static_assert(kMaxDatagram <= 65535 - 20 - 8, "a datagram must fit UDP over IPv4 and IPv6");
    static constexpr int kMaxQueuedFrames = 1000;  // oldest dropped beyond this
    static constexpr int kFramesPerDatagram = 4;
    static constexpr int kReceiveTimeoutMs = 20;
    // The longest receive wait of a call: the recorder rings when a
    // datagram's frames are queued, disconnect() when the call ends, so this
    // only bounds how late a stop request or the idle check is seen.
    static constexpr int kServiceWaitMs = 100;
    static constexpr int kLevelReportMs = 50;
    // The network's error reports (ICMP unreachable) are hints: one ends a
    // call only when the peer has also sent nothing for kErrorSilenceMs, and
    // is forgotten kErrorMemoryMs after it came.
    static constexpr int kErrorSilenceMs = 1000;
    static constexpr int kErrorMemoryMs = 2000;
    // A call whose peer has been heard ends after this long without a
    // datagram from it when no idle time-out is set: a live peer always
    // sends, so a copy that was sent one forged datagram answers it for a
    // few seconds at most.
    static constexpr int kSilentPeerMs = 4000;
    // A caller that has heard nothing: WM_LINK_NO_ANSWER once an error report
    // came or after kNoAnswerMs, then at most every kNoAnswerRepeatMs. Calling
    // a host of several addresses, it moves on to the next address after an
    // error report or kNoAnswerMs there, round the list until one answers.
    static constexpr int kNoAnswerMs = 2000;
    static constexpr int kNoAnswerRepeatMs = 5000;

    // Takes ownership of the audio half and makes this link its sink.
    explicit VoiceLink(std::unique_ptr<LinkAudio> audio);
    // Disconnects, stops the thread and waits for it, closes the socket.
    ~VoiceLink() override;

    LinkAudio& audio() { return *audio_; }
    // The counters of the link's player for the current call. Any thread.
    PlayoutStats playbackStats() { return audio_->playerStats(playerIndex_.load()); }
    // What the voice processing of recorded sound did lately. Any thread.
    VoiceStats voiceStats() { return audio_->voiceStats(); }

    // Setters: owner's thread. setOwner, setIdleTimeout, setOutputDevice and
    // setDestinations belong before start(); the mute flags may change at any
    // time.
    void setOwner(LinkOwner* owner) { owner_.store(owner); }
    // Received sound is not played.
    void setPlayMuted(bool muted) { playMuted_.store(muted); }
    bool playMuted() const { return playMuted_.load(); }
    // Captured sound is not sent: a one-byte kind 1 datagram goes out instead.
    void setSendMuted(bool muted) { sendMuted_.store(muted); }
    bool sendMuted() const { return sendMuted_.load(); }
    // Seconds without any received datagram after which a connected call ends;
    // negative = none, and then a call whose peer was heard ends after
    // kSilentPeerMs of silence, while a caller that never heard its peer
    // keeps calling.
    void setIdleTimeout(int seconds) { idleTimeout_.store(seconds); }
    int idleTimeout() const { return idleTimeout_.load(); }
    // Playback device for the player made at thread start (none is made for
    // one-to-many); -1 = default.
    void setOutputDevice(int device) { outputDevice_.store(device); }
    // Empty: point-to-point. Otherwise one-to-many, sent in this order. Only
    // while the link is idle (before start(), or with the thread not in a call).
    void setDestinations(std::vector<SocketAddress> destinations);
    const std::vector<SocketAddress>& destinations() const { return destinations_; }

    // Binds a new datagram socket to localHost and port (low 16 bits), sets
    // state Listening and posts WM_LINK_LISTENING from the calling thread.
    // localHost null or "::": every interface of both families (one
    // dual-stack socket), or of IPv4 alone where the system has no IPv6
    // (listensOnIpv4Only() then tells); "0.0.0.0": every IPv4 interface.
    // Owner's thread. Throws SocketException, BindException,
    // UnknownHostException; the state is then unchanged and no socket is
    // left open.
    void listen(const char* localHost, int port);
    // A port the owner means this copy to listen on (-1 none). A connect to
    // one of this machine's addresses at that port, or at the port a listen
    // holds until its socket is closed, would call this copy itself and is
    // refused. Owner's thread.
    void setOwnListenPort(int port) { ownListenPort_.store(port); }
    // The last listen on every interface fell back to IPv4 alone. Any thread.
    bool listensOnIpv4Only() const { return ipv4Only_.load(); }
    // Does nothing unless Idle. Otherwise binds a new datagram socket to any
    // local port and, point-to-point, fixes the remote address (nothing is
    // sent); state Connected. A host name is tried address by address in the
    // system's order until a socket of that family can be made and fixed on
    // it; while nothing comes from it, the call moves on through the other
    // addresses (kNoAnswerMs). One-to-many, the socket is dual-stack where
    // the system has IPv6, so destinations of both families are reached. A
    // remote address that is the new socket itself, or this copy's own
    // listening port on one of this machine's addresses (setOwnListenPort),
    // is refused (ConnectException). WM_LINK_CONNECTED follows from the
    // worker when its link loop begins. Owner's thread. Throws the socket
    // layer's exceptions; the state then stays Idle and no socket is left
    // open.
    void connect(const char* host, int port);
    // As connect, with the host's addresses already looked up (tried in this
    // order); one-to-many ignores them.
    void connectTo(const std::vector<SocketAddress>& addresses, int port);
    // State Idle; the worker ends the call and posts WM_LINK_DISCONNECTED.
    // Any thread.
    void disconnect() {
        state_.store(Idle);
        bell_.ring();
    }
    int state() const { return state_.load(); }
    // The local port (host order) of the link's socket, 0 without one: the
    // port a listen on port 0 got from the system. Any thread.
    int localPort() const;

    // The current peer (rewritten by every received datagram; sealed, only
    // by one newer than all before it). Any thread.
    SocketAddress peer() const;
    // The local address of the link's socket (port 0 when there is none).
    // Owner's thread.
    SocketAddress localSocketAddress() const;
    // Frames waiting to be sent. Any thread.
    int queuedFrames() const;

    // Who may talk to this link (allow-list, peer lock, sealing). Configure
    // it before start(); its drop counts may be taken from any thread.
    DatagramGuard& guard() { return guard_; }

    // AudioSink: queues a copy of the frame (at most kMaxQueuedFrames, the
    // oldest dropped) and reports levels at most every kLevelReportMs.
    // Capture thread.
    void onFrameEncoded(const uint8_t* bytes, int length) override;

protected:
    // Thread body. Worker thread.
    void run() override;
    bool deleteWhenDone() override { return false; }
    // One call, from listening or connected until it ends. Worker thread.
    virtual void linkLoop();

    // The steps of the link loop, on whichever thread drives the call (the
    // worker; a test or fuzzer may drive them directly on a link whose thread
    // was never started).
    // Takes the socket over, starts capture, waits for a first datagram when
    // listening (then keeps only the newest four frames captured meanwhile),
    // posts WM_LINK_CONNECTED. Returns whether the call is connected.
    bool enterCall();
    // One pass while connected: receive at most one datagram (waiting until
    // one comes, four frames are queued, the call is ended, or
    // kServiceWaitMs), play it, run the idle check, send every group of four
    // queued frames. Returns false when the call ended.
    bool serviceCall();
    // Listening -> Connected, for the call being driven only. Returns whether
    // it switched.
    bool answerCall();
    // Ends the call normally: stops capture, drops the frames still queued,
    // closes the socket, posts WM_LINK_DISCONNECTED.
    void leaveCall();
    // The call's socket is released after an exception left the loop.
    void abandonCall();

private:
    bool callIsCurrent() const;
    bool idleCheck();
    void noAnswerHint(int64_t now);
    void tookDatagram();
    void endCallLocked();
    void sendQueued();
    void closeFrameQueue();
    int receiveWaitMs();
    void installSocket(SocketHandle& fresh, const SocketAddress& peer, int newState, int listeningPort = -1,
                       std::vector<SocketAddress> addresses = {});
    void nextAddress(int64_t now);
    int receiveDatagram(SocketAddress& from, int ms, const uint8_t*& datagram, bool waiting = false);
    void post(int message);

    std::unique_ptr<LinkAudio> audio_;
    // The same object, for the capture thread: the pointer is never written
    // after construction, so a frame delivered while the destructor lets
    // the audio half go reads nothing that is being changed.
    LinkAudio* const capturedFor_;

    // Peer address and port; 0.0.0.0:0 while listening for a first datagram.
    SharedSocketAddress peer_;
    std::atomic<bool> ipv4Only_{false};
    std::atomic<int> ownListenPort_{-1};
    // The port the link's listening socket was given; -1 once it is closed.
    std::atomic<int> listeningPort_{-1};
    // The link's socket. socketLock_ guards the handle: the owner's thread
    // installs a new one in listen/connect, the worker takes it over for a call
    // and closes it when the call ends.
    mutable std::mutex socketLock_;
    SocketHandle socket_;       // guarded by socketLock_
    int activeHandle_ = 0;      // the handle a running call uses; socketLock_
    std::atomic<unsigned> generation_{0};  // bumped by every listen/connect
    // The addresses (with ports) of the latest connect, the one its socket
    // is fixed on first; empty for a listen or one-to-many. socketLock_.
    std::vector<SocketAddress> dialled_;

    // Frame queue: a ring of reusable buffers.
    mutable std::mutex queueLock_;
    std::vector<std::vector<uint8_t>> ring_;  // kMaxQueuedFrames slots
    int head_ = 0;                            // queueLock_
    int count_ = 0;                           // queueLock_
    // Frames are queued from a call's start to its end (and on a link that
    // has run no call yet).
    bool queueOpen_ = true;                   // queueLock_
    // Rung when a datagram's frames are queued and when the call is ended:
    // the worker's receive wait lasts no longer than it must.
    Doorbell bell_;

    std::atomic<bool> playMuted_{false};
    std::atomic<bool> sendMuted_{false};
    std::atomic<int> idleTimeout_{-1};
    std::atomic<LinkOwner*> owner_{nullptr};
    std::atomic<int> state_{Idle};
    std::atomic<int> playerIndex_{-1};
    std::atomic<int> outputDevice_{-1};
    std::atomic<int64_t> nextLevelReport_{0};  // monotonic ms
    std::vector<SocketAddress> destinations_;

    // Call state of whoever drives the call (worker thread).
    int callHandle_ = 0;
    unsigned callGeneration_ = 0;
    int64_t lastReceive_ = 0;  // monotonic seconds
    int64_t lastReceiveMs_ = 0;  // monotonic ms, as lastReceive_
    int64_t lastErrorMs_ = -1;   // the latest error report; -1 = none
    int64_t callStartMs_ = 0;
    std::vector<SocketAddress> callAddresses_;  // dialled_ as the call began
    size_t callAddress_ = 0;                    // the one the call's socket is fixed on
    int64_t addressStartMs_ = 0;                // since when
    bool addressAnswered_ = false;  // a datagram came from it (a handshake step counts)
    int64_t nextNoAnswerMs_ = 0;
    bool heard_ = false;         // a datagram of the peer was taken this call
    std::vector<uint8_t> receiveBuffer_;
    std::vector<uint8_t> sendBuffer_;

    DatagramGuard guard_;
    // With the guard active: opened and sealed datagrams, and a datagram the
    // listening wait took that the call has still to handle.
    std::vector<uint8_t> openBuffer_;
    std::vector<uint8_t> sealBuffer_;
    const uint8_t* pending_ = nullptr;
    int pendingLength_ = 0;
    SocketAddress pendingFrom_;
};

}  // namespace ambrel
