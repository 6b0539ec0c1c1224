#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The cipher library's state of one key, kept out of this header.
struct evp_cipher_ctx_st;

namespace fwp {

// Which end of the connection a side is; the connecting side is the client.
enum class TSecureRole : std::uint8_t { srClient, srServer };

// The authenticated ciphers that can carry a secure session's frames.
enum class TSecureCipher : std::uint8_t { scAes128Ocb, scAes256Gcm, scChaCha20Poly1305 };

// The cipher's name on the exchange's cipher line: "aes128ocb", "aes256gcm"
// or "chacha20poly1305".
std::string_view SecureCipherName(TSecureCipher cipher);
// The cipher line this side sends: the names it accepts, most preferred
// first, separated by spaces. AES-128-OCB leads where the processor has AES
// instructions, ChaCha20-Poly1305 elsewhere. FWP_SECURE_CIPHERS in the
// environment replaces the line (for tests and measurements).
std::string OwnSecureCiphers();
// The first cipher on the client's line that the server's line names too;
// names neither side knows are passed over.
std::optional<TSecureCipher> ChooseSecureCipher(std::string_view clientCiphers,
                                                std::string_view serverCiphers);

// The passphrase key exchange of a secure session: both sides derive a
// generator of the ristretto255 group from the phrase, send a random multiple
// of it, and hash the shared element with both messages into the session key.
// Someone who watches learns nothing about the phrase; someone who answers
// in a peer's place gets one guess per connection.
class TSecureHandshake {
public:
    static constexpr std::size_t ShareBytes = 32;
    static constexpr std::size_t KeyBytes = 32;

    // A fresh random secret scalar for each connection; ownCiphers is the
    // cipher line this side sends.
    TSecureHandshake(std::string_view phrase, TSecureRole role, std::string_view ownCiphers);
    // A fixed secret scalar (32 bytes, little-endian, below the group order),
    // so that a test can compare every byte with worked values.
    TSecureHandshake(std::string_view phrase, TSecureRole role, std::string_view ownCiphers,
                     std::string_view scalar);
    ~TSecureHandshake();
    TSecureHandshake(const TSecureHandshake&) = delete;
    TSecureHandshake& operator=(const TSecureHandshake&) = delete;

    // The first message: the secret scalar times the phrase's generator.
    const std::string& OwnShare() const { return m_ownShare; }
    // Derives the keys from the peer's share and cipher line, both of which
    // the keys are bound to. False when the share is not the canonical
    // encoding of a group element, equals our own share, or leads to the
    // neutral element, or when the two lines have no cipher in common;
    // nothing may be sent then.
    bool Finish(std::string_view peerShare, std::string_view peerCiphers);

    // Valid after Finish: the proof of the key this side sends, the proof it
    // expects from the peer (compared in constant time), and the stream keys.
    const std::string& OwnConfirmation() const { return m_ownConfirmation; }
    bool PeerConfirmationMatches(std::string_view confirmation) const;
    const std::string& SendKey() const { return m_sendKey; }
    const std::string& ReceiveKey() const { return m_receiveKey; }
    TSecureCipher Cipher() const { return m_cipher; }

private:
    void Start(std::string_view phrase);

    TSecureRole m_role;
    std::string m_ownCiphers;
    TSecureCipher m_cipher = TSecureCipher::scChaCha20Poly1305;
    std::array<unsigned char, 32> m_scalar{};
    std::array<unsigned char, 32> m_generator{};
    std::string m_ownShare;
    std::string m_ownConfirmation;
    std::string m_peerConfirmation;
    std::string m_sendKey;
    std::string m_receiveKey;
};

// One key of an authenticated cipher with 96-bit nonces and 16-byte tags,
// for sealing or for opening. Keys have 32 bytes; AES-128-OCB takes the
// first 16 of them.
class TAeadKey {
public:
    static constexpr std::size_t NonceBytes = 12;
    static constexpr std::size_t TagBytes = 16;

    TAeadKey(TSecureCipher cipher, std::string_view key, bool seal);
    ~TAeadKey();
    TAeadKey(const TAeadKey&) = delete;
    TAeadKey& operator=(const TAeadKey&) = delete;

    // Encrypts size bytes of in to out (which may be in) and writes the tag.
    void Seal(const unsigned char* nonce, const unsigned char* data, std::size_t dataSize,
              const unsigned char* in, std::size_t size, unsigned char* out, unsigned char* tag);
    // Decrypts into out; false when the tag does not verify, and then
    // nothing in out may be used.
    bool Open(const unsigned char* nonce, const unsigned char* data, std::size_t dataSize,
              const unsigned char* in, std::size_t size, const unsigned char* tag, unsigned char* out);

private:
    evp_cipher_ctx_st* m_context;  // the library's cipher state with the expanded key
    bool m_seal;
};

// Seals one direction of the session into frames: a 4-byte big-endian
// plaintext length (1..MaxFrameBytes), the ciphertext and its 16-byte tag.
// The nonce is the frame's number in this direction, so a frame that is
// dropped, repeated or moved fails to open.
class TFrameSealer {
public:
    static constexpr std::size_t MaxFrameBytes = 65536;
    static constexpr std::size_t OverheadBytes = 4 + TAeadKey::TagBytes;

    TFrameSealer(std::string_view key, TSecureCipher cipher);

    // The frames' size for plainBytes of plaintext.
    static std::size_t SealedSize(std::size_t plainBytes) {
        return plainBytes + (plainBytes + MaxFrameBytes - 1) / MaxFrameBytes * OverheadBytes;
    }
    // Writes the frames that carry the pieces, in order, to wire, which
    // holds SealedSize of their total.
    void Seal(std::span<const std::string_view> pieces, char* wire);
    // Appends them to wire.
    void Seal(std::initializer_list<std::string_view> pieces, std::string& wire);

private:
    TAeadKey m_key;
    std::uint64_t m_counter = 0;
};

// Opens the frames of the other direction.
class TFrameOpener {
public:
    TFrameOpener(std::string_view key, TSecureCipher cipher);

    // Opens the whole frames at the front of wire[0, size) into out, as many
    // as fit in outCapacity bytes (out holding size bytes takes them all: a
    // frame's plaintext is always shorter than the frame). consumed and
    // produced tell how far each side got; a partial frame stays for the
    // next call. False when a frame has a bad length or fails its tag: the
    // stream is not to be trusted from there on.
    bool Open(const char* wire, std::size_t size, std::size_t& consumed, char* out, std::size_t& produced,
              std::size_t outCapacity = SIZE_MAX);

private:
    TAeadKey m_key;
    std::uint64_t m_counter = 0;
    bool m_failed = false;
};

}  // namespace fwp
