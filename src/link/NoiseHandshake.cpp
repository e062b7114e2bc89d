// Noise_NNpsk0_25519_ChaChaPoly_SHA256. See NoiseHandshake.h.
#include "link/NoiseHandshake.h"

#include <sodium.h>

#include <cstring>

namespace ambrel::noise {

namespace {

// ChaChaPoly's nonce: 32 bits of zeros, then n as 64 bits little-endian.
void nonceBytes(uint64_t n, uint8_t out[crypto_aead_chacha20poly1305_IETF_NPUBBYTES]) {
    std::memset(out, 0, 4);
    for (int i = 0; i < 8; ++i) out[4 + i] = static_cast<uint8_t>(n >> (8 * i));
}

// HKDF(chaining_key, input_key_material, num_outputs) of section 4.3, with
// two or three outputs.
void hkdf(const uint8_t* chainingKey, const uint8_t* ikm, size_t ikmLength, uint8_t* out1, uint8_t* out2,
          uint8_t* out3 = nullptr) {
    uint8_t tempKey[kHashBytes];
    hmac(chainingKey, kHashBytes, ikm, ikmLength, tempKey);
    const uint8_t one = 0x01, two = 0x02, three = 0x03;
    hmac(tempKey, kHashBytes, &one, 1, out1);
    hmac(tempKey, kHashBytes, out1, kHashBytes, out2, &two, 1);
    if (out3 != nullptr) hmac(tempKey, kHashBytes, out2, kHashBytes, out3, &three, 1);
    sodium_memzero(tempKey, sizeof tempKey);
}

}  // namespace

void hmac(const uint8_t* key, size_t keyLength, const uint8_t* data, size_t length, uint8_t* out,
          const uint8_t* more, size_t moreLength) {
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key, keyLength);
    crypto_auth_hmacsha256_update(&state, data, length);
    if (more != nullptr) crypto_auth_hmacsha256_update(&state, more, moreLength);
    crypto_auth_hmacsha256_final(&state, out);
    sodium_memzero(&state, sizeof state);
}

// --- CipherState (section 5.1) ---

CipherState::~CipherState() { wipe(); }

void CipherState::wipe() {
    sodium_memzero(k_, sizeof k_);
    hasKey_ = false;
    n_ = 0;
}

void CipherState::initializeKey(const uint8_t* key) {
    if (key == nullptr) {
        wipe();
        return;
    }
    std::memcpy(k_, key, kKeyBytes);
    hasKey_ = true;
    n_ = 0;
}

