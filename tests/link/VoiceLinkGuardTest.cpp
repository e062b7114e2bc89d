// Who may talk to a link, on real loopback sockets: a stranger on 127.0.0.2
// against the allow-list, a second peer against the peer lock, and sealed
// calls against a wrong key and replays. Datagrams on one socket are handled
// in the order they arrive, so once a later datagram shows its effect, every
// earlier one has been dealt with.
#include <gtest/gtest.h>

#include <memory>

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

constexpr uint32_t kStranger = 0x7f000002;

struct Rig {
    explicit Rig(bool autoFrames = false) {
        auto a = std::make_unique<ScriptedAudio>(autoFrames);
        audio = a.get();
        link = std::make_unique<VoiceLink>(std::move(a));
        link->setOwner(&owner);
    }
    void start() {
        link->create();
        link->start();
    }
    int port() const { return link->localSocketAddress().hostPort(); }
    std::vector<Bytes> playedBytes() {
        std::vector<Bytes> out;
        for (auto& p : audio->played()) out.push_back(p.bytes);
        return out;
    }
    RecordingOwner owner;
    ScriptedAudio* audio;
    std::unique_ptr<VoiceLink> link;
};

GuardKey keyOf(uint8_t fill) {
    GuardKey k;
    k.fill(fill);
    return k;
}

// A sound datagram of four one-byte frames.
Bytes sound(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return {0, a, b, c, d}; }

Bytes sealWith(DatagramGuard& g, const Bytes& plain) {
    Bytes out(VoiceLink::kMaxDatagram);
    out.resize(static_cast<size_t>(g.seal(plain.data(), static_cast<int>(plain.size()), out.data(),
                                          VoiceLink::kMaxDatagram)));
    return out;
}

TEST(VoiceLinkGuardTest, AllowRulesOfEachFamilyOnADualStackSocket) {
    // 127.0.0.0/8 lets an IPv4 caller in although the socket sees it as
    // ::ffff:127.0.0.1; ::1 is not in fd00::/8 and is ignored by its IPv6 text.
    Rig r;
    SocketAddress v6net;
    ASSERT_TRUE(parseAddressLiteral("fd00::", v6net));
    r.link->guard().setAllowList({AllowRule::make(v6net, 8), AllowRule::make(htonl(0x7f000000), 8)});
    r.start();
    r.link->listen(nullptr, 0);
    RawPeer stranger(resolveHost("::1")), peer;
    stranger.sendTo(r.port(), sound(9, 9, 9, 9));
    peer.sendTo(r.port(), sound(1, 2, 3, 4));
    ASSERT_TRUE(eventually([&] { return r.link->state() == VoiceLink::Connected && r.audio->playedCount() >= 4; }));
    EXPECT_EQ(r.link->peer(), peer.address());
    EXPECT_EQ(r.playedBytes()[0], Bytes{1});
    DropReport drops = r.link->guard().takeDrops();
    EXPECT_EQ(drops.total, 1u);
    EXPECT_EQ(drops.topSource, stranger.address());
    EXPECT_EQ(drops.topSource.text(), "[::1]:" + std::to_string(stranger.port()));
}

TEST(VoiceLinkGuardTest, ALockedIpv6PeerKeepsTheCallFromAnIpv4Caller) {
    Rig r;
    r.link->guard().setLockPeer(true);
    r.start();
    r.link->listen(nullptr, 0);
    RawPeer first(resolveHost("::1")), second;
    first.sendTo(r.port(), {1});
    second.sendTo(r.port(), sound(9, 9, 9, 9));
    first.sendTo(r.port(), sound(1, 2, 3, 4));
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 4; }));
    EXPECT_EQ(r.playedBytes(), (std::vector<Bytes>{{1}, {2}, {3}, {4}}));
    EXPECT_EQ(r.link->peer(), first.address());
    DropReport drops = r.link->guard().takeDrops();
    EXPECT_EQ(drops.total, 1u);
    EXPECT_EQ(drops.topSource, second.address());  // 127.0.0.1, not its mapped form
}

TEST(VoiceLinkGuardTest, AllowListDropsAStrangerBeforeAndDuringACall) {
    Rig r;
    r.link->guard().setAllowList({AllowRule::make(htonl(0x7f000001), 32)});
    r.start();
    r.link->listen("0.0.0.0", 0);
    RawPeer peer, stranger(kStranger);

    stranger.sendTo(r.port(), sound(9, 9, 9, 9));
    peer.sendTo(r.port(), {});  // no call, and no end of the wait either
    peer.sendTo(r.port(), Bytes(10001, 0));
    peer.sendTo(r.port(), {1});
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    EXPECT_EQ(r.link->peer(), peer.address());

    // Neither sound nor datagrams of impossible sizes from the stranger change
    // the call (a failed receive would end it).
    stranger.sendTo(r.port(), sound(8, 8, 8, 8));
    stranger.sendTo(r.port(), {});
    stranger.sendTo(r.port(), Bytes(10001, 0));
    peer.sendTo(r.port(), sound(1, 2, 3, 4));
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 4; }));
    EXPECT_EQ(r.playedBytes(), (std::vector<Bytes>{{1}, {2}, {3}, {4}}));
    EXPECT_EQ(r.link->peer(), peer.address());
    EXPECT_EQ(r.link->state(), VoiceLink::Connected);
    EXPECT_EQ(r.owner.count(WM_LINK_CONNECTED), 1);

    // Replies go to the peer, never to the stranger.
    for (uint8_t t = 1; t <= 4; ++t) r.audio->produce({t});
    Bytes got;
    ASSERT_TRUE(peer.receive(got));
    EXPECT_EQ(got, sound(1, 2, 3, 4));
    EXPECT_FALSE(stranger.receive(got, 0));

    DropReport drops = r.link->guard().takeDrops();
    EXPECT_EQ(drops.total, 6u);
    EXPECT_EQ(drops.topSource, stranger.address());
    EXPECT_EQ(drops.topCount, 4u);
    EXPECT_EQ(drops.sources, 2);
}

