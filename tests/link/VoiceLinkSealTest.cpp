// Sealed calls on real loopback sockets: the handshake between two links,
// and what recorded, replayed, spoofed and moved datagrams can do to a
// listener (nothing, or exactly what the issue allows).
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "link/LinkMessages.h"
#include "link/LinkTestSupport.h"
#include "link/VoiceLink.h"

namespace ambrel {
namespace {

using test::Bytes;
using test::eventually;
using test::RawPeer;
using test::RecordingOwner;
using test::ScriptedAudio;

GuardKey sharedKey() {
    GuardKey k;
    k.fill(0x5C);
    return k;
}

struct Rig : test::LinkRig {
    explicit Rig(bool autoFrames = false) : LinkRig(autoFrames) {
        link->guard().setKey(sharedKey());
        start();
    }
};

// A caller written against the guard alone: every datagram it sends is kept,
// so a test can replay them. Each call() is a new call with new keys.
struct Recorder {
    Recorder() { guard.setKey(sharedKey()); }

    bool call(const RawPeer& from, int port) { return test::callSealed(guard, from, port, 40, &sent); }
    Bytes seal(const Bytes& plain) {
        Bytes out(VoiceLink::kMaxDatagram);
        out.resize(static_cast<size_t>(
            guard.seal(plain.data(), static_cast<int>(plain.size()), out.data(), VoiceLink::kMaxDatagram)));
        return out;
    }
    void send(const RawPeer& from, int port, const Bytes& datagram) {
        sent.push_back(datagram);
        from.sendTo(port, datagram);
    }
    int take(const RawPeer& at, const Bytes& datagram) {
        const uint8_t* plain = nullptr;
        return guard.open(at.address(), datagram.data(), static_cast<int>(datagram.size()), scratch.data(), plain);
    }

    DatagramGuard guard;
    std::vector<Bytes> sent;
    Bytes scratch = Bytes(VoiceLink::kMaxDatagram);
};

Bytes sound(uint8_t t) { return {0, t, t, t, t}; }

TEST(VoiceLinkSealTest, TwoSealedLinksHoldACallBothWays) {
    Rig listener(true), caller(true);
    listener.link->listen("127.0.0.1", 0);
    // A host of both families whose IPv6 address nobody answers: the caller
    // starts its handshake again at the IPv4 one.
    caller.link->connectTo({resolveHost("::1"), resolveHost("127.0.0.1")}, listener.port());
    ASSERT_TRUE(listener.owner.waitFor(WM_LINK_CONNECTED));
    ASSERT_TRUE(eventually([&] { return listener.audio->playedCount() >= 40 && caller.audio->playedCount() >= 40; }));
    EXPECT_TRUE(listener.link->guard().established());
    EXPECT_EQ(listener.link->peer().hostPort(), caller.link->localSocketAddress().hostPort());
    EXPECT_EQ(caller.owner.count(WM_LINK_NO_ANSWER), 0);
    EXPECT_EQ(listener.link->guard().takeDrops().total, 0u);
    // An ended call's keys are wiped at once, not at the next call.
    caller.link->disconnect();
    ASSERT_TRUE(caller.owner.waitFor(WM_LINK_DISCONNECTED));
    EXPECT_FALSE(caller.link->guard().established());
}

TEST(VoiceLinkSealTest, ARecordedCallOpensNothingOnARestartedListenerAndEarnsOnlyCookies) {
    Recorder recorder;
    RawPeer caller;
    {
        Rig first;
        first.link->listen("127.0.0.1", 0);
        ASSERT_TRUE(recorder.call(caller, first.port()));
        for (uint8_t t = 1; t <= 20; ++t) recorder.send(caller, first.port(), recorder.seal(sound(t)));
        ASSERT_TRUE(eventually([&] { return first.audio->playedCount() >= 80; }));
    }
    // The copy restarts with the same key; the whole call comes again.
    Rig restarted;
    restarted.link->listen("127.0.0.1", 0);
    RawPeer replayer;
    size_t bytesIn = 0, bytesOut = 0, datagramsOut = 0;
    for (const Bytes& d : recorder.sent) {
        replayer.sendTo(restarted.port(), d);
        bytesIn += d.size();
    }
    replayer.sendTo(restarted.port(), {1});  // and a spoofed plain byte
    bytesIn += 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Bytes got;
    while (replayer.receive(got, 0)) {
        bytesOut += got.size();
        ++datagramsOut;
        EXPECT_EQ(got.size(), static_cast<size_t>(DatagramGuard::kCookieReplyBytes)) << "only cookies";
    }
    EXPECT_EQ(restarted.link->state(), VoiceLink::Listening);
    EXPECT_EQ(restarted.audio->playedCount(), 0u);
    EXPECT_LE(bytesOut, bytesIn);
    EXPECT_LE(datagramsOut, recorder.sent.size());
    std::printf("replayed %zu datagrams (%zu bytes): %zu answered (%zu bytes)\n", recorder.sent.size() + 1, bytesIn,
                datagramsOut, bytesOut);
}

TEST(VoiceLinkSealTest, DatagramsOfOtherCallsCannotEvictTheCallsWindowOrMoveItsPeer) {
    Rig r;
    RawPeer caller, stranger(0x7f000002), moved;
    // Four earlier calls to the same listener, each with its own keys.
    std::vector<Bytes> old;
    for (int i = 0; i < 4; ++i) {
        Recorder earlier;
        r.link->listen("127.0.0.1", 0);
        ASSERT_TRUE(earlier.call(caller, r.port()));
        for (uint8_t t = 1; t <= 3; ++t) old.push_back(earlier.seal(sound(t)));
    }
    r.link->listen("127.0.0.1", 0);
    Recorder live;
    ASSERT_TRUE(live.call(caller, r.port()));
    const Bytes firstSound = live.seal(sound(1));
    caller.sendTo(r.port(), firstSound);
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 4; }));
    for (const Bytes& d : old) stranger.sendTo(r.port(), d);  // other calls' datagrams
    for (const Bytes& d : old) caller.sendTo(r.port(), d);
    stranger.sendTo(r.port(), firstSound);  // this call's, replayed elsewhere
    caller.sendTo(r.port(), firstSound);
    caller.sendTo(r.port(), live.seal(sound(2)));
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 8; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(r.audio->playedCount(), 8u);
    EXPECT_EQ(r.link->peer(), caller.address());

    // A fresh datagram from a new address (a caller moving between networks)
    // moves the call; an older one sent from the old address does not move
    // it back.
    const Bytes held = live.seal(sound(3));
    moved.sendTo(r.port(), live.seal(sound(4)));
    ASSERT_TRUE(eventually([&] { return r.link->peer() == moved.address(); }));
    caller.sendTo(r.port(), held);
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 16; }));
    EXPECT_EQ(r.link->peer(), moved.address());
    for (uint8_t t = 1; t <= 4; ++t) r.audio->produce({t});
    Bytes got;
    ASSERT_TRUE(moved.receive(got));
    EXPECT_EQ(live.take(moved, got), 5);
}

