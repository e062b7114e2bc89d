// The voice link on real loopback sockets, with a scripted audio half.
#include "link/VoiceLink.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "link/LinkMessages.h"
#include "link/LinkTestSupport.h"

namespace ambrel {
namespace {

using test::Bytes;
using test::DrivenLink;
using test::eventually;
using test::RawPeer;
using test::RecordingOwner;
using test::ScriptedAudio;
using Clock = std::chrono::steady_clock;

template <class L = VoiceLink>
struct Rig {
    explicit Rig(bool autoFrames = false) {
        auto a = std::make_unique<ScriptedAudio>(autoFrames);
        audio = a.get();
        link = std::make_unique<L>(std::move(a));
        link->setOwner(&owner);
    }
    void start() {
        link->create();
        link->start();
    }
    int port() const { return link->localSocketAddress().hostPort(); }
    RecordingOwner owner;
    ScriptedAudio* audio;
    std::unique_ptr<L> link;
};

Bytes frame(uint8_t tag, size_t length = 6) { return Bytes(length, tag); }

int openDescriptors() {
    int n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n;
}

TEST(VoiceLinkTest, TwoLinksHoldACallBothWays) {
    Rig<> a(true), b(true);
    a.start();
    b.start();
    a.link->listen("127.0.0.1", 0);
    EXPECT_EQ(a.link->state(), VoiceLink::Listening);
    EXPECT_EQ(a.owner.messages(), std::vector<int>{WM_LINK_LISTENING});
    b.link->connect("127.0.0.1", a.port());
    EXPECT_EQ(b.link->state(), VoiceLink::Connected);

    ASSERT_TRUE(b.owner.waitFor(WM_LINK_CONNECTED));
    ASSERT_TRUE(a.owner.waitFor(WM_LINK_CONNECTED));
    ASSERT_TRUE(eventually([&] { return a.audio->playedCount() >= 40 && b.audio->playedCount() >= 40; }));
    EXPECT_EQ(a.link->peer(), b.link->localSocketAddress());

    // Each side plays the other's frames whole, in order, on its player;
    // on loopback nothing is lost.
    for (ScriptedAudio* audio : {a.audio, b.audio}) {
        auto played = audio->played();
        uint32_t first;
        std::memcpy(&first, played[0].bytes.data(), 4);
        for (size_t i = 0; i < played.size(); ++i) {
            ASSERT_EQ(played[i].bytes.size(), 8u);
            EXPECT_EQ(played[i].player, audio->playerIndex);
            uint32_t n;
            std::memcpy(&n, played[i].bytes.data(), 4);
            EXPECT_EQ(n, first + i);
        }
    }
    // Levels reach the owner, never more often than every 50 ms.
    EXPECT_FALSE(a.owner.levels().empty());
    EXPECT_EQ(a.owner.levels().front(), (std::pair<int, int>(42, 17)));

    // A stops producing first, so nothing goes to B's port once it is closed
    // (another process may be given that port).
    a.audio->held = true;
    b.link->disconnect();
    ASSERT_TRUE(b.owner.waitFor(WM_LINK_DISCONNECTED));
    EXPECT_EQ(b.link->state(), VoiceLink::Idle);
    EXPECT_EQ(b.link->localSocketAddress().hostPort(), 0) << "the socket is closed";
    EXPECT_EQ(a.link->state(), VoiceLink::Connected) << "no idle time-out: the call stays";
    a.link->disconnect();
    ASSERT_TRUE(a.owner.waitFor(WM_LINK_DISCONNECTED));
    EXPECT_EQ(a.owner.messages(), (std::vector<int>{WM_LINK_LISTENING, WM_LINK_CONNECTED, WM_LINK_DISCONNECTED}));

    a.link->stop(true);
    EXPECT_EQ(a.audio->calls(), (std::vector<std::string>{"reset", "addPlayer -1", "start", "stop", "shutdown"}));
}

TEST(VoiceLinkTest, CraftedDatagramsToAListeningLink) {
    Rig<> r;
    r.start();
    r.link->listen("0.0.0.0", 0);
    RawPeer peer, other;

    peer.sendTo(r.port(), {1});  // no sound: connects, plays nothing
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    EXPECT_EQ(r.link->state(), VoiceLink::Connected);

    peer.sendTo(r.port(), {0});  // four empty frames
    peer.sendTo(r.port(), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});  // four frames of 2, last byte ignored
    peer.sendTo(r.port(), {9, 1, 2, 3, 4});  // unknown kind: not played
    Bytes largest(10000, 0xAB);
    largest[0] = 0;
    peer.sendTo(r.port(), largest);  // 9999 / 4 = 2499 bytes a frame
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 12; }));
    auto played = r.audio->played();
    ASSERT_EQ(played.size(), 12u);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(played[i].bytes.empty());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(played[4 + i].bytes, (Bytes{uint8_t(1 + 2 * i), uint8_t(2 + 2 * i)}));
    for (int i = 8; i < 12; ++i) EXPECT_EQ(played[i].bytes, Bytes(2499, 0xAB));

    // Replies go to whoever sent the latest datagram.
    for (uint8_t t = 1; t <= 4; ++t) r.audio->produce(frame(t));
    Bytes got;
    ASSERT_TRUE(peer.receive(got));
    Bytes expected{0};
    for (uint8_t t = 1; t <= 4; ++t) {
        Bytes f = frame(t);
        expected.insert(expected.end(), f.begin(), f.end());
    }
    EXPECT_EQ(got, expected);
    other.sendTo(r.port(), {1});
    ASSERT_TRUE(eventually([&] { return r.link->peer() == other.address(); }));
    for (uint8_t t = 1; t <= 4; ++t) r.audio->produce(frame(t));
    ASSERT_TRUE(other.receive(got));
    EXPECT_EQ(got, expected);

    // A datagram over 10000 bytes is a receive failure: the call ends, and the
    // owner hears of it twice.
    peer.sendTo(r.port(), Bytes(10001, 0));
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_DISCONNECTED, 2));
    EXPECT_EQ(r.link->state(), VoiceLink::Idle);
    EXPECT_EQ(r.audio->playedCount(), 12u);
    EXPECT_EQ(r.link->localSocketAddress().hostPort(), 0);
}

