// The Noise protocol framework (revision 34), as much of it as one pattern
// needs: Noise_NNpsk0_25519_ChaChaPoly_SHA256 over libsodium.
//
//   NNpsk0:
//     -> psk, e
//     <- e, ee
//
// Both sides contribute a fresh ephemeral X25519 key; the pre-shared key is
// mixed in before the first message, so only a holder of it can write or read
// either message, and the transport keys of Split() depend on both ephemeral
// keys: a key file taken later opens no recorded call (forward secrecy).
//
// CipherState, SymmetricState and HandshakeState follow the framework's
// sections 5.1 to 5.3 name for name; HKDF and HMAC are those of section 4.3
// with SHA-256. A transport message's nonce may be set explicitly (SetNonce,
// section 5.1), as datagrams that are lost or come out of order require.
//
// Every state holds secrets and wipes them (sodium_memzero) when destroyed or
// reset. No allocation: the states are plain fixed-size records, cheap to
// copy (a failed read is undone by keeping a copy).
//
// Threads: none of its own; a state belongs to whoever drives it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ambrel::noise {

constexpr int kKeyBytes = 32;   // DHLEN and the cipher key
constexpr int kHashBytes = 32;  // HASHLEN of SHA-256
constexpr int kTagBytes = 16;
// What NNpsk0 puts before each message's payload: one ephemeral public key.
constexpr int kHandshakeOverhead = kKeyBytes + kTagBytes;
constexpr const char* kProtocolName = "Noise_NNpsk0_25519_ChaChaPoly_SHA256";

using Key = std::array<uint8_t, kKeyBytes>;
using Hash = std::array<uint8_t, kHashBytes>;

// Fills a 32-byte buffer through a keyed HMAC-SHA256.
void hmac(const uint8_t* key, size_t keyLength, const uint8_t* data, size_t length, uint8_t* out,
          const uint8_t* more = nullptr, size_t moreLength = 0);

class CipherState {
public:
    CipherState() = default;
    ~CipherState();
    CipherState(const CipherState& other) = default;
    CipherState& operator=(const CipherState& other) = default;

    void initializeKey(const uint8_t* key);
    bool hasKey() const { return hasKey_; }
    void setNonce(uint64_t nonce) { n_ = nonce; }
    uint64_t nonce() const { return n_; }
    // out receives length + kTagBytes bytes (just length without a key); the
    // regions may be the same. Returns the bytes written. The nonce goes up.
    size_t encryptWithAd(const uint8_t* ad, size_t adLength, const uint8_t* plaintext, size_t length, uint8_t* out);
    // Returns the plaintext length, or -1 when the tag does not verify (the
    // nonce then stays as it was).
    long decryptWithAd(const uint8_t* ad, size_t adLength, const uint8_t* ciphertext, size_t length, uint8_t* out);
    void wipe();

private:
    uint8_t k_[kKeyBytes] = {};
    bool hasKey_ = false;
    uint64_t n_ = 0;
};

class SymmetricState {
public:
    ~SymmetricState();
    void initializeSymmetric(const char* protocolName);
    void mixKey(const uint8_t* ikm, size_t length);
    void mixHash(const uint8_t* data, size_t length);
    void mixKeyAndHash(const uint8_t* ikm, size_t length);
    const Hash& handshakeHash() const { return h_; }
    size_t encryptAndHash(const uint8_t* plaintext, size_t length, uint8_t* out);
    long decryptAndHash(const uint8_t* ciphertext, size_t length, uint8_t* out);
    void split(CipherState& first, CipherState& second) const;
    void wipe();

private:
    uint8_t ck_[kHashBytes] = {};
    Hash h_{};
    CipherState cipher_;
};

// One side of an NNpsk0 handshake. The initiator writes message 1 and reads
// message 2; the responder the other way round. After both messages, split()
// gives the transport states: the initiator sends with the first, the
// responder with the second.
class HandshakeState {
public:
    ~HandshakeState();
    // prologue: bytes both sides must agree on (bound into the hash).
    void initialize(bool initiator, const uint8_t* prologue, size_t prologueLength, const uint8_t* psk);
    // The ephemeral key pair is made here from a random private key, or from
    // `fixedPrivate` (tests against published vectors only).
    void setEphemeral(const uint8_t* fixedPrivate);

    // Writes the next message (kHandshakeOverhead + payload bytes) into out;
    // returns its length, or 0 when it is not this side's turn.
    size_t writeMessage(const uint8_t* payload, size_t length, uint8_t* out);
    // Reads the next message into payloadOut (length - kHandshakeOverhead
    // bytes). Returns the payload length, or -1 for a message that is too
    // short, fails its tag or carries a bad public key, or when it is not
    // this side's turn. On failure the state is unusable: keep a copy to go
    // on from.
    long readMessage(const uint8_t* message, size_t length, uint8_t* payloadOut);
    bool finished() const { return step_ == 2; }
    // The transport states: sending and receiving for this side.
    void split(CipherState& send, CipherState& receive) const;
    const Hash& handshakeHash() const { return symmetric_.handshakeHash(); }
    const uint8_t* ephemeralPublic() const { return ePublic_; }
    const uint8_t* remoteEphemeral() const { return re_; }
    void wipe();

private:
    SymmetricState symmetric_;
    bool initiator_ = false;
    int step_ = 0;  // messages done
    uint8_t psk_[kKeyBytes] = {};
    uint8_t ePrivate_[kKeyBytes] = {};
    uint8_t ePublic_[kKeyBytes] = {};
    bool haveE_ = false;
    uint8_t re_[kKeyBytes] = {};
};

}  // namespace ambrel::noise
