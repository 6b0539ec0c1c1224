#include "crypto/secure_channel.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <sodium.h>

namespace fwp {
namespace {

constexpr std::string_view GeneratorLabel = "Fernwaypost Secure Session 1 generator";
constexpr std::string_view KeyLabel = "Fernwaypost Secure Session 1 key";
constexpr std::size_t TagBytes = crypto_aead_chacha20poly1305_ietf_ABYTES;

static_assert(TSecureHandshake::ShareBytes == crypto_core_ristretto255_BYTES);
static_assert(TSecureHandshake::KeyBytes == crypto_aead_chacha20poly1305_ietf_KEYBYTES);
static_assert(TFrameSealer::OverheadBytes == 4 + TagBytes);

void EnsureSodium() {
    // Idempotent and thread-safe; it picks the fastest code for this processor.
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
}

const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

void PutBigEndian32(unsigned char* out, std::uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

// Each input goes into the hash behind its 4-byte big-endian length, so no
// two different sequences of inputs hash the same bytes.
void HashWithLength(crypto_hash_sha512_state& state, std::string_view data) {
    unsigned char length[4];
    PutBigEndian32(length, static_cast<std::uint32_t>(data.size()));
    crypto_hash_sha512_update(&state, length, sizeof length);
    crypto_hash_sha512_update(&state, Bytes(data), data.size());
}

// BLAKE2b-256 of label keyed with the 64-byte session key.
std::string DeriveKey(const unsigned char* sessionKey, std::string_view label) {
    std::string key(32, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(key.data()), key.size(), Bytes(label), label.size(),
                       sessionKey, crypto_hash_sha512_BYTES);
    return key;
}

// The 96-bit nonce of frame number counter: four zero bytes, then the counter big-endian.
void MakeNonce(unsigned char* nonce, std::uint64_t counter) {
    std::memset(nonce, 0, 4);
    for (int i = 0; i < 8; ++i)
        nonce[4 + i] = static_cast<unsigned char>(counter >> (56 - 8 * i));
}

void Wipe(std::string& secret) {
    sodium_memzero(secret.data(), secret.size());
}

}  // namespace

TSecureHandshake::TSecureHandshake(std::string_view phrase, TSecureRole role) : m_role(role) {
    EnsureSodium();
    crypto_core_ristretto255_scalar_random(m_scalar.data());
    Start(phrase);
}

TSecureHandshake::TSecureHandshake(std::string_view phrase, TSecureRole role, std::string_view scalar)
    : m_role(role) {
    EnsureSodium();
    if (scalar.size() != m_scalar.size())
        throw std::invalid_argument("a scalar has 32 bytes");
    std::memcpy(m_scalar.data(), scalar.data(), m_scalar.size());
    Start(phrase);
}

TSecureHandshake::~TSecureHandshake() {
    sodium_memzero(m_scalar.data(), m_scalar.size());
    Wipe(m_sendKey);
    Wipe(m_receiveKey);
    Wipe(m_peerConfirmation);
}

void TSecureHandshake::Start(std::string_view phrase) {
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    HashWithLength(state, GeneratorLabel);
    HashWithLength(state, phrase);
    unsigned char digest[crypto_hash_sha512_BYTES];
    crypto_hash_sha512_final(&state, digest);
    crypto_core_ristretto255_from_hash(m_generator.data(), digest);
    sodium_memzero(digest, sizeof digest);
    m_ownShare.assign(ShareBytes, '\0');
    if (crypto_scalarmult_ristretto255(reinterpret_cast<unsigned char*>(m_ownShare.data()), m_scalar.data(),
                                       m_generator.data()) != 0)
        throw std::invalid_argument("the secret scalar is zero");
}

bool TSecureHandshake::Finish(std::string_view peerShare) {
    if (peerShare.size() != ShareBytes || peerShare == m_ownShare ||
        !crypto_core_ristretto255_is_valid_point(Bytes(peerShare)))
        return false;
    unsigned char shared[crypto_core_ristretto255_BYTES];
    if (crypto_scalarmult_ristretto255(shared, m_scalar.data(), Bytes(peerShare)) != 0)
        return false;
    const bool client = m_role == TSecureRole::srClient;
    const std::string_view clientShare = client ? std::string_view(m_ownShare) : peerShare;
    const std::string_view serverShare = client ? peerShare : std::string_view(m_ownShare);
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    HashWithLength(state, KeyLabel);
    HashWithLength(state, std::string_view(reinterpret_cast<const char*>(shared), sizeof shared));
    HashWithLength(state, clientShare);
    HashWithLength(state, serverShare);
    unsigned char sessionKey[crypto_hash_sha512_BYTES];
    crypto_hash_sha512_final(&state, sessionKey);
    sodium_memzero(shared, sizeof shared);

    const std::string clientConfirm = DeriveKey(sessionKey, "client confirm");
    const std::string serverConfirm = DeriveKey(sessionKey, "server confirm");
    std::string clientToServer = DeriveKey(sessionKey, "client to server");
    std::string serverToClient = DeriveKey(sessionKey, "server to client");
    sodium_memzero(sessionKey, sizeof sessionKey);
    m_ownConfirmation = client ? clientConfirm : serverConfirm;
    m_peerConfirmation = client ? serverConfirm : clientConfirm;
    m_sendKey = client ? clientToServer : serverToClient;
    m_receiveKey = client ? serverToClient : clientToServer;
    Wipe(clientToServer);
    Wipe(serverToClient);
    return true;
}

bool TSecureHandshake::PeerConfirmationMatches(std::string_view confirmation) const {
    return m_peerConfirmation.size() == 32 && confirmation.size() == 32 &&
           crypto_verify_32(Bytes(confirmation), Bytes(m_peerConfirmation)) == 0;
}

TFrameSealer::TFrameSealer(std::string_view key) {
    EnsureSodium();
    if (key.size() != m_key.size())
        throw std::invalid_argument("a stream key has 32 bytes");
    std::memcpy(m_key.data(), key.data(), m_key.size());
}

TFrameSealer::~TFrameSealer() {
    sodium_memzero(m_key.data(), m_key.size());
}

void TFrameSealer::Seal(std::initializer_list<std::string_view> pieces, std::string& wire) {
    std::size_t total = 0;
    for (const auto piece : pieces)
        total += piece.size();
    if (total == 0)
        return;
    const std::size_t frames = (total + MaxFrameBytes - 1) / MaxFrameBytes;
    std::size_t at = wire.size();
    wire.resize(at + total + frames * OverheadBytes);
    auto piece = pieces.begin();
    std::size_t pieceOffset = 0;
    std::size_t left = total;
    while (left > 0) {
        const std::size_t length = std::min(left, MaxFrameBytes);
        auto* frame = reinterpret_cast<unsigned char*>(wire.data() + at);
        PutBigEndian32(frame, static_cast<std::uint32_t>(length));
        unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
        MakeNonce(nonce, m_counter++);
        // A frame within one piece is encrypted straight from it; one that
        // spans pieces is gathered behind the length and encrypted in place.
        const unsigned char* plain = frame + 4;
        if (piece->size() - pieceOffset >= length) {
            plain = reinterpret_cast<const unsigned char*>(piece->data()) + pieceOffset;
            pieceOffset += length;
            if (pieceOffset == piece->size()) {
                ++piece;
                pieceOffset = 0;
            }
        }
        std::size_t filled = plain == frame + 4 ? 0 : length;
        while (filled < length) {
            const std::size_t take = std::min(length - filled, piece->size() - pieceOffset);
            std::memcpy(frame + 4 + filled, piece->data() + pieceOffset, take);
            filled += take;
            pieceOffset += take;
            if (pieceOffset == piece->size()) {
                ++piece;
                pieceOffset = 0;
            }
        }
        crypto_aead_chacha20poly1305_ietf_encrypt_detached(frame + 4, frame + 4 + length, nullptr, plain,
                                                           length, frame, 4, nullptr, nonce, m_key.data());
        at += length + OverheadBytes;
        left -= length;
    }
}

TFrameOpener::TFrameOpener(std::string_view key) {
    EnsureSodium();
    if (key.size() != m_key.size())
        throw std::invalid_argument("a stream key has 32 bytes");
    std::memcpy(m_key.data(), key.data(), m_key.size());
}

TFrameOpener::~TFrameOpener() {
    sodium_memzero(m_key.data(), m_key.size());
}

bool TFrameOpener::Open(const char* wire, std::size_t size, std::size_t& consumed, char* out,
                        std::size_t& produced) {
    consumed = 0;
    produced = 0;
    if (m_failed)
        return false;
    const auto* data = reinterpret_cast<const unsigned char*>(wire);
    while (size - consumed >= 4) {
        const unsigned char* frame = data + consumed;
        const std::uint32_t length = (std::uint32_t{frame[0]} << 24) | (std::uint32_t{frame[1]} << 16) |
                                     (std::uint32_t{frame[2]} << 8) | std::uint32_t{frame[3]};
        if (length == 0 || length > TFrameSealer::MaxFrameBytes) {
            m_failed = true;
            return false;
        }
        if (size - consumed < length + TFrameSealer::OverheadBytes)
            break;
        unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
        MakeNonce(nonce, m_counter);
        if (crypto_aead_chacha20poly1305_ietf_decrypt_detached(
                reinterpret_cast<unsigned char*>(out + produced), nullptr, frame + 4, length,
                frame + 4 + length, frame, 4, nonce, m_key.data()) != 0) {
            m_failed = true;
            return false;
        }
        ++m_counter;
        consumed += length + TFrameSealer::OverheadBytes;
        produced += length;
    }
    return true;
}

}  // namespace fwp