TEST(VoiceLinkTest, EmptyDatagramNeitherConnectsNorBlocksAListeningLink) {
    Rig<> r;
    r.start();
    r.link->listen("127.0.0.1", 0);
    RawPeer peer;
    peer.sendTo(r.port(), {});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(r.link->state(), VoiceLink::Listening);
    peer.sendTo(r.port(), {1});
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    // During a call an empty datagram is a receive failure.
    peer.sendTo(r.port(), {});
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_DISCONNECTED, 2));
    EXPECT_EQ(r.link->state(), VoiceLink::Idle);
}

TEST(VoiceLinkTest, ConnectWhileListeningOrConnectedDoesNothing) {
    Rig<> r;
    RawPeer peer;
    r.link->listen("127.0.0.1", 0);
    int port = r.port();
    EXPECT_NO_THROW(r.link->connect("127.0.0.1", peer.port()));
    EXPECT_NO_THROW(r.link->connect("no-such-host.invalid", 1));
    EXPECT_EQ(r.link->state(), VoiceLink::Listening);
    EXPECT_EQ(r.port(), port);
    r.link->disconnect();

    r.link->connect("127.0.0.1", peer.port());
    port = r.port();
    EXPECT_EQ(r.link->peer(), peer.address());
    EXPECT_NO_THROW(r.link->connect("127.0.0.1", peer.port() ^ 1));
    EXPECT_EQ(r.link->state(), VoiceLink::Connected);
    EXPECT_EQ(r.port(), port);
    EXPECT_EQ(r.link->peer(), peer.address());
    EXPECT_EQ(r.owner.messages(), std::vector<int>{WM_LINK_LISTENING});
}

