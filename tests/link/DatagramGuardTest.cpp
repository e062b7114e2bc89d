// The datagram guard on its own: network rules and the size limit. Calls on
// real sockets are in VoiceLinkGuardTest, the replay window in its fuzzer.
#include "link/DatagramGuard.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "link/VoiceLink.h"

namespace ambrel {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(DatagramGuardTest, AllowRulesMatchTheirNetworkOnly) {
    EXPECT_TRUE(AllowRule::make(htonl(0x0A000009), 24).matches(htonl(0x0A0000FE)));
    EXPECT_FALSE(AllowRule::make(htonl(0x0A000009), 24).matches(htonl(0x0A000109)));
    EXPECT_FALSE(AllowRule::make(htonl(0x7f000001), 32).matches(htonl(0x7f000002)));
    EXPECT_TRUE(AllowRule::make(htonl(0xC0A80101), 0).matches(htonl(0x08080808)));
}

TEST(DatagramGuardTest, ASealedDatagramNeverExceedsTheReceiveLimit) {
    DatagramGuard sender, receiver;
    GuardKey key;
    key.fill(7);
    sender.setKey(key);
    receiver.setKey(key);
    const int largest = VoiceLink::kMaxDatagram - DatagramGuard::kSealOverhead;
    Bytes plain(static_cast<size_t>(largest), 0x5A);
    plain[0] = 0;
    Bytes out(VoiceLink::kMaxDatagram);
    EXPECT_EQ(sender.seal(plain.data(), largest, out.data(), VoiceLink::kMaxDatagram), VoiceLink::kMaxDatagram);
    Bytes scratch(out.size());
    const uint8_t* opened = nullptr;
    ASSERT_EQ(receiver.open(SocketAddress{}, out.data(), VoiceLink::kMaxDatagram, scratch.data(), opened), largest);
    EXPECT_EQ(Bytes(opened, opened + largest), plain);
    plain.push_back(0x5A);
    EXPECT_EQ(sender.seal(plain.data(), largest + 1, out.data(), VoiceLink::kMaxDatagram), 0);
    EXPECT_EQ(sender.takeDrops().unsealable, 1u);
}

}  // namespace
}  // namespace ambrel
