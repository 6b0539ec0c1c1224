// fwpost with a passphrase: real processes on loopback.
#include <csignal>
#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

#include "crypto/secure_channel.h"
#include "tests/cli/fwpost_fixture.h"
#include "tests/support/process.h"
#include "tests/support/proxy.h"
#include "tests/support/raw_peer.h"
#include "tests/support/sandbox.h"

namespace fwp::test {
namespace {

const std::string FwpostPath = BinaryPath("fwpost");
constexpr const char* WrongPhraseText = "合言葉が一致しません。";

std::string Hex(std::string_view bytes) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        text += Digits[static_cast<unsigned char>(c) >> 4];
        text += Digits[static_cast<unsigned char>(c) & 15];
    }
    return text;
}

std::string Unhex(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
    return bytes;
}

class SecureSession : public TFwpostTest {
protected:
    static std::function<void()> SecretInEnvironment(const char* phrase) {
        return [phrase] { ::setenv("FWP_SECRET", phrase, 1); };
    }
};

// One side types the phrase on its terminal, the other has it in FWP_SECRET.
TEST_F(SecureSession, FilesGoBothWaysByteExactOncePhrasesMatch) {
    const auto up = box.WriteRandomFile("out/up.bin", 700'000, 1);
    const auto down = box.WriteRandomFile("out/down.bin", 1, 2);
    auto listener = Listen({"-y", "-d", in.string(), "--secret", "-", down.string()}, nullptr, true,
                           "合言葉 と correct horse\n");
    ASSERT_NE(port, 0) << listener->ErrorOutput();
    auto connector = Connect({"-y", "-d", in.string(), "-b", "65536", up.string()}, 0,
                             SecretInEnvironment("合言葉 と correct horse"));
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_TRUE(HasLine(*connector, "secured"));
    EXPECT_TRUE(HasLine(*listener, "secured"));
    EXPECT_EQ(ReadAll(in / "up.bin"), ReadAll(up));
    EXPECT_EQ(ReadAll(in / "down.bin"), ReadAll(down));
}

// A wrong phrase ends the attempt on both sides with the same message; the
// listener goes on waiting (each connection is one guess), and the right
// phrase still gets in.
TEST_F(SecureSession, AWrongPhraseFailsOnBothSidesAndNoFileIsMade) {
    const auto up = box.WriteRandomFile("out/up.bin", 1000, 1);
    auto listener = Listen({"-y", "-d", in.string(), "--secret", "correct horse"});
    auto connector = Connect({"--secret", "correct horse battery", up.string()});
    EXPECT_EQ(connector->Wait(), 2);
    EXPECT_NE(connector->ErrorOutput().find(WrongPhraseText), std::string::npos) << connector->ErrorOutput();
    EXPECT_TRUE(listener->WaitForError(WrongPhraseText)) << listener->ErrorOutput();
    EXPECT_FALSE(HasLine(*connector, "secured"));
    EXPECT_TRUE(std::filesystem::is_empty(in));
    auto right = Connect({"--secret", "correct horse", up.string()});
    EXPECT_EQ(right->Wait(), 0) << right->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_EQ(ReadAll(in / "up.bin"), ReadAll(up));
}

TEST_F(SecureSession, ASecureSideAndAClassicPeerRefuseEachOther) {
    const auto up = box.WriteRandomFile("out/up.bin", 1000, 1);
    auto listener = Listen({"-y", "-d", in.string(), "--secret", "correct horse"});
    auto classic = Connect({up.string()});
    EXPECT_EQ(classic->Wait(), 2);
    EXPECT_TRUE(listener->WaitForError("相手は合言葉を使わない接続です。")) << listener->ErrorOutput();
    EXPECT_NE(classic->ErrorOutput().find("相手: Fernwaypost Secure Session 2"), std::string::npos)
        << classic->ErrorOutput();
    EXPECT_TRUE(std::filesystem::is_empty(in));
    listener->Signal(SIGINT);
    EXPECT_EQ(listener->Wait(), 2);
}

// A cut link and a flipped bit both end the connection; the sides meet
// again with a new exchange and the files still arrive whole.
TEST_F(SecureSession, ABrokenLinkReconnectsWithANewExchangeAndFinishes) {
    for (const bool tamper : {false, true}) {
        SCOPED_TRACE(tamper ? "a bit flipped on the way" : "the link cut");
        const std::string tag = tamper ? "tamper" : "cut";
        const auto up = box.WriteRandomFile("out/up-" + tag + ".bin", 4'000'000, 1);
        const auto down = box.WriteRandomFile("out/down-" + tag + ".bin", 2'000'000, 2);
        // Slowed down, so that the cut falls in the middle of the transfers.
        auto listener = Listen({"-y", "-d", in.string(), "-b", "131072", "-q", "--limit-rate", "2M",
                                "--secret", "pass", down.string()});
        TForwardingProxy proxy(port);
        if (tamper)
            proxy.Arm(TProxyDirection::pdUp, 1'000'000, TProxyFault::pfFlip);
        auto connector = Connect({"-y", "-d", in.string(), "-b", "131072", "-q", "--limit-rate", "2M",
                                  "--secret", "pass", up.string()},
                                 proxy.Port());
        if (!tamper) {
            for (int i = 0; i < 2000 && proxy.BytesForwarded() < 1'000'000; ++i)
                std::this_thread::sleep_for(5ms);
            proxy.Cut();
        }
        EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
        EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
        EXPECT_TRUE(HasLine(*connector, "reconnected"));
        EXPECT_GE(proxy.Connections(), 2);
        EXPECT_EQ(ReadAll(in / up.filename()), ReadAll(up));
        EXPECT_EQ(ReadAll(in / down.filename()), ReadAll(down));
    }
}

// A peer that knows the phrase and offers ciphers of its own: fwpost takes
// the first one it knows, or refuses a peer with none in common. Then a
// frame longer than any frame may be ends the connection unread.
TEST_F(SecureSession, APeerGetsItsFirstKnownCipherAndAnOversizedFrameEndsTheConnection) {
    const std::pair<const char*, std::optional<TSecureCipher>> offers[] = {
        {"future-cipher chacha20poly1305 aes256gcm", TSecureCipher::scChaCha20Poly1305},
        {"aes256gcm", TSecureCipher::scAes256Gcm},
        {"aes128ocb", TSecureCipher::scAes128Ocb},
        {"rot13", std::nullopt},
    };
    for (const auto& [offer, cipher] : offers) {
        SCOPED_TRACE(offer);
        auto listener = Listen({"-y", "-d", in.string(), "--secret", "pass"});
        TRawPeer hostile;
        ASSERT_TRUE(hostile.Connect(port));
        TSecureHandshake handshake("pass", TSecureRole::srClient, offer);
        hostile.SendLines({"Fernwaypost Secure Session 2", Hex(handshake.OwnShare()), offer});
        ASSERT_EQ(hostile.ReadLine(), "Fernwaypost Secure Session 2");
        const auto share = hostile.ReadLine();
        const auto ciphers = hostile.ReadLine();
        ASSERT_TRUE(share && ciphers);
        if (!cipher) {
            EXPECT_TRUE(hostile.PeerClosed(20s));
            EXPECT_TRUE(listener->WaitForError("暗号方式が合いません。")) << listener->ErrorOutput();
        } else {
            ASSERT_TRUE(handshake.Finish(Unhex(*share), *ciphers));
            EXPECT_EQ(handshake.Cipher(), *cipher);
            hostile.SendLines({Hex(handshake.OwnConfirmation())});
            const auto confirmation = hostile.ReadLine();
            ASSERT_TRUE(confirmation);
            EXPECT_TRUE(handshake.PeerConfirmationMatches(Unhex(*confirmation)));
            // The listener's first frame opens with the chosen cipher: its banner line.
            const auto length = hostile.ReadBytes(4);
            ASSERT_TRUE(length);
            const std::size_t size = static_cast<unsigned char>((*length)[3]);
            const auto frame = hostile.ReadBytes(size + TAeadKey::TagBytes);
            ASSERT_TRUE(frame);
            const std::string wire = *length + *frame;
            std::string plain(wire.size(), '\0');
            std::size_t consumed = 0;
            std::size_t produced = 0;
            TFrameOpener opener(handshake.ReceiveKey(), *cipher);
            ASSERT_TRUE(opener.Open(wire.data(), wire.size(), consumed, plain.data(), produced));
            EXPECT_EQ(plain.substr(0, produced).rfind("Fernwaypost Protocol Version 0.90\r\n", 0), 0u);
            hostile.Send(std::string("\xff\xff\xff\xf0", 4) + std::string(1000, 'x'));
            EXPECT_TRUE(hostile.PeerClosed(20s));
            EXPECT_TRUE(listener->WaitForError("不正な接続です。")) << listener->ErrorOutput();
        }
        EXPECT_TRUE(std::filesystem::is_empty(in));
        listener->Signal(SIGINT);
        EXPECT_EQ(listener->Wait(), 2);
    }
}

}  // namespace
}  // namespace fwp::test
