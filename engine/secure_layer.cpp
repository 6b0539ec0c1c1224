#include "engine/secure_layer.h"

#include "common/codec.h"
#include "common/error.h"
#include "engine/wire.h"

namespace fwp {
namespace {

constexpr char HexDigits[] = "0123456789abcdef";

std::string ToHex(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += HexDigits[byte >> 4];
        text += HexDigits[byte & 15];
    }
    return text;
}

// The bytes of a line of exactly 2 x size lower-case hex digits; empty otherwise.
std::string FromHex(std::string_view text, std::size_t size) {
    if (text.size() != size * 2)
        return {};
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int value;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (c >= 'a' && c <= 'f')
            value = c - 'a' + 10;
        else
            return {};
        bytes[i / 2] = static_cast<char>(bytes[i / 2] | (i % 2 == 0 ? value << 4 : value));
    }
    return bytes;
}

}  // namespace

void SecureConnection(TStreamSocket& connection, std::string_view phrase, TSecureRole role,
                      const std::function<std::string()>& readLine) {
    const std::string ownCiphers = OwnSecureCiphers();
    TSecureHandshake handshake(phrase, role, ownCiphers);
    // Both sides speak first, as with the classic banner, so neither waits for the other.
    connection.Send(
        {SecureBanner, wire::LineEnd, ToHex(handshake.OwnShare()), wire::LineEnd, ownCiphers, wire::LineEnd});
    const std::string banner = readLine();
    if (banner.empty() && connection.Broken())
        throw TError("接続が解除されました。");
    if (banner == wire::Banner)
        throw TError("相手は合言葉を使わない接続です。合言葉を両方で設定してください。");
    if (banner != SecureBanner)
        throw TError("プロトコルのバージョンが違います。\r\n相手: " + codec::Cp932ToUtf8(banner) +
                     "\r\nこちら: " + std::string(SecureBanner));
    const std::string peerShare = FromHex(readLine(), TSecureHandshake::ShareBytes);
    const std::string peerCiphers = readLine();
    const bool client = role == TSecureRole::srClient;
    if (!ChooseSecureCipher(client ? ownCiphers : peerCiphers, client ? peerCiphers : ownCiphers))
        throw TError("暗号方式が合いません。\r\n相手: " + codec::Cp932ToUtf8(peerCiphers.substr(0, 200)) +
                     "\r\nこちら: " + ownCiphers);
    if (peerShare.empty() || !handshake.Finish(peerShare, peerCiphers))
        throw TError("不正な接続です。");
    // Key confirmation: each side proves the key before any byte of the session.
    connection.Send({ToHex(handshake.OwnConfirmation()), wire::LineEnd});
    const std::string confirmationLine = readLine();
    const std::string confirmation = FromHex(confirmationLine, TSecureHandshake::KeyBytes);
    if (confirmation.empty()) {
        // A peer that closes here has found that the phrases differ.
        if (confirmationLine.empty() && connection.Broken())
            throw TError("合言葉が一致しません。");
        throw TError("不正な接続です。");
    }
    if (!handshake.PeerConfirmationMatches(confirmation))
        throw TError("合言葉が一致しません。");
    connection.SetTransform(
        std::make_unique<TSecureTransform>(handshake.SendKey(), handshake.ReceiveKey(), handshake.Cipher()));
}

}  // namespace fwp