TEST(VoiceLinkTest, FailedListenAndConnectLeaveTheLinkIdle) {
    Rig<> r;
    RawPeer taken;
    EXPECT_THROW(r.link->listen("127.0.0.1", taken.port()), BindException);
    EXPECT_THROW(r.link->listen("no-such-host.invalid", 0), UnknownHostException);
    EXPECT_THROW(r.link->connect("no-such-host.invalid", 5007), UnknownHostException);
    EXPECT_EQ(r.link->state(), VoiceLink::Idle);
    EXPECT_TRUE(r.owner.messages().empty());
}

TEST(VoiceLinkTest, IdleTimeoutEndsASilentCallInsideItsWindow) {
    Rig<> r;
    r.link->setIdleTimeout(1);
    r.start();
    RawPeer peer;
    r.link->connect("127.0.0.1", peer.port());
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    // Datagrams every 300 ms keep the call up, sound or not.
    for (int i = 0; i < 8; ++i) {
        peer.sendTo(r.port(), {static_cast<uint8_t>(i % 2)});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_EQ(r.link->state(), VoiceLink::Connected) << "after " << i;
    }
    peer.sendTo(r.port(), {1});
    auto last = Clock::now();
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_DISCONNECTED, 2));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last).count();
    // Whole seconds, strict comparison: more than 1 s and at most about 2 s
    // after the last datagram (plus a second of slack for a loaded machine).
    EXPECT_GE(took, 900);
    EXPECT_LE(took, 3500);
    EXPECT_EQ(r.link->state(), VoiceLink::Idle);
}

TEST(VoiceLinkTest, OneToManySendsEveryDatagramToEveryDestinationAndPlaysNothing) {
    Rig<> r;
    RawPeer d1, d2;
    // A destination the system refuses (broadcast without permission) sits in
    // the middle: the ones after it still get every datagram.
    r.link->setDestinations({d1.address(), SocketAddress::fromHostOrder(0xFFFFFFFF, 9), d2.address(), d1.address()});
    r.start();
    r.link->connect(nullptr, 0);
    EXPECT_TRUE(r.link->peer().isAnyAddress());
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    for (uint8_t t = 1; t <= 8; ++t) r.audio->produce(frame(t, 3));
    Bytes first{0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4};
    Bytes second{0, 5, 5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8};
    Bytes got;
    for (const Bytes& want : {first, first, second, second}) {
        ASSERT_TRUE(d1.receive(got));
        EXPECT_EQ(got, want);
    }
    for (const Bytes& want : {first, second}) {
        ASSERT_TRUE(d2.receive(got));
        EXPECT_EQ(got, want);
    }
    d1.sendTo(r.port(), {0, 1, 2, 3, 4});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(r.audio->playedCount(), 0u);
    EXPECT_EQ(r.link->state(), VoiceLink::Connected);
}

TEST(VoiceLinkTest, CallsOverIpv6AndIpv4ReachOneListenerOnEveryInterface) {
    Rig<> a(true), b(true), c(true);
    a.start();
    b.start();
    c.start();
    a.link->listen(nullptr, 0);
    EXPECT_FALSE(a.link->listensOnIpv4Only());
    b.link->connect("[::1]", a.port());
    EXPECT_EQ(b.link->peer().text(), "[::1]:" + std::to_string(a.port()));
    ASSERT_TRUE(eventually([&] { return a.audio->playedCount() >= 20 && b.audio->playedCount() >= 20; }));
    EXPECT_EQ(a.link->peer(), b.link->localSocketAddress());
    a.audio->held = true;
    b.link->disconnect();
    a.link->disconnect();
    ASSERT_TRUE(a.owner.waitFor(WM_LINK_DISCONNECTED));

    // The same port answers an IPv4 caller, who is seen as IPv4.
    a.audio->held = false;
    a.link->listen("::", 0);
    c.link->connect("127.0.0.1", a.port());
    ASSERT_TRUE(eventually([&] { return c.audio->playedCount() >= 20; }));
    EXPECT_EQ(a.link->peer(), c.link->localSocketAddress());
    EXPECT_FALSE(a.link->peer().isIpv6());
}

