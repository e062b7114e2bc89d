// The network's error reports are hints, on real loopback sockets: forged
// "port unreachable" reports against a listening link and a live call, a
// caller that is gone, a caller nobody answers, and a listener that was sent
// one datagram by a forged source.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "link/LinkMessages.h"
#include "link/LinkTestSupport.h"
#include "link/VoiceLink.h"

namespace ambrel {
namespace {

using test::Bytes;
using test::eventually;
using test::IcmpForger;
using test::RawPeer;
using test::RecordingOwner;
using test::ScriptedAudio;
using Clock = std::chrono::steady_clock;

struct Rig : test::LinkRig {
    explicit Rig(bool autoFrames = true) : LinkRig(autoFrames) { start(); }
};

int64_t msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST(VoiceLinkHintTest, ForgedUnreachableReportsNeitherEndListeningNorALiveCall) {
    IcmpForger forger;
    if (!forger.usable()) GTEST_SKIP() << "forging ICMP reports needs a raw socket (run as root)";
    for (bool sealed : {false, true}) {
        SCOPED_TRACE(sealed ? "sealed" : "plain");
        Rig r;
        if (sealed) {
            GuardKey key;
            key.fill(3);
            r.link->guard().setKey(key);
        }
        r.link->listen("127.0.0.1", 0);
        RawPeer peer, victim;
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(forger.portUnreachable(r.port(), victim.port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_EQ(r.link->state(), VoiceLink::Listening);
        // During a call, one forged report every 50 ms for 1.5 s changes
        // nothing while the peer talks (a raw peer every 100 ms, or a sealed
        // link).
        std::unique_ptr<Rig> caller;
        if (sealed) {
            caller = std::make_unique<Rig>(true);
            GuardKey key;
            key.fill(3);
            caller->link->guard().setKey(key);
            caller->link->connect("127.0.0.1", r.port());
        } else {
            peer.sendTo(r.port(), {1});
        }
        ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
        const int callerPort = sealed ? caller->port() : peer.port();
        const auto start = Clock::now();
        for (int i = 0; msSince(start) < 1500; ++i) {
            forger.portUnreachable(r.port(), callerPort);
            if (i % 2 == 0 && !sealed) peer.sendTo(r.port(), {0, 1, 2, 3, 4});
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(r.link->state(), VoiceLink::Connected);
        EXPECT_EQ(r.owner.count(WM_LINK_DISCONNECTED), 0);
        Bytes got;
        if (!sealed) {
            EXPECT_TRUE(peer.receive(got, 1000)) << "the listener still answers";
        }
    }
}

TEST(VoiceLinkHintTest, AGoneCallerIsNoticedWithinTwoSeconds) {
    Rig r;
    r.link->listen("127.0.0.1", 0);
    auto caller = std::make_unique<RawPeer>();
    caller->sendTo(r.port(), {1});
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    Bytes got;
    ASSERT_TRUE(caller->receive(got));
    // The caller's port closes: only the system's refusals tell, and they
    // end the call once the caller has also been silent for a second.
    caller.reset();
    const auto gone = Clock::now();
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_DISCONNECTED));
    EXPECT_GE(msSince(gone), VoiceLink::kErrorSilenceMs - 100);
    EXPECT_LE(msSince(gone), 2000 + 500) << "a loaded machine may add a little";
}

TEST(VoiceLinkHintTest, ACallerNobodyAnswersSaysSoOnceAndKeepsCalling) {
    Rig r;
    int closedPort;
    {
        RawPeer closed;
        closedPort = closed.port();
    }
    r.link->connect("127.0.0.1", closedPort);
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_NO_ANSWER, 1, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(r.owner.count(WM_LINK_NO_ANSWER), 1);
    EXPECT_EQ(r.owner.count(WM_LINK_CONNECTED), 1);
    EXPECT_EQ(r.owner.count(WM_LINK_DISCONNECTED), 0);
    EXPECT_EQ(r.link->state(), VoiceLink::Connected);
}

TEST(VoiceLinkHintTest, OneForgedDatagramEarnsAFewSecondsOfSoundAtMost) {
    // Time-out off (the default): the call of a silent peer still ends.
    Rig r;
    r.link->listen("127.0.0.1", 0);
    RawPeer victim;  // the forged source: it never sends again
    victim.sendTo(r.port(), {1});
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_CONNECTED));
    const auto start = Clock::now();
    ASSERT_TRUE(r.owner.waitFor(WM_LINK_DISCONNECTED, 1, VoiceLink::kSilentPeerMs + 3000));
    EXPECT_GE(msSince(start), VoiceLink::kSilentPeerMs - 100);
    EXPECT_EQ(r.link->state(), VoiceLink::Idle);
    Bytes got;
    while (victim.receive(got, 0)) {
    }
    EXPECT_FALSE(victim.receive(got, 300)) << "nothing goes out once the call ended";
}

}  // namespace
}  // namespace ambrel