TEST(VoiceLinkSealTest, ACookieHastensOnlyTheHelloItAnswersAndOnlyOnceACall) {
    Recorder caller, listener;
    const SocketAddress from = SocketAddress::fromHostOrder(0x7f000001, 5007);
    // What the listener answers to the caller's current hello.
    auto cookieFor = [&](int64_t now) {
        const uint8_t* hello = nullptr;
        const int n = caller.guard.hello(now, hello);
        EXPECT_EQ(n, DatagramGuard::kHelloBytes);
        const uint8_t* plain = nullptr;
        listener.guard.open(from, hello, n, listener.scratch.data(), plain);
        const uint8_t* reply = nullptr;
        const int r = listener.guard.takeReply(reply);
        return Bytes(reply, reply + std::max(r, 0));
    };
    const uint8_t* hello = nullptr;
    listener.guard.beginCall(false);
    caller.guard.beginCall(true);
    const Bytes earlier = cookieFor(0);
    ASSERT_EQ(earlier.size(), static_cast<size_t>(DatagramGuard::kCookieReplyBytes));
    caller.guard.beginCall(true);  // the next call
    const Bytes cookie = cookieFor(0);
    EXPECT_EQ(caller.take(RawPeer(), earlier), 0);
    EXPECT_EQ(caller.guard.hello(1, hello), 0) << "a cookie of an earlier call's hello hastens nothing";
    EXPECT_EQ(caller.guard.takeDrops().total, 1u);
    caller.take(RawPeer(), cookie);
    EXPECT_EQ(caller.guard.hello(1, hello), DatagramGuard::kHelloBytes);
    caller.take(RawPeer(), cookie);
    caller.take(RawPeer(), cookie);
    EXPECT_EQ(caller.guard.hello(2, hello), 0) << "the cookie again, after that hello, hastens nothing more";
}

TEST(VoiceLinkSealTest, ASealingCallerOfACopyWithoutAKeyIsToldSo) {
    // The plain copy takes the hello as a call and sends its sound back.
    test::LinkRig plain(true);
    plain.start();
    plain.link->listen("127.0.0.1", 0);
    Rig caller(true);
    caller.link->connect("127.0.0.1", plain.port());
    uint64_t told = 0;
    EXPECT_TRUE(eventually([&] { return (told += caller.link->guard().takeDrops().plainPeer) > 0; }));
    EXPECT_EQ(caller.audio->playedCount(), 0u);
}

TEST(VoiceLinkSealTest, APeerOfAnotherSealingVersionIsToldApart) {
    Rig r;
    r.link->listen("127.0.0.1", 0);
    RawPeer old;
    old.sendTo(r.port(), Bytes(60, 2));  // the first sealing: kind 2
    Bytes later(83, 0);
    later[0] = DatagramGuard::kSealedKind;
    later[1] = DatagramGuard::kVersion + 1;
    old.sendTo(r.port(), later);
    old.sendTo(r.port(), {1});
    uint64_t told = 0;
    EXPECT_TRUE(eventually([&] { return (told += r.link->guard().takeDrops().otherVersion) == 2; }, 5000)) << told;
    EXPECT_EQ(r.link->state(), VoiceLink::Listening);
}

}  // namespace
}  // namespace ambrel