TEST(VoiceLinkTest, OneToManyReachesDestinationsOfBothFamilies) {
    Rig<> r;
    RawPeer v4, v6(resolveHost("::1"));
    r.link->setDestinations({v6.address(), v4.address()});
    r.start();
    r.link->connect(nullptr, 0);
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    for (uint8_t t = 1; t <= 4; ++t) r.audio->produce(frame(t, 2));
    const Bytes want{0, 1, 1, 2, 2, 3, 3, 4, 4};
    Bytes got;
    ASSERT_TRUE(v6.receive(got));
    EXPECT_EQ(got, want);
    ASSERT_TRUE(v4.receive(got));
    EXPECT_EQ(got, want);
}

TEST(VoiceLinkTest, ConnectGoesOnToTheNextAddressOfAHostAndNeverCallsItself) {
    Rig<> r;
    RawPeer peer;
    r.start();
    // A link-local address on an interface that does not exist: no socket
    // can be fixed on it.
    SocketAddress unusable;
    ASSERT_TRUE(parseAddressLiteral("fe80::1", unusable));
    unusable.scope = 999999;
    EXPECT_NO_THROW(r.link->connectTo({unusable, peer.address()}, peer.port()));
    EXPECT_EQ(r.link->peer(), peer.address());
    r.link->disconnect();
    ASSERT_TRUE(eventually([&] { return r.link->state() == VoiceLink::Idle; }));
    EXPECT_THROW(r.link->connectTo({unusable}, 9), SocketException);
    EXPECT_EQ(r.link->state(), VoiceLink::Idle);

    // This copy's own listening port on any address of this machine is
    // itself: refused, in either family. Another port is not.
    const int own = peer.port() ^ 1;
    r.link->setOwnListenPort(own);
    for (const char* self : {"127.0.0.1", "::1", "0.0.0.0", "127.0.0.2"})
        EXPECT_THROW(r.link->connect(self, own), ConnectException) << self;
    EXPECT_EQ(r.link->state(), VoiceLink::Idle);
    const int calls = r.owner.count(WM_LINK_CONNECTED);
    EXPECT_NO_THROW(r.link->connect("127.0.0.1", peer.port()));

    // A port it listened on is its own only until that listening ends:
    // another copy may listen there next.
    int was = 0;
    {
        RawPeer probe;
        was = probe.port();
    }
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED, calls + 1));
    const int ends = r.owner.count(WM_LINK_DISCONNECTED);
    r.link->disconnect();
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_DISCONNECTED, ends + 1));
    r.link->listen("127.0.0.1", was);
    ASSERT_TRUE(eventually([&] { return r.audio->capturing(); }));  // the worker runs the listening call
    r.link->disconnect();
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_DISCONNECTED, ends + 2));
    SocketHandle other;
    other.openDatagram();
    bindSocket(other.handle, SocketAddress::fromHostOrder(INADDR_LOOPBACK, was));
    EXPECT_NO_THROW(r.link->connect("127.0.0.1", was));
}

TEST(VoiceLinkTest, AHostWhoseIpv6AddressIsSilentIsReachedOverIpv4) {
    // The IPv6 address comes first, as the system prefers it; nobody is
    // there, yet a socket is fixed on it without a word. Only the IPv4
    // address has the (older, IPv4-only) peer.
    Rig<> r(true);
    RawPeer peer;
    r.start();
    r.link->connectTo({resolveHost("::1"), resolveHost("127.0.0.1")}, peer.port());
    EXPECT_TRUE(r.link->peer().isIpv6());
    Bytes got;
    ASSERT_TRUE(peer.receive(got, 10000)) << "the call never moved to the IPv4 address";
    EXPECT_EQ(r.link->peer(), peer.address());
}

