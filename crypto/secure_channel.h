#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace fwp {

// Which end of the connection a side is; the connecting side is the client.
enum class TSecureRole : std::uint8_t { srClient, srServer };

// The passphrase key exchange of a secure session: both sides derive a
// generator of the ristretto255 group from the phrase, send a random multiple
// of it, and hash the shared element with both messages into the session key.
// Someone who watches learns nothing about the phrase; someone who answers
// in a peer's place gets one guess per connection.
class TSecureHandshake {
public:
    static constexpr std::size_t ShareBytes = 32;
    static constexpr std::size_t KeyBytes = 32;

    // A fresh random secret scalar for each connection.
    TSecureHandshake(std::string_view phrase, TSecureRole role);
    // A fixed secret scalar (32 bytes, little-endian, below the group order),
    // so that a test can compare every byte with worked values.
    TSecureHandshake(std::string_view phrase, TSecureRole role, std::string_view scalar);
    ~TSecureHandshake();
    TSecureHandshake(const TSecureHandshake&) = delete;
    TSecureHandshake& operator=(const TSecureHandshake&) = delete;

    // The first message: the secret scalar times the phrase's generator.
    const std::string& OwnShare() const { return m_ownShare; }
    // Derives the keys from the peer's share. False when it is not the
    // canonical encoding of a group element, equals our own share, or leads
    // to the neutral element; nothing may be sent then.
    bool Finish(std::string_view peerShare);

    // Valid after Finish: the proof of the key this side sends, the proof it
    // expects from the peer (compared in constant time), and the stream keys.
    const std::string& OwnConfirmation() const { return m_ownConfirmation; }
    bool PeerConfirmationMatches(std::string_view confirmation) const;
    const std::string& SendKey() const { return m_sendKey; }
    const std::string& ReceiveKey() const { return m_receiveKey; }

private:
    void Start(std::string_view phrase);

    TSecureRole m_role;
    std::array<unsigned char, 32> m_scalar{};
    std::array<unsigned char, 32> m_generator{};
    std::string m_ownShare;
    std::string m_ownConfirmation;
    std::string m_peerConfirmation;
    std::string m_sendKey;
    std::string m_receiveKey;
};

// Seals one direction of the session into frames: a 4-byte big-endian
// plaintext length (1..MaxFrameBytes), the ChaCha20-Poly1305 ciphertext and
// its 16-byte tag. The nonce is the frame's number in this direction, so a
// frame that is dropped, repeated or moved fails to open.
class TFrameSealer {
public:
    static constexpr std::size_t MaxFrameBytes = 65536;
    static constexpr std::size_t OverheadBytes = 4 + 16;

    explicit TFrameSealer(std::string_view key);
    ~TFrameSealer();
    TFrameSealer(const TFrameSealer&) = delete;
    TFrameSealer& operator=(const TFrameSealer&) = delete;

    // Appends the frames that carry the pieces, in order, to wire.
    void Seal(std::initializer_list<std::string_view> pieces, std::string& wire);

private:
    std::array<unsigned char, 32> m_key{};
    std::uint64_t m_counter = 0;
};

// Opens the frames of the other direction.
class TFrameOpener {
public:
    explicit TFrameOpener(std::string_view key);
    ~TFrameOpener();
    TFrameOpener(const TFrameOpener&) = delete;
    TFrameOpener& operator=(const TFrameOpener&) = delete;

    // Opens the whole frames at the front of wire[0, size) into out, which
    // must hold size bytes (a frame's plaintext is always shorter than the
    // frame). consumed and produced tell how far each side got; a partial
    // frame stays for the next call. False when a frame has a bad length or
    // fails its tag: the stream is not to be trusted from there on.
    bool Open(const char* wire, std::size_t size, std::size_t& consumed, char* out, std::size_t& produced);

private:
    std::array<unsigned char, 32> m_key{};
    std::uint64_t m_counter = 0;
    bool m_failed = false;
};

}  // namespace fwp
