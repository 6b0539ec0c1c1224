#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "crypto/secure_channel.h"
#include "engine/stream_socket.h"

namespace fwp {

// The first line a secure side sends instead of the classic banner, so that
// a classic peer stops at it and never sees a session byte in clear.
constexpr std::string_view SecureBanner = "Fernwaypost Secure Session 2";

// The encrypted stream of a secure session as the socket's transform.
class TSecureTransform : public TStreamTransform {
public:
    TSecureTransform(std::string_view sendKey, std::string_view receiveKey, TSecureCipher cipher)
        : m_sealer(sendKey, cipher), m_opener(receiveKey, cipher) {}
    std::size_t SealedSize(std::size_t plainBytes) const override {
        return TFrameSealer::SealedSize(plainBytes);
    }
    void Seal(std::span<const std::string_view> pieces, char* wire) override { m_sealer.Seal(pieces, wire); }
    bool Open(const char* wire, std::size_t size, std::size_t& consumed, char* out, std::size_t outCapacity,
              std::size_t& produced) override {
        return m_opener.Open(wire, size, consumed, out, produced, outCapacity);
    }

private:
    TFrameSealer m_sealer;
    TFrameOpener m_opener;
};

// Runs the passphrase exchange on a fresh connection and, once both sides
// proved the same key, makes the connection carry everything encrypted.
// readLine returns the peer's next line within the handshake wait. Throws
// TError with the text for the user when the peer is classic, answers with
// another phrase or breaks the exchange; nothing of the session was sent then.
void SecureConnection(TStreamSocket& connection, std::string_view phrase, TSecureRole role,
                      const std::function<std::string()>& readLine);

}  // namespace fwp