TEST(VoiceLinkGuardTest, DroppedDatagramsDoNotKeepACallAlive) {
    Rig r;
    r.link->guard().setAllowList({AllowRule::make(htonl(0x7f000001), 32)});
    r.link->setIdleTimeout(1);
    r.start();
    r.link->listen("0.0.0.0", 0);
    RawPeer peer, stranger(kStranger);
    peer.sendTo(r.port(), {1});
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    // The stranger keeps sending; the call still ends for want of the peer.
    EXPECT_TRUE(eventually([&] {
        stranger.sendTo(r.port(), {1});
        return r.owner.count(WM_LINK_DISCONNECTED) > 0;
    }, 20000));
}

TEST(VoiceLinkGuardTest, LockedPeerKeepsTheCallUntilItEnds) {
    Rig r;
    r.link->guard().setLockPeer(true);
    r.start();
    r.link->listen("127.0.0.1", 0);
    RawPeer first, second;
    first.sendTo(r.port(), {1});
    second.sendTo(r.port(), sound(9, 9, 9, 9));
    first.sendTo(r.port(), sound(1, 2, 3, 4));
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 4; }));
    EXPECT_EQ(r.playedBytes(), (std::vector<Bytes>{{1}, {2}, {3}, {4}}));
    EXPECT_EQ(r.link->peer(), first.address());
    EXPECT_EQ(r.link->guard().takeDrops().total, 1u);

    // A new call locks to whoever comes first then.
    r.link->listen("127.0.0.1", 0);
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_LISTENING, 2));
    second.sendTo(r.port(), {1});
    first.sendTo(r.port(), {1});
    second.sendTo(r.port(), sound(5, 6, 7, 8));
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 8; }));
    EXPECT_EQ(r.link->peer(), second.address());
    EXPECT_EQ(r.link->guard().takeDrops().total, 1u);
}

TEST(VoiceLinkGuardTest, SealedLinkTakesOnlyFreshDatagramsSealedWithItsKey) {
    Rig r;
    r.link->guard().setKey(keyOf(1));
    r.start();
    r.link->listen("0.0.0.0", 0);
    RawPeer peer, stranger(kStranger);
    DatagramGuard ours, theirs;
    ours.setKey(keyOf(1));
    theirs.setKey(keyOf(2));

    stranger.sendTo(r.port(), sealWith(theirs, {1}));  // wrong key
    stranger.sendTo(r.port(), {1});                    // not sealed
    Bytes hello = sealWith(ours, {1});
    peer.sendTo(r.port(), hello);
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    EXPECT_EQ(r.link->peer(), peer.address());

    Bytes first = sealWith(ours, sound(1, 2, 3, 4));
    peer.sendTo(r.port(), first);
    stranger.sendTo(r.port(), first);  // a replay, even from the peer's own address
    peer.sendTo(r.port(), first);
    peer.sendTo(r.port(), hello);
    stranger.sendTo(r.port(), Bytes(10001, 2));
    peer.sendTo(r.port(), sealWith(ours, sound(5, 6, 7, 8)));
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 8; }));
    EXPECT_EQ(r.playedBytes(), (std::vector<Bytes>{{1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}}));
    EXPECT_EQ(r.link->peer(), peer.address());
    EXPECT_EQ(r.link->state(), VoiceLink::Connected);
    DropReport drops = r.link->guard().takeDrops();
    EXPECT_EQ(drops.total, 6u);
    EXPECT_EQ(drops.topSource, stranger.address());

    // What the link sends is sealed: only the key opens it. A group that
    // would not fit the 10000-byte receive limit sealed (53 bytes more) is not
    // sent at all; the largest that fits goes out whole.
    for (int i = 0; i < 4; ++i) r.audio->produce(Bytes(2487, 0));  // 1 + 4 x 2487 = 9949
    Bytes expected{0};
    for (uint8_t t = 1; t <= 4; ++t) {
        r.audio->produce(Bytes(2486, t));
        expected.insert(expected.end(), 2486, t);
    }
    Bytes got;
    ASSERT_TRUE(peer.receive(got));
    EXPECT_EQ(got.size(), 9998u);
    Bytes scratch(got.size());
    const uint8_t* plain = nullptr;
    const int n = ours.open(r.link->peer(), got.data(), static_cast<int>(got.size()), scratch.data(), plain);
    EXPECT_EQ(Bytes(plain, plain + n), expected);
    EXPECT_EQ(r.link->guard().takeDrops().unsealable, 1u);

    // Its own datagram sent back to it by a stranger does not take the call.
    stranger.sendTo(r.port(), got);
    peer.sendTo(r.port(), sealWith(ours, sound(9, 9, 9, 9)));
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 12; }));
    EXPECT_EQ(r.link->peer(), peer.address());
    EXPECT_EQ(r.link->guard().takeDrops().total, 1u);
}

}  // namespace
}  // namespace ambrel
