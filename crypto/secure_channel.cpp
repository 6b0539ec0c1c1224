#include "crypto/secure_channel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <openssl/evp.h>
#include <sodium.h>
#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace fwp {
namespace {

constexpr std::string_view GeneratorLabel = "Fernwaypost Secure Session 1 generator";
constexpr std::string_view KeyLabel = "Fernwaypost Secure Session 2 key";

static_assert(TSecureHandshake::ShareBytes == crypto_core_ristretto255_BYTES);

constexpr std::pair<TSecureCipher, std::string_view> CipherNames[] = {
    {TSecureCipher::scAes128Ocb, "aes128ocb"},
    {TSecureCipher::scAes256Gcm, "aes256gcm"},
    {TSecureCipher::scChaCha20Poly1305, "chacha20poly1305"},
};

// Whether the processor runs AES (and GCM's multiplication) in hardware;
// without it AES is slower than ChaCha20-Poly1305 and harder to keep free
// of timing leaks.
bool HasAesInstructions() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul");
#elif defined(__aarch64__)
    const unsigned long capabilities = getauxval(AT_HWCAP);
    return (capabilities & HWCAP_AES) && (capabilities & HWCAP_PMULL);
#else
    return false;
#endif
}

// The known ciphers of a cipher line, in its order.
std::vector<TSecureCipher> ParseCiphers(std::string_view line) {
    std::vector<TSecureCipher> ciphers;
    while (!line.empty()) {
        const std::size_t space = line.find(' ');
        const std::string_view name = line.substr(0, space);
        for (const auto& [cipher, known] : CipherNames)
            if (name == known)
                ciphers.push_back(cipher);
        line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    }
    return ciphers;
}

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

std::string_view SecureCipherName(TSecureCipher cipher) {
    for (const auto& [known, name] : CipherNames)
        if (known == cipher)
            return name;
    return {};
}

std::string OwnSecureCiphers() {
    if (const char* forced = std::getenv("FWP_SECURE_CIPHERS"); forced && *forced)
        return forced;
    return HasAesInstructions() ? "aes128ocb aes256gcm chacha20poly1305"
                                : "chacha20poly1305 aes128ocb aes256gcm";
}

std::optional<TSecureCipher> ChooseSecureCipher(std::string_view clientCiphers,
                                                std::string_view serverCiphers) {
    const std::vector<TSecureCipher> server = ParseCiphers(serverCiphers);
    for (const TSecureCipher cipher : ParseCiphers(clientCiphers))
        if (std::find(server.begin(), server.end(), cipher) != server.end())
            return cipher;
    return std::nullopt;
}

TSecureHandshake::TSecureHandshake(std::string_view phrase, TSecureRole role, std::string_view ownCiphers)
    : m_role(role), m_ownCiphers(ownCiphers) {
    EnsureSodium();
    crypto_core_ristretto255_scalar_random(m_scalar.data());
    Start(phrase);
}

