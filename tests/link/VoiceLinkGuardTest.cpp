// Who may talk to a link, on real loopback sockets: a stranger on 127.0.0.2
// against the allow-list, a second peer against the peer lock, and sealed
// calls against a wrong key and replays. Datagrams on one socket are handled
// in the order they arrive, so once a later datagram shows its effect, every
// earlier one has been dealt with.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

using Rig = test::LinkRig;

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

    EXPECT_FALSE(test::callSealed(theirs, stranger, r.port(), 3)) << "wrong key";
    stranger.sendTo(r.port(), {1});  // not sealed
    ASSERT_TRUE(test::callSealed(ours, peer, r.port()));
    EXPECT_EQ(r.link->state(), VoiceLink::Listening) << "the handshake alone takes no call";
    Bytes hello = sealWith(ours, {1});
    stranger.sendTo(r.port(), hello);  // first, but not from where the cookie went
    peer.sendTo(r.port(), hello);
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    EXPECT_EQ(r.link->peer(), peer.address());

    Bytes first = sealWith(ours, sound(1, 2, 3, 4));
    peer.sendTo(r.port(), first);
    stranger.sendTo(r.port(), first);  // a replay, even from the peer's own address
    peer.sendTo(r.port(), first);
    peer.sendTo(r.port(), hello);
    stranger.sendTo(r.port(), Bytes(10001, 3));
    peer.sendTo(r.port(), sealWith(ours, sound(5, 6, 7, 8)));
    ASSERT_TRUE(eventually([&] { return r.audio->playedCount() >= 8; }));
    EXPECT_EQ(r.playedBytes(), (std::vector<Bytes>{{1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}}));
    EXPECT_EQ(r.link->peer(), peer.address());
    EXPECT_EQ(r.link->state(), VoiceLink::Connected);
    DropReport drops = r.link->guard().takeDrops();
    EXPECT_GE(drops.total, 5u);
    EXPECT_EQ(drops.topSource, stranger.address());

    // What the link sends is sealed with the call's keys: only the caller's
    // side of the handshake opens it. A group that would not fit the
    // 10000-byte receive limit sealed is not sent at all; the largest that
    // fits goes out whole.
    const int largest = (VoiceLink::kMaxDatagram - DatagramGuard::kSealOverhead - 1) / 4;
    for (int i = 0; i < 4; ++i) r.audio->produce(Bytes(static_cast<size_t>(largest + 1), 0));
    Bytes expected{0};
    for (uint8_t t = 1; t <= 4; ++t) {
        r.audio->produce(Bytes(static_cast<size_t>(largest), t));
        expected.insert(expected.end(), static_cast<size_t>(largest), t);
    }
    Bytes got;
    ASSERT_TRUE(peer.receive(got));
    EXPECT_EQ(got.size(), static_cast<size_t>(1 + 4 * largest + DatagramGuard::kSealOverhead));
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

TEST(VoiceLinkGuardTest, AKeyFileOthersMayRewriteIsRefused) {
    char dir[] = "/tmp/ambrel-key-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/k";
    for (mode_t mode : {0600, 0400, 0602, 0620, 0644}) {
        SCOPED_TRACE(mode);
        ::unlink(path.c_str());
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        GuardKey written = keyOf(7);
        ASSERT_EQ(::write(fd, written.data(), written.size()), 32);
        ::fchmod(fd, mode);
        ::close(fd);
        GuardKey key{};
        std::string error;
        const bool ok = DatagramGuard::loadKey(path, key, error);
        EXPECT_EQ(ok, mode == 0600 || mode == 0400) << error;
        if (ok) {
            EXPECT_EQ(key, written);
        }
        if (mode == 0602 || mode == 0620) {
            EXPECT_EQ(error, "the key file '" + path + "' is writable by group or others (chmod 600 it)");
        }
    }
    ::unlink(path.c_str());
    ::rmdir(dir);
}

}  // namespace
}  // namespace ambrel
