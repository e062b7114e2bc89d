// The Noise handshake against the published test vector of
// Noise_NNpsk0_25519_ChaChaPoly_SHA256 (the "cacophony" vectors): both
// handshake messages, the handshake hash and four transport messages must
// come out byte for byte. Wrong keys, changed and replayed messages are left
// to the guard's tests and fuzz target.
#include "link/NoiseHandshake.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <string>
#include <vector>

namespace ambrel::noise {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

struct Vector {
    Bytes prologue = hex("4a6f686e2047616c74");
    Bytes psk = hex("54686973206973206d7920417573747269616e20706572737065637469766521");
    Bytes initE = hex("893e28b9dc6ca8d611ab664754b8ceb7bac5117349a4439a6b0569da977c464a");
    Bytes respE = hex("bbdb4cdbd309f1a1f2e1456967fe288cadd6f712d65dc7b7793d5e63da6b375b");
    Bytes handshakeHash = hex("f4d03dc34495c95729ea6de9e1b59004b59733102488b3e24bc441e0be208eaf");
    // payload, ciphertext; initiator first, then turn about.
    std::vector<std::pair<Bytes, Bytes>> messages = {
        {hex("4c756477696720766f6e204d69736573"),
         hex("ca35def5ae56cec33dc2036731ab14896bc4c75dbb07a61f879f8e3afa4c794479b962b8aff8485742ac32f905ba45369e2465fb59"
             "e138a93d67a0d1266b6a54")},
        {hex("4d757272617920526f746862617264"),
         hex("95ebc60d2b1fa672c1f46a8aa265ef51bfe38e7ccb39ec5be34069f144808843d6062704d5a9c422a8e834423f8c1feada7e8d0d91"
             "0a1a2cd030fb584221e3")},
        {hex("462e20412e20486179656b"), hex("e632c3763d7669067383433197a3baddf146e9e70ad4b4e9e59e0f")},
        {hex("4361726c204d656e676572"), hex("64c6bee32ea91c8474bb4c21d7a700109ad45af77b29764ba5eb1e")},
        {hex("4a65616e2d426170746973746520536179"),
         hex("e2fa0bed0603b62d3ccac2ecabbf3fe33f3e86514909b323361626266cb2471cc8")},
        {hex("457567656e2042f6686d20766f6e2042617765726b"),
         hex("0c01dc9cec1fe4ddd692e8dd32188aa351088dc91183639a53b57aa4692b5ebdef8b8ca111")},
    };
};

TEST(NoiseHandshakeTest, MatchesThePublishedVectorOfNNpsk0) {
    ASSERT_GE(sodium_init(), 0);
    Vector v;
    HandshakeState initiator, responder;
    initiator.initialize(true, v.prologue.data(), v.prologue.size(), v.psk.data());
    responder.initialize(false, v.prologue.data(), v.prologue.size(), v.psk.data());
    initiator.setEphemeral(v.initE.data());
    responder.setEphemeral(v.respE.data());

    Bytes out(200), payload(200);
    for (int i = 0; i < 2; ++i) {
        HandshakeState& writer = i == 0 ? initiator : responder;
        HandshakeState& reader = i == 0 ? responder : initiator;
        const auto& [plain, cipher] = v.messages[i];
        const size_t n = writer.writeMessage(plain.data(), plain.size(), out.data());
        ASSERT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(n)), cipher) << "message " << i;
        const long m = reader.readMessage(cipher.data(), cipher.size(), payload.data());
        ASSERT_EQ(m, static_cast<long>(plain.size()));
        EXPECT_EQ(Bytes(payload.begin(), payload.begin() + m), plain);
    }
    ASSERT_TRUE(initiator.finished() && responder.finished());
    EXPECT_EQ(Bytes(initiator.handshakeHash().begin(), initiator.handshakeHash().end()), v.handshakeHash);
    EXPECT_EQ(initiator.handshakeHash(), responder.handshakeHash());

    CipherState iSend, iReceive, rSend, rReceive;
    initiator.split(iSend, iReceive);
    responder.split(rSend, rReceive);
    for (size_t i = 2; i < v.messages.size(); ++i) {
        const bool fromInitiator = i % 2 == 0;
        CipherState& send = fromInitiator ? iSend : rSend;
        CipherState& receive = fromInitiator ? rReceive : iReceive;
        const auto& [plain, cipher] = v.messages[i];
        const size_t n = send.encryptWithAd(nullptr, 0, plain.data(), plain.size(), out.data());
        ASSERT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(n)), cipher) << "message " << i;
        const long m = receive.decryptWithAd(nullptr, 0, cipher.data(), cipher.size(), payload.data());
        ASSERT_EQ(Bytes(payload.begin(), payload.begin() + m), plain);
    }
}

}  // namespace
}  // namespace ambrel::noise
