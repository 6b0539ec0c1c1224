// The socket's transform and the secure exchange on loopback sockets.
#include "engine/secure_layer.h"

#include <thread>

#include <gtest/gtest.h>

#include "common/error.h"
#include "tests/support/raw_peer.h"

namespace fwp {
namespace {

const std::string KeyA(32, 'a');
const std::string KeyB(32, 'b');

// The next line, or "(none)" when none came within the limit.
std::string ReadLine(TStreamSocket& socket) {
    std::string line;
    for (int i = 0; i < 50; ++i) {
        if (socket.TakeLine(line, 4096) == TReadStatus::rsOk)
            return line;
        if (socket.Fill(100) == TReadStatus::rsClosed && socket.TakeLine(line, 4096) != TReadStatus::rsOk)
            break;
    }
    return "(none)";
}

struct TSocketAndRawPeer {
    std::unique_ptr<TServerSocket> server = TServerSocket::Listen(0);
    test::TRawPeer raw;
    std::unique_ptr<TStreamSocket> socket;
    TSocketAndRawPeer() {
        raw.Connect(server->LocalPort());
        socket = server->Accept(2000);
    }
};

// The peer's first frame may come in the same segment as its last clear
// line; it must be opened once the transform is in place, not read as clear bytes.
TEST(SecureLayer, FramesThatArriveWithTheLastClearLineAreOpened) {
    TSocketAndRawPeer pair;
    ASSERT_TRUE(pair.socket);
    TFrameSealer peerSealer(KeyA, TSecureCipher::scAes128Ocb);
    std::string wire = "confirmation\r\n";
    peerSealer.Seal({"Fernwaypost Protocol Version 0.90\r\n"}, wire);
    pair.raw.Send(wire);
    EXPECT_EQ(ReadLine(*pair.socket), "confirmation");
    pair.socket->SetTransform(std::make_unique<TSecureTransform>(KeyB, KeyA, TSecureCipher::scAes128Ocb));
    EXPECT_EQ(ReadLine(*pair.socket), "Fernwaypost Protocol Version 0.90");
}

TEST(SecureLayer, ACorruptFrameBreaksTheConnection) {
    TSocketAndRawPeer pair;
    ASSERT_TRUE(pair.socket);
    pair.socket->SetTransform(std::make_unique<TSecureTransform>(KeyB, KeyA, TSecureCipher::scAes128Ocb));
    TFrameSealer peerSealer(KeyA, TSecureCipher::scAes128Ocb);
    std::string wire;
    peerSealer.Seal({"#IDOLING\r\n"}, wire);
    wire[6] ^= 0x20;
    pair.raw.Send(wire);
    EXPECT_FALSE(pair.socket->WaitForData(5000));
    EXPECT_TRUE(pair.socket->Broken());
    EXPECT_EQ(pair.socket->Buffered(), 0u);
}

// Reads larger than a frame take the frames straight, smaller ones get
// them a piece at a time: either way the stream arrives whole and in order.
TEST(SecureLayer, ReadsOfAnySizeGetTheStreamWhole) {
    TSocketAndRawPeer pair;
    ASSERT_TRUE(pair.socket);
    pair.socket->SetTransform(std::make_unique<TSecureTransform>(KeyB, KeyA, TSecureCipher::scAes128Ocb));
    TFrameSealer peerSealer(KeyA, TSecureCipher::scAes128Ocb);
    std::string data(300'000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 1000);
    std::string wire;
    peerSealer.Seal({data.substr(0, 100)}, wire);
    peerSealer.Seal({data.substr(100)}, wire);
    pair.raw.Send(wire);
    std::string received;
    const int sizes[] = {1, 70'000, 65'536, 99, 200'000};
    for (std::size_t turn = 0; received.size() < data.size(); ++turn) {
        std::string chunk(static_cast<std::size_t>(sizes[turn % std::size(sizes)]), '\0');
        const int got = pair.socket->ReceiveBuf(chunk.data(), static_cast<int>(chunk.size()));
        ASSERT_GT(got, 0);
        received.append(chunk, 0, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(received, data);
}

// A read that takes whole frames leaves the next one where a wait for data
// and a line read find it, though nothing more comes from the peer.
TEST(SecureLayer, AFrameBehindAFullReadIsFoundByTheNextWait) {
    TSocketAndRawPeer pair;
    ASSERT_TRUE(pair.socket);
    pair.socket->SetTransform(std::make_unique<TSecureTransform>(KeyB, KeyA, TSecureCipher::scAes128Ocb));
    TFrameSealer peerSealer(KeyA, TSecureCipher::scAes128Ocb);
    std::string wire;
    peerSealer.Seal({std::string(100, 'p')}, wire);
    peerSealer.Seal({"#IDOLING\r\n"}, wire);
    pair.raw.Send(wire);
    std::string payload(100, '\0');
    ASSERT_EQ(pair.socket->ReceiveBuf(payload.data(), 100), 100);
    EXPECT_TRUE(pair.socket->WaitForData(2000));
    EXPECT_EQ(ReadLine(*pair.socket), "#IDOLING");
}

// Two sockets run the exchange against each other, each on its own thread.
std::pair<std::string, std::string> Exchange(const std::string& clientPhrase, const std::string& serverPhrase,
                                             std::string& serverLine) {
    auto server = TServerSocket::Listen(0);
    std::string serverError;
    std::thread serverSide([&] {
        auto socket = server->Accept(5000);
        try {
            SecureConnection(*socket, serverPhrase, TSecureRole::srServer, [&] { return ReadLine(*socket); });
            socket->SendLine("from the server");
            serverLine = ReadLine(*socket);
        } catch (const TError& error) {
            serverError = error.what();
        }
    });
    auto client = TStreamSocket::Connect("127.0.0.1", server->LocalPort(), 5000);
    std::string clientError;
    try {
        SecureConnection(*client, clientPhrase, TSecureRole::srClient, [&] { return ReadLine(*client); });
        client->SendLine("from the client");
        EXPECT_EQ(ReadLine(*client), "from the server");
    } catch (const TError& error) {
        clientError = error.what();
    }
    client->Disconnect();
    serverSide.join();
    return {clientError, serverError};
}

TEST(SecureLayer, MatchingPhrasesCarryLinesAndDifferentOnesFailOnBothSides) {
    std::string serverLine;
    EXPECT_EQ(Exchange("same phrase", "same phrase", serverLine),
              std::make_pair(std::string(), std::string()));
    EXPECT_EQ(serverLine, "from the client");
    serverLine.clear();
    const auto [clientError, serverError] = Exchange("one phrase", "another phrase", serverLine);
    EXPECT_EQ(clientError, "合言葉が一致しません。");
    EXPECT_EQ(serverError, "合言葉が一致しません。");
    EXPECT_EQ(serverLine, "");
}

// A peer that closes before its first line is a closed connection, not
// another version.
TEST(SecureLayer, APeerThatClosesAtOnceIsAClosedConnection) {
    TSocketAndRawPeer pair;
    ASSERT_TRUE(pair.socket);
    pair.raw.Close();
    try {
        // As the engine reads: an empty line once the connection is closed.
        SecureConnection(*pair.socket, "phrase", TSecureRole::srServer, [&] {
            const std::string line = ReadLine(*pair.socket);
            return line == "(none)" ? std::string() : line;
        });
        ADD_FAILURE() << "the exchange went through";
    } catch (const TError& error) {
        EXPECT_STREQ(error.what(), "接続が解除されました。");
    }
}

}  // namespace
}  // namespace fwp