TEST(VoiceLinkTest, DisconnectThenConnectAtOnceStartsTheNewCall) {
    Rig<> r;
    r.start();
    RawPeer p1, p2;
    r.link->connect("127.0.0.1", p1.port());
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    r.link->disconnect();
    r.link->connect("127.0.0.1", p2.port());
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED, 2));
    EXPECT_EQ(r.link->state(), VoiceLink::Connected);
    EXPECT_EQ(r.owner.messages(), (std::vector<int>{WM_LINK_CONNECTED, WM_LINK_DISCONNECTED, WM_LINK_CONNECTED}));
    for (uint8_t t = 1; t <= 4; ++t) r.audio->produce(frame(t, 1));
    Bytes got;
    ASSERT_TRUE(p2.receive(got));
    EXPECT_EQ(got, (Bytes{0, 1, 2, 3, 4}));
}

TEST(VoiceLinkTest, ListenDuringACallReplacesIt) {
    Rig<> r;
    r.start();
    RawPeer p1, p2;
    r.link->connect("127.0.0.1", p1.port());
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    const int oldPort = r.port();
    r.link->listen("127.0.0.1", 0);
    EXPECT_EQ(r.link->state(), VoiceLink::Listening);
    EXPECT_NE(r.port(), oldPort);
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_DISCONNECTED));
    EXPECT_EQ(r.link->state(), VoiceLink::Listening) << "the old call's end leaves the new one alone";
    p2.sendTo(r.port(), {1});
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED, 2));
    EXPECT_EQ(r.link->peer(), p2.address());
    EXPECT_EQ(r.owner.count(WM_LINK_LISTENING), 1);
    EXPECT_EQ(r.owner.count(WM_LINK_DISCONNECTED), 1);
}

TEST(VoiceLinkTest, AListeningLinkEndsTheCallWhenTheCallerIsGone) {
    Rig<> r(true);
    r.start();
    r.link->listen("127.0.0.1", 0);
    auto caller = std::make_unique<RawPeer>();
    caller->sendTo(r.port(), {1});
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    Bytes got;
    ASSERT_TRUE(caller->receive(got)) << "the listener answers its caller";
    // The caller's port closes; no idle time-out is set, so only the
    // system's refusals can end the call.
    caller.reset();
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_DISCONNECTED, 2));
    EXPECT_EQ(r.link->state(), VoiceLink::Idle);
    // Listening again (as the window does when it listens unattended) takes
    // the next caller.
    r.link->listen("127.0.0.1", 0);
    RawPeer next;
    next.sendTo(r.port(), {1});
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED, 2));
    ASSERT_TRUE(next.receive(got));
}

TEST(VoiceLinkQueueTest, AStaleAnswerLeavesANewListeningCallAlone) {
    Rig<DrivenLink> r;
    RawPeer caller;
    r.link->listen("127.0.0.1", 0);
    // The call is ended and a new one set up while the driver of the first
    // is between seeing a datagram and taking the call.
    r.link->disconnect();
    EXPECT_FALSE(r.link->enterCall());
    r.link->listen("127.0.0.1", 0);
    EXPECT_FALSE(r.link->answerCall());
    EXPECT_EQ(r.link->state(), VoiceLink::Listening);
    r.link->leaveCall();
    EXPECT_EQ(r.link->state(), VoiceLink::Listening);
    // The new call still takes its own caller.
    caller.sendTo(r.port(), {1});
    ASSERT_TRUE(r.link->enterCall());
    ASSERT_TRUE(r.link->serviceCall());
    EXPECT_EQ(r.link->peer(), caller.address());
}

TEST(VoiceLinkQueueTest, FramesOfAnEndedCallNeverReachTheNextPeer) {
    Rig<DrivenLink> r;
    RawPeer first, second;
    r.link->connect("127.0.0.1", first.port());
    ASSERT_TRUE(r.link->enterCall());
    for (uint8_t t = 1; t <= 3; ++t) r.audio->produce(frame(t, 1));  // less than a datagram
    ASSERT_TRUE(r.link->serviceCall());
    r.link->disconnect();
    r.link->leaveCall();
    r.audio->produce(frame(4, 1));  // the recorder had not yet seen the stop
    EXPECT_EQ(r.link->queuedFrames(), 0);
    r.link->connect("127.0.0.1", second.port());
    ASSERT_TRUE(r.link->enterCall());
    for (uint8_t t = 5; t <= 8; ++t) r.audio->produce(frame(t, 1));
    ASSERT_TRUE(r.link->serviceCall());
    Bytes got;
    ASSERT_TRUE(second.receive(got));
    EXPECT_EQ(got, (Bytes{0, 5, 6, 7, 8}));
    EXPECT_FALSE(first.receive(got, 50));
}