size_t CipherState::encryptWithAd(const uint8_t* ad, size_t adLength, const uint8_t* plaintext, size_t length,
                                  uint8_t* out) {
    if (!hasKey_) {
        if (out != plaintext) std::memmove(out, plaintext, length);
        return length;
    }
    uint8_t nonce[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
    nonceBytes(n_, nonce);
    unsigned long long written = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(out, &written, plaintext, length, ad, adLength, nullptr, nonce, k_);
    ++n_;
    return static_cast<size_t>(written);
}

long CipherState::decryptWithAd(const uint8_t* ad, size_t adLength, const uint8_t* ciphertext, size_t length,
                                uint8_t* out) {
    if (!hasKey_) {
        if (out != ciphertext) std::memmove(out, ciphertext, length);
        return static_cast<long>(length);
    }
    if (length < static_cast<size_t>(kTagBytes)) return -1;
    uint8_t nonce[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
    nonceBytes(n_, nonce);
    unsigned long long written = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(out, &written, nullptr, ciphertext, length, ad, adLength, nonce,
                                                  k_) != 0)
        return -1;
    ++n_;
    return static_cast<long>(written);
}

// --- SymmetricState (section 5.2) ---

SymmetricState::~SymmetricState() { wipe(); }

void SymmetricState::wipe() {
    sodium_memzero(ck_, sizeof ck_);
    sodium_memzero(h_.data(), h_.size());
    cipher_.wipe();
}

void SymmetricState::initializeSymmetric(const char* protocolName) {
    const size_t length = std::strlen(protocolName);
    h_.fill(0);
    if (length <= static_cast<size_t>(kHashBytes))
        std::memcpy(h_.data(), protocolName, length);
    else
        crypto_hash_sha256(h_.data(), reinterpret_cast<const uint8_t*>(protocolName), length);
    std::memcpy(ck_, h_.data(), kHashBytes);
    cipher_.initializeKey(nullptr);
}

void SymmetricState::mixKey(const uint8_t* ikm, size_t length) {
    uint8_t tempK[kHashBytes];
    hkdf(ck_, ikm, length, ck_, tempK);
    cipher_.initializeKey(tempK);  // HASHLEN is 32: nothing to truncate
    sodium_memzero(tempK, sizeof tempK);
}

void SymmetricState::mixHash(const uint8_t* data, size_t length) {
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    crypto_hash_sha256_update(&state, h_.data(), h_.size());
    crypto_hash_sha256_update(&state, data, length);
    crypto_hash_sha256_final(&state, h_.data());
}

void SymmetricState::mixKeyAndHash(const uint8_t* ikm, size_t length) {
    uint8_t tempH[kHashBytes], tempK[kHashBytes];
    hkdf(ck_, ikm, length, ck_, tempH, tempK);
    mixHash(tempH, sizeof tempH);
    cipher_.initializeKey(tempK);
    sodium_memzero(tempH, sizeof tempH);
    sodium_memzero(tempK, sizeof tempK);
}

size_t SymmetricState::encryptAndHash(const uint8_t* plaintext, size_t length, uint8_t* out) {
    const size_t n = cipher_.encryptWithAd(h_.data(), h_.size(), plaintext, length, out);
    mixHash(out, n);
    return n;
}

long SymmetricState::decryptAndHash(const uint8_t* ciphertext, size_t length, uint8_t* out) {
    const long n = cipher_.decryptWithAd(h_.data(), h_.size(), ciphertext, length, out);
    if (n < 0) return -1;
    mixHash(ciphertext, length);
    return n;
}

void SymmetricState::split(CipherState& first, CipherState& second) const {
    uint8_t k1[kHashBytes], k2[kHashBytes];
    hkdf(ck_, nullptr, 0, k1, k2);
    first.initializeKey(k1);
    second.initializeKey(k2);
    sodium_memzero(k1, sizeof k1);
    sodium_memzero(k2, sizeof k2);
}

// --- HandshakeState (section 5.3), pattern NNpsk0 ---

HandshakeState::~HandshakeState() { wipe(); }

void HandshakeState::wipe() {
    symmetric_.wipe();
    sodium_memzero(psk_, sizeof psk_);
    sodium_memzero(ePrivate_, sizeof ePrivate_);
    sodium_memzero(ePublic_, sizeof ePublic_);
    sodium_memzero(re_, sizeof re_);
    haveE_ = false;
    step_ = 0;
}

void HandshakeState::initialize(bool initiator, const uint8_t* prologue, size_t prologueLength, const uint8_t* psk) {
    wipe();
    initiator_ = initiator;
    symmetric_.initializeSymmetric(kProtocolName);
    symmetric_.mixHash(prologue, prologueLength);
    std::memcpy(psk_, psk, kKeyBytes);
    // NN has no pre-messages.
}

void HandshakeState::setEphemeral(const uint8_t* fixedPrivate) {
    if (fixedPrivate != nullptr)
        std::memcpy(ePrivate_, fixedPrivate, kKeyBytes);
    else
        randombytes_buf(ePrivate_, kKeyBytes);
    crypto_scalarmult_base(ePublic_, ePrivate_);
    haveE_ = true;
}

size_t HandshakeState::writeMessage(const uint8_t* payload, size_t length, uint8_t* out) {
    // Message 1 is the initiator's, message 2 the responder's.
    if (step_ >= 2 || initiator_ != (step_ == 0)) return 0;
    if (step_ == 0) symmetric_.mixKeyAndHash(psk_, kKeyBytes);  // "psk"
    // "e": with a pre-shared key in the pattern, e also goes through MixKey.
    if (!haveE_) setEphemeral(nullptr);
    std::memcpy(out, ePublic_, kKeyBytes);
    symmetric_.mixHash(ePublic_, kKeyBytes);
    symmetric_.mixKey(ePublic_, kKeyBytes);
    if (step_ == 1) {  // "ee"
        uint8_t shared[kKeyBytes];
        if (crypto_scalarmult(shared, ePrivate_, re_) != 0) return 0;
        symmetric_.mixKey(shared, sizeof shared);
        sodium_memzero(shared, sizeof shared);
    }
    const size_t n = symmetric_.encryptAndHash(payload, length, out + kKeyBytes);
    ++step_;
    return kKeyBytes + n;
}

long HandshakeState::readMessage(const uint8_t* message, size_t length, uint8_t* payloadOut) {
    if (step_ >= 2 || initiator_ == (step_ == 0)) return -1;
    if (length < static_cast<size_t>(kHandshakeOverhead)) return -1;
    if (step_ == 0) symmetric_.mixKeyAndHash(psk_, kKeyBytes);  // "psk"
    std::memcpy(re_, message, kKeyBytes);                        // "e"
    symmetric_.mixHash(re_, kKeyBytes);
    symmetric_.mixKey(re_, kKeyBytes);
    if (step_ == 1) {  // "ee"
        uint8_t shared[kKeyBytes];
        // An all-zero result: a public key of small order, refused.
        if (!haveE_ || crypto_scalarmult(shared, ePrivate_, re_) != 0) return -1;
        symmetric_.mixKey(shared, sizeof shared);
        sodium_memzero(shared, sizeof shared);
    }
    const long n = symmetric_.decryptAndHash(message + kKeyBytes, length - kKeyBytes, payloadOut);
    if (n < 0) return -1;
    ++step_;
    return n;
}

void HandshakeState::split(CipherState& send, CipherState& receive) const {
    if (initiator_)
        symmetric_.split(send, receive);
    else
        symmetric_.split(receive, send);
}

}  // namespace ambrel::noise
