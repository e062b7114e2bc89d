// The datagram guard on its own: allow rules, sealing and the replay window,
// the size limit, drop counts and key files.
#include "link/DatagramGuard.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

#include "link/VoiceLink.h"

namespace ambrel {
namespace {

using Bytes = std::vector<uint8_t>;

SocketAddress at(uint32_t hostAddress, int port = 4000) { return SocketAddress::fromHostOrder(hostAddress, port); }

GuardKey keyOf(uint8_t fill) {
    GuardKey k;
    k.fill(fill);
    return k;
}

// Seals with one guard, opens with another; the opened bytes, or nothing.
struct Pair {
    explicit Pair(uint8_t receiverKey = 7) {
        sender.setKey(keyOf(7));
        receiver.setKey(keyOf(receiverKey));
    }
    Bytes seal(const Bytes& plain) {
        Bytes out(VoiceLink::kMaxDatagram);
        out.resize(static_cast<size_t>(sender.seal(plain.data(), static_cast<int>(plain.size()), out.data(),
                                                   VoiceLink::kMaxDatagram)));
        return out;
    }
    std::optional<Bytes> open(const Bytes& sealed, SocketAddress from = at(0x7f000001)) {
        Bytes scratch(sealed.size());
        const uint8_t* plain = nullptr;
        int n = receiver.open(from, sealed.data(), static_cast<int>(sealed.size()), scratch.data(), plain);
        if (n == 0) return std::nullopt;
        return Bytes(plain, plain + n);
    }
    DatagramGuard sender, receiver;
};

TEST(DatagramGuardTest, AllowRulesMatchTheirNetworkOnly) {
    EXPECT_TRUE(AllowRule::make(htonl(0x0A000009), 24).matches(htonl(0x0A0000FE)));
    EXPECT_FALSE(AllowRule::make(htonl(0x0A000009), 24).matches(htonl(0x0A000109)));
    EXPECT_TRUE(AllowRule::make(htonl(0x7f000001), 32).matches(htonl(0x7f000001)));
    EXPECT_FALSE(AllowRule::make(htonl(0x7f000001), 32).matches(htonl(0x7f000002)));
    EXPECT_TRUE(AllowRule::make(htonl(0xC0A80101), 0).matches(htonl(0x08080808)));

    DatagramGuard g;
    EXPECT_FALSE(g.active());
    g.setAllowList({AllowRule::make(htonl(0x7f000001), 32), AllowRule::make(htonl(0x0A000000), 8)});
    EXPECT_TRUE(g.active());
    Bytes d{1};
    const uint8_t* plain = nullptr;
    EXPECT_EQ(g.open(at(0x0A010203), d.data(), 1, nullptr, plain), 1);
    EXPECT_EQ(plain, d.data()) << "a plain datagram is taken as it is";
    EXPECT_EQ(g.open(at(0x7f000002, 40000), d.data(), 1, nullptr, plain), 0);
    EXPECT_EQ(g.open(at(0x7f000002, 40000), d.data(), 1, nullptr, plain), 0);
    EXPECT_EQ(g.open(at(0x7f000003), d.data(), 1, nullptr, plain), 0);
    DropReport r = g.takeDrops();
    EXPECT_EQ(r.total, 3u);
    EXPECT_EQ(r.topSource, at(0x7f000002, 40000));
    EXPECT_EQ(r.topCount, 2u);
    EXPECT_EQ(r.sources, 2);
    EXPECT_EQ(g.takeDrops().total, 0u) << "taking the report starts afresh";
}

TEST(DatagramGuardTest, PeerLockHoldsUntilTheNextCall) {
    DatagramGuard g;
    g.setLockPeer(true);
    Bytes d{1};
    const uint8_t* plain = nullptr;
    EXPECT_EQ(g.open(at(0x7f000001, 1), d.data(), 1, nullptr, plain), 1);
    EXPECT_EQ(g.open(at(0x7f000001, 2), d.data(), 1, nullptr, plain), 0) << "another port is another peer";
    EXPECT_EQ(g.open(at(0x7f000001, 1), d.data(), 1, nullptr, plain), 1);
    g.beginCall();
    EXPECT_EQ(g.open(at(0x7f000001, 2), d.data(), 1, nullptr, plain), 1);
    EXPECT_EQ(g.takeDrops().total, 1u);
}

TEST(DatagramGuardTest, SealedDatagramsOpenOnceWithTheRightKeyOnly) {
    Pair p;
    Bytes sound{0, 1, 2, 3, 4, 5, 6, 7, 8};
    Bytes first = p.seal(sound);
    ASSERT_EQ(first.size(), sound.size() + DatagramGuard::kSealOverhead);
    EXPECT_EQ(first[0], DatagramGuard::kSealedKind);
    EXPECT_EQ(p.open(first), sound);
    EXPECT_EQ(p.open(first), std::nullopt) << "a replay";

    // Every byte matters: kind, nonce, ciphertext and tag.
    Bytes second = p.seal({1});
    for (size_t i = 0; i < second.size(); ++i) {
        Bytes bad = second;
        bad[i] ^= 0x01;
        EXPECT_EQ(p.open(bad), std::nullopt) << "byte " << i;
    }
    EXPECT_EQ(p.open(Bytes(second.begin(), second.end() - 1)), std::nullopt);
    EXPECT_EQ(p.open(sound), std::nullopt) << "a plain datagram";
    EXPECT_EQ(p.open(Bytes(DatagramGuard::kSealOverhead, 2)), std::nullopt) << "sealed nothing";
    EXPECT_EQ(p.open(second), Bytes{1}) << "the intact one still opens";

    Pair wrong(8);
    EXPECT_EQ(wrong.open(wrong.seal({1})), std::nullopt);
    EXPECT_EQ(p.receiver.takeDrops().total, second.size() + 4);
}

TEST(DatagramGuardTest, ReplayWindowTakesLateDatagramsOnceAndForgetsOldOnes) {
    Pair p;
    std::vector<Bytes> sent;
    for (int i = 0; i < 70; ++i) sent.push_back(p.seal({1, static_cast<uint8_t>(i)}));
    EXPECT_TRUE(p.open(sent[69]));
    EXPECT_TRUE(p.open(sent[10])) << "59 behind, not seen: late but taken";
    EXPECT_FALSE(p.open(sent[10]));
    EXPECT_FALSE(p.open(sent[5])) << "64 behind: too old to tell";
    EXPECT_FALSE(p.open(sent[69]));

    // A new call keeps the window: a datagram of an earlier call stays spent.
    p.receiver.beginCall();
    EXPECT_FALSE(p.open(sent[69]));

    // Other senders have windows of their own; the least recently heard of
    // more than kSenders is forgotten.
    std::vector<std::unique_ptr<DatagramGuard>> others;
    for (int i = 0; i < DatagramGuard::kSenders; ++i) {
        others.push_back(std::make_unique<DatagramGuard>());
        others.back()->setKey(keyOf(7));
        Bytes out(100);
        out.resize(static_cast<size_t>(others.back()->seal(Bytes{1}.data(), 1, out.data(), 100)));
        EXPECT_TRUE(p.open(out));
        EXPECT_FALSE(p.open(out));
    }
    EXPECT_TRUE(p.open(sent[68])) << "the first sender was forgotten";
}

TEST(DatagramGuardTest, ASealedDatagramNeverExceedsTheReceiveLimit) {
    Pair p;
    const int largest = VoiceLink::kMaxDatagram - DatagramGuard::kSealOverhead;
    Bytes plain(static_cast<size_t>(largest), 0x5A);
    plain[0] = 0;
    Bytes out(VoiceLink::kMaxDatagram);
    EXPECT_EQ(p.sender.seal(plain.data(), largest, out.data(), VoiceLink::kMaxDatagram), VoiceLink::kMaxDatagram);
    EXPECT_EQ(p.open(out), plain);
    plain.push_back(0x5A);
    EXPECT_EQ(p.sender.seal(plain.data(), largest + 1, out.data(), VoiceLink::kMaxDatagram), 0);
    EXPECT_EQ(p.sender.takeDrops().unsealable, 1u);
}

TEST(DatagramGuardTest, KeyFiles) {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "ambrel-key-XXXXXX").string();
    fs::path dir = ::mkdtemp(pattern.data());
    const std::string path = (dir / "k").string();
    std::string error;
    ASSERT_TRUE(DatagramGuard::writeNewKey(path, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 32);
    GuardKey key{}, again{};
    EXPECT_TRUE(DatagramGuard::loadKey(path, key, error)) << error;
    EXPECT_FALSE(DatagramGuard::writeNewKey(path, error));
    EXPECT_NE(error.find("exists already"), std::string::npos) << error;
    EXPECT_TRUE(DatagramGuard::loadKey(path, again, error));
    EXPECT_EQ(key, again) << "not overwritten";

    ::chmod(path.c_str(), 0640);
    EXPECT_FALSE(DatagramGuard::loadKey(path, key, error));
    EXPECT_NE(error.find("readable by group or others"), std::string::npos) << error;
    {
        std::ofstream(dir / "short") << "0123456789";
        std::ofstream(dir / "long") << std::string(33, 'x');
    }
    for (const char* name : {"short", "long"}) {
        ::chmod((dir / name).c_str(), 0600);
        error.clear();
        EXPECT_FALSE(DatagramGuard::loadKey((dir / name).string(), key, error));
        EXPECT_NE(error.find("does not hold a key"), std::string::npos) << error;
    }
    EXPECT_FALSE(DatagramGuard::loadKey((dir / "missing").string(), key, error));
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
    fs::remove_all(dir);
}

}  // namespace
}  // namespace ambrel