TEST(VoiceLinkQueueTest, SevenQueuedFramesMakeOneDatagramAndThreeStay) {
    Rig<DrivenLink> r;
    RawPeer peer;
    r.link->connect("127.0.0.1", peer.port());
    for (uint8_t t = 1; t <= 7; ++t) r.audio->produce(frame(t, 2));
    ASSERT_TRUE(r.link->enterCall());
    ASSERT_TRUE(r.link->serviceCall());
    Bytes got;
    ASSERT_TRUE(peer.receive(got));
    EXPECT_EQ(got, (Bytes{0, 1, 1, 2, 2, 3, 3, 4, 4}));
    EXPECT_FALSE(peer.receive(got, 50));
    EXPECT_EQ(r.link->queuedFrames(), 3);
    r.link->leaveCall();
    EXPECT_EQ(r.owner.messages(), (std::vector<int>{WM_LINK_CONNECTED, WM_LINK_DISCONNECTED}));
}

// What the microphone picked up while nobody called is not sent to the first
// caller: only the newest datagram's worth of it.
TEST(VoiceLinkQueueTest, ACallerHearsOnlyTheNewestFramesCapturedWhileListening) {
    Rig<DrivenLink> r;
    r.link->listen("127.0.0.1", 0);
    for (uint8_t t = 1; t <= 30; ++t) r.audio->produce(frame(t, 2));
    RawPeer caller;
    caller.sendTo(r.port(), {1});
    ASSERT_TRUE(r.link->enterCall());
    EXPECT_EQ(r.link->queuedFrames(), 4);
    ASSERT_TRUE(r.link->serviceCall());
    Bytes got;
    ASSERT_TRUE(caller.receive(got));
    EXPECT_EQ(got, (Bytes{0, 27, 27, 28, 28, 29, 29, 30, 30}));
    EXPECT_FALSE(caller.receive(got, 50));
    r.link->leaveCall();
}

TEST(VoiceLinkQueueTest, AFullQueueDropsTheOldest) {
    Rig<DrivenLink> r;
    RawPeer peer;
    r.link->connect("127.0.0.1", peer.port());
    for (int i = 0; i < 1001; ++i) {
        Bytes f(4);
        std::memcpy(f.data(), &i, 4);
        r.audio->produce(f);
    }
    EXPECT_EQ(r.link->queuedFrames(), 1000);
    ASSERT_TRUE(r.link->enterCall());
    ASSERT_TRUE(r.link->serviceCall());
    EXPECT_EQ(r.link->queuedFrames(), 0);
    Bytes got;
    ASSERT_TRUE(peer.receive(got));
    int firstSent;
    std::memcpy(&firstSent, got.data() + 1, 4);
    EXPECT_EQ(firstSent, 1) << "frame 0 was dropped";
}

TEST(VoiceLinkQueueTest, SendMutedSendsOneNoSoundByteForEachFourFrames) {
    Rig<DrivenLink> r;
    RawPeer peer;
    r.link->connect("127.0.0.1", peer.port());
    r.link->setSendMuted(true);
    for (uint8_t t = 1; t <= 8; ++t) r.audio->produce(frame(t));
    ASSERT_TRUE(r.link->enterCall());
    ASSERT_TRUE(r.link->serviceCall());
    Bytes got;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(peer.receive(got));
        EXPECT_EQ(got, Bytes{1});
    }
    EXPECT_EQ(r.owner.levels().front().first, 0) << "a muted microphone reports level 0";
}