TSecureHandshake::TSecureHandshake(std::string_view phrase, TSecureRole role, std::string_view ownCiphers,
                                   std::string_view scalar)
    : m_role(role), m_ownCiphers(ownCiphers) {
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

bool TSecureHandshake::Finish(std::string_view peerShare, std::string_view peerCiphers) {
    if (peerShare.size() != ShareBytes || peerShare == m_ownShare ||
        !crypto_core_ristretto255_is_valid_point(Bytes(peerShare)))
        return false;
    const bool client = m_role == TSecureRole::srClient;
    const std::string_view clientCiphers = client ? std::string_view(m_ownCiphers) : peerCiphers;
    const std::string_view serverCiphers = client ? peerCiphers : std::string_view(m_ownCiphers);
    const std::optional<TSecureCipher> cipher = ChooseSecureCipher(clientCiphers, serverCiphers);
    if (!cipher)
        return false;
    m_cipher = *cipher;
    unsigned char shared[crypto_core_ristretto255_BYTES];
    if (crypto_scalarmult_ristretto255(shared, m_scalar.data(), Bytes(peerShare)) != 0)
        return false;
    const std::string_view clientShare = client ? std::string_view(m_ownShare) : peerShare;
    const std::string_view serverShare = client ? peerShare : std::string_view(m_ownShare);
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    HashWithLength(state, KeyLabel);
    HashWithLength(state, std::string_view(reinterpret_cast<const char*>(shared), sizeof shared));
    HashWithLength(state, clientShare);
    HashWithLength(state, serverShare);
    HashWithLength(state, clientCiphers);
    HashWithLength(state, serverCiphers);
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

TAeadKey::TAeadKey(TSecureCipher cipher, std::string_view key, bool seal)
    : m_context(EVP_CIPHER_CTX_new()), m_seal(seal) {
    if (!m_context)
        throw std::bad_alloc();
    const EVP_CIPHER* kind = cipher == TSecureCipher::scAes128Ocb   ? EVP_aes_128_ocb()
                             : cipher == TSecureCipher::scAes256Gcm ? EVP_aes_256_gcm()
                                                                    : EVP_chacha20_poly1305();
    // All take a 96-bit nonce by default; AES-128-OCB reads the first 16 bytes of the key.
    if (key.size() != 32 || EVP_CipherInit_ex(m_context, kind, nullptr, Bytes(key), nullptr, seal) != 1) {
        EVP_CIPHER_CTX_free(m_context);
        throw std::invalid_argument("a stream key has 32 bytes");
    }
}

TAeadKey::~TAeadKey() {
    // Frees and wipes the expanded key.
    EVP_CIPHER_CTX_free(m_context);
}

void TAeadKey::Seal(const unsigned char* nonce, const unsigned char* data, std::size_t dataSize,
                    const unsigned char* in, std::size_t size, unsigned char* out, unsigned char* tag) {
    EVP_CIPHER_CTX* context = m_context;
    int length = 0;
    // Sealing with a valid key and nonce fails only when memory is gone.
    if (!m_seal || EVP_EncryptInit_ex(context, nullptr, nullptr, nullptr, nonce) != 1 ||
        (dataSize > 0 &&
         EVP_EncryptUpdate(context, nullptr, &length, data, static_cast<int>(dataSize)) != 1) ||
        EVP_EncryptUpdate(context, out, &length, in, static_cast<int>(size)) != 1 ||
        EVP_EncryptFinal_ex(context, out + length, &length) != 1 ||
        EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, TagBytes, tag) != 1)
        throw std::runtime_error("the cipher failed to seal");
}

bool TAeadKey::Open(const unsigned char* nonce, const unsigned char* data, std::size_t dataSize,
                    const unsigned char* in, std::size_t size, const unsigned char* tag, unsigned char* out) {
    EVP_CIPHER_CTX* context = m_context;
    int length = 0;
    unsigned char expected[TagBytes];
    std::memcpy(expected, tag, TagBytes);
    return !m_seal && EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, nonce) == 1 &&
           (dataSize == 0 ||
            EVP_DecryptUpdate(context, nullptr, &length, data, static_cast<int>(dataSize)) == 1) &&
           EVP_DecryptUpdate(context, out, &length, in, static_cast<int>(size)) == 1 &&
           EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, TagBytes, expected) == 1 &&
           EVP_DecryptFinal_ex(context, out + length, &length) == 1;
}

TFrameSealer::TFrameSealer(std::string_view key, TSecureCipher cipher) : m_key(cipher, key, true) {}

void TFrameSealer::Seal(std::initializer_list<std::string_view> pieces, std::string& wire) {
    std::size_t total = 0;
    for (const auto piece : pieces)
        total += piece.size();
    const std::size_t at = wire.size();
    wire.resize(at + SealedSize(total));
    Seal(std::span(pieces.begin(), pieces.size()), wire.data() + at);
}

void TFrameSealer::Seal(std::span<const std::string_view> pieces, char* wire) {
    std::size_t left = 0;
    for (const auto piece : pieces)
        left += piece.size();
    auto piece = pieces.begin();
    std::size_t pieceOffset = 0;
    std::size_t at = 0;
    while (left > 0) {
        // Empty pieces carry nothing.
        while (piece->size() == pieceOffset) {
            ++piece;
            pieceOffset = 0;
        }
        const std::size_t length = std::min(left, MaxFrameBytes);
        auto* frame = reinterpret_cast<unsigned char*>(wire + at);
        PutBigEndian32(frame, static_cast<std::uint32_t>(length));
        unsigned char nonce[TAeadKey::NonceBytes];
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
        m_key.Seal(nonce, frame, 4, plain, length, frame + 4, frame + 4 + length);
        at += length + OverheadBytes;
        left -= length;
    }
}

TFrameOpener::TFrameOpener(std::string_view key, TSecureCipher cipher) : m_key(cipher, key, false) {}

bool TFrameOpener::Open(const char* wire, std::size_t size, std::size_t& consumed, char* out,
                        std::size_t& produced, std::size_t outCapacity) {
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
        if (size - consumed < length + TFrameSealer::OverheadBytes || outCapacity - produced < length)
            break;
        unsigned char nonce[TAeadKey::NonceBytes];
        MakeNonce(nonce, m_counter);
        if (!m_key.Open(nonce, frame, 4, frame + 4, length, frame + 4 + length,
                        reinterpret_cast<unsigned char*>(out + produced))) {
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