TEST(VoiceLinkQueueTest, PlayMutedPlaysNothingButKeepsTheCall) {
    Rig<DrivenLink> r;
    RawPeer peer;
    r.link->connect("127.0.0.1", peer.port());
    r.link->setPlayMuted(true);
    ASSERT_TRUE(r.link->enterCall());
    peer.sendTo(r.link->localSocketAddress().hostPort(), {0, 1, 2, 3, 4});
    ASSERT_TRUE(r.link->serviceCall());
    EXPECT_EQ(r.audio->playedCount(), 0u);
    EXPECT_EQ(r.link->peer(), peer.address());
}

TEST(VoiceLinkQueueTest, LevelsAreReportedAtMostEvery50Ms) {
    Rig<> r;
    auto t0 = Clock::now();
    for (int i = 0; i < 10; ++i) r.audio->produce(frame(1));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    if (took < 50) {
        EXPECT_EQ(r.owner.levels().size(), 1u);
    }
    // Before the thread made a player the output level is that of no player.
    EXPECT_EQ(r.owner.levels().front(), (std::pair<int, int>(42, -1)));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    size_t before = r.owner.levels().size();
    r.audio->produce(frame(1));
    EXPECT_EQ(r.owner.levels().size(), before + 1);
    // A null or empty frame is ignored.
    r.link->onFrameEncoded(nullptr, 5);
    r.audio->produce(Bytes{});
    EXPECT_EQ(r.link->queuedFrames(), 11);
}

// Listens, calls the link from `peer` and hangs up once the worker has
// answered. Only the worker's answer sets Connected after a listen; its
// message may come before or after the send returns.
void takeACallUp(Rig<>& r, const RawPeer& peer) {
    const int connected = r.owner.count(WM_LINK_CONNECTED);
    r.link->listen("127.0.0.1", 0);
    peer.sendTo(r.port(), {1});
    ASSERT_TRUE(eventually([&] { return r.link->state() == VoiceLink::Connected; }));
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED, connected + 1));
    r.link->disconnect();
}

TEST(VoiceLinkResourceTest, ThousandCallCyclesLeaveTheDescriptorCountUnchanged) {
    const int before = openDescriptors();
    {
        RawPeer peer;  // outlives the link, which may still send to it
        Rig<> r(true);
        r.start();
        for (int i = 0; i < 1000; ++i) {
            r.link->listen("127.0.0.1", 0);
            r.link->connect("127.0.0.1", peer.port());  // ignored: listening
            r.link->disconnect();
            r.link->connect("127.0.0.1", peer.port());
            r.link->disconnect();
            // Now and then let the worker take a call up and end it.
            if (i % 100 == 0) {
                ASSERT_NO_FATAL_FAILURE(takeACallUp(r, peer));
            }
        }
        // The worker may still be in a call of the last connect, whose
        // socket it closes only once it sees the call has ended. One more
        // call that it answers and ends leaves it holding nothing: then only
        // the peer's socket and the link's wake-up descriptor are open.
        ASSERT_NO_FATAL_FAILURE(takeACallUp(r, peer));
        ASSERT_TRUE(eventually([&] { return r.link->localPort() == 0; }));
        ASSERT_EQ(openDescriptors(), before + 2);
        // Failed attempts leave nothing open either.
        const int mid = openDescriptors();
        for (int i = 0; i < 1000; ++i) {
            EXPECT_THROW(r.link->listen("127.0.0.1", peer.port()), BindException);
        }
        EXPECT_EQ(openDescriptors(), mid);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(VoiceLinkResourceTest, StopEndsTheThreadAndShutsTheAudioDown) {
    Rig<> r;
    r.link->setOutputDevice(3);
    r.start();
    r.link->listen("127.0.0.1", 0);
    ASSERT_TRUE(eventually([&] { return r.audio->capturing(); }));
    r.link->stop(true);
    EXPECT_EQ(r.link->threadState(), WorkerThread::Finished);
    auto calls = r.audio->calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "reset");
    EXPECT_EQ(calls[1], "addPlayer 3");
    EXPECT_EQ(calls.back(), "shutdown");
}

}  // namespace
}  // namespace ambrel
