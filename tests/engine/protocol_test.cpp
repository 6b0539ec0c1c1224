// The engine against a hand-driven peer: exact wire lines, and hostile input.
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "app/envelope.h"
#include "common/numbers.h"
#include "common/codec.h"
#include "crypto/md5.h"
#include "crypto/packet_transform.h"
#include "tests/support/peer.h"
#include "tests/support/raw_peer.h"
#include "tests/support/sandbox.h"

namespace fwp::test {
namespace {

// The engine waits as server; the test is the client, speaking raw bytes.
class TRawSession {
public:
    void Start(std::int32_t engineBufSize = 32768, std::int32_t rawBufSize = 32768) {
        engine.ReceiveFolder = box.Folder("in");
        engine.Call([&](TTranser& t) {
            t.Timeouts = ShortTimeouts();
            t.BufSize = engineBufSize;
            return 0;
        });
        const int port = engine.Listen();
        auto accepted = engine.AcceptAndStart();
        ASSERT_TRUE(raw.Connect(port));
        ASSERT_TRUE(raw.Handshake(rawBufSize));
        ASSERT_TRUE(accepted.get());
        // The engine's first message names its session under the id 0, which no task has.
        ASSERT_EQ(raw.ReadLine(), "#SEEK");
        ASSERT_EQ(raw.ReadLine(), "0");
        const auto session = raw.ReadLine();
        ASSERT_TRUE(session);
        ASSERT_GT(ParseInt64(*session).value_or(0), 0);
    }

    // Offers a file to the engine and returns its answer line ("$ACPT" or "$DENY").
    std::string OfferAndAnswer(std::int32_t id, std::string_view name, std::int64_t size,
                               std::int64_t* position = nullptr) {
        raw.SendLines({"#TRANSDATA", std::to_string(id), name, std::to_string(size)});
        const auto answer = ReadAnswerFor(id);
        if (answer == "$ACPT") {
            const auto pos = raw.ReadLine();
            if (position && pos)
                *position = std::stoll(*pos);
        }
        return answer;
    }

    // Skips "#IDOLING" and other chatter up to the answer for id.
    std::string ReadAnswerFor(std::int32_t id) {
        while (const auto line = raw.ReadLine()) {
            if (*line != "#TRANSDATA")
                continue;
            if (raw.ReadLine() != std::to_string(id))
                continue;
            return raw.ReadLine().value_or("");
        }
        return "";
    }

    // Reads until "#TRANSDATA", id and returns the next line (an acknowledge).
    std::optional<std::string> NextAck(std::int32_t id) {
        while (const auto line = raw.ReadLine()) {
            if (*line == "#SEEK") {
                seeks.push_back(
                    {std::stoi(raw.ReadLine().value_or("0")), std::stoll(raw.ReadLine().value_or("-1"))});
                continue;
            }
            if (*line == "#ABORT") {
                aborts.push_back(std::stoi(raw.ReadLine().value_or("0")));
                continue;
            }
            if (*line != "#TRANSDATA")
                continue;
            if (raw.ReadLine() != std::to_string(id))
                continue;
            return raw.ReadLine();
        }
        return std::nullopt;
    }

    void SendStart(std::int32_t id, std::int64_t size) {
        raw.SendLines({"#TRANSDATA", std::to_string(id), std::to_string(size)});
    }
    void SendPacket(std::int32_t id, std::int64_t position, int type, std::int64_t raw_,
                    std::string_view payload, std::int64_t wire = -1) {
        raw.SendLines({"#TRANSDATA", std::to_string(id), std::to_string(position), std::to_string(type),
                       std::to_string(raw_),
                       std::to_string(wire < 0 ? static_cast<std::int64_t>(payload.size()) : wire)});
        raw.Send(payload);
    }
    // Proves the session still works: an instant message offer is accepted.
    bool SessionAlive(std::int32_t id) {
        for (int attempt = 0; attempt < 50; ++attempt) {
            raw.SendLines({"#TRANSDATA", std::to_string(id + attempt), "InstantMessage:", "2"});
            while (const auto line = raw.ReadLine(100ms)) {
                if (*line == "$ACPT")
                    return true;
            }
        }
        return false;
    }
    std::int64_t ReceivedSize(const std::string& name) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(engine.ReceiveFolder / name, ec);
        return ec ? -1 : static_cast<std::int64_t>(size);
    }

    TSandbox box;
    TPeer engine{"engine"};
    TRawPeer raw;
    std::vector<std::pair<int, std::int64_t>> seeks;
    std::vector<int> aborts;
};

class RawSession : public ::testing::Test, public TRawSession {};

TEST_F(RawSession, TenByteFileGoesExactlyAsTheWireExampleShows) {
    Start();
    std::int64_t position = -1;
    ASSERT_EQ(OfferAndAnswer(1234567, "FileTransfering:ten.txt", 10, &position), "$ACPT");
    EXPECT_EQ(position, 0);
    SendStart(1234567, 10);
    SendPacket(1234567, 0, 0, 10, "0123456789");
    EXPECT_EQ(NextAck(1234567), "10");
    ASSERT_TRUE(engine.WaitUntil([&](TTranser&) { return engine.HasCompleted("FileTransfering:ten.txt"); }));
    EXPECT_EQ(ReadAll(engine.ReceiveFolder / "ten.txt"), "0123456789");
    EXPECT_EQ(engine.ProgressReports(), 1);
}

TEST_F(RawSession, EngineAsSenderWritesTheExactLines) {
    Start();
    const auto file = box.WriteFile("out/ten.txt", "0123456789");
    const std::int32_t id = engine.Offer(file);
    ASSERT_TRUE(raw.ExpectLine("#TRANSDATA"));
    EXPECT_EQ(raw.ReadLine(), std::to_string(id));
    EXPECT_EQ(raw.ReadLine(), "FileTransfering:ten.txt");
    EXPECT_EQ(raw.ReadLine(), "10");
    raw.SendLines({"#TRANSDATA", std::to_string(id), "$ACPT", "3"});
    ASSERT_TRUE(raw.ExpectLine("#TRANSDATA"));
    EXPECT_EQ(raw.ReadLine(), std::to_string(id));
    EXPECT_EQ(raw.ReadLine(), "10");  // start: the sender's size
    ASSERT_TRUE(raw.ExpectLine("#TRANSDATA"));
    EXPECT_EQ(raw.ReadLine(), std::to_string(id));
    EXPECT_EQ(raw.ReadLine(), "3");  // from the accepted position
    EXPECT_EQ(raw.ReadLine(), "0");
    EXPECT_EQ(raw.ReadLine(), "7");
    EXPECT_EQ(raw.ReadLine(), "7");
    EXPECT_EQ(raw.ReadBytes(7), "3456789");
    raw.SendLines({"#TRANSDATA", std::to_string(id), "10"});
    ASSERT_TRUE(engine.WaitUntil([&](TTranser&) { return engine.HasCompleted("FileTransfering:ten.txt"); }));
    EXPECT_EQ(engine.Completions()[0].Result, trComplete);
}

TEST_F(RawSession, PacketsThatDeflateCannotShrinkGoDirectAndTheRestCompressed) {
    Start(32768, 32768);
    engine.Call([](TTranser& t) {
        t.PacketType = ptCompress;
        return 0;
    });
    // Text, noise, text: 32 KiB packets of each kind.
    const std::string noise = ReadAll(box.WriteRandomFile("noise.bin", 3 * 32768, 5));
    std::string text;
    while (text.size() < 3 * 32768)
        text += "Fernwaypost sends files straight between two peers. ";
    text.resize(3 * 32768);
    const std::string content = text + noise + text;
    const std::int32_t id = engine.Offer(box.WriteFile("out/mixed.bin", content));
    ASSERT_TRUE(raw.ExpectLine("FileTransfering:mixed.bin"));
    raw.ReadLine();
    raw.SendLines({"#TRANSDATA", std::to_string(id), "$ACPT", "0"});
    ASSERT_TRUE(raw.ExpectLine("#TRANSDATA"));
    raw.ReadLine();
    raw.ReadLine();  // the start message
    std::string received;
    std::set<std::string> types;
    while (received.size() < content.size()) {
        ASSERT_TRUE(raw.ExpectLine("#TRANSDATA"));
        EXPECT_EQ(raw.ReadLine(), std::to_string(id));
        EXPECT_EQ(raw.ReadLine(), std::to_string(received.size()));
        const auto type = raw.ReadLine().value_or("");
        const auto length = std::stoll(raw.ReadLine().value_or("0"));
        const auto wire = std::stoll(raw.ReadLine().value_or("0"));
        const auto payload = raw.ReadBytes(static_cast<std::size_t>(wire));
        ASSERT_TRUE(payload);
        types.insert(type);
        if (type == "1") {
            EXPECT_LT(wire, length);
            received += DecompressPacket(*payload, length);
        } else {
            ASSERT_EQ(type, "0");
            EXPECT_EQ(wire, length);
            received += *payload;
        }
    }
    EXPECT_EQ(types, (std::set<std::string>{"0", "1"}));
    EXPECT_TRUE(received == content);
}

TEST_F(RawSession, CompressedAndEncipheredPacketsCarryTheirTransform) {
    Start();
    const auto file = box.WriteFile("out/t.txt", std::string(1000, 'a'));
    for (const TFileTransPacketType type : {ptCompress, ptCrypt}) {
        SCOPED_TRACE(static_cast<int>(type));
        engine.Call([&](TTranser& t) {
            t.PacketType = type;
            return 0;
        });
        const std::int32_t id = engine.Offer(file);
        ASSERT_TRUE(raw.ExpectLine("FileTransfering:t.txt"));
        EXPECT_EQ(raw.ReadLine(), "1000");
        raw.SendLines({"#TRANSDATA", std::to_string(id), "$ACPT", "0"});
        ASSERT_TRUE(raw.ExpectLine("#TRANSDATA"));
        EXPECT_EQ(raw.ReadLine(), std::to_string(id));
        EXPECT_EQ(raw.ReadLine(), "1000");  // start
        ASSERT_TRUE(raw.ExpectLine("#TRANSDATA"));
        EXPECT_EQ(raw.ReadLine(), std::to_string(id));
        EXPECT_EQ(raw.ReadLine(), "0");
        EXPECT_EQ(raw.ReadLine(), std::to_string(static_cast<int>(type)));
        EXPECT_EQ(raw.ReadLine(), "1000");
        const auto wire = std::stoul(raw.ReadLine().value_or("0"));
        const auto payload = raw.ReadBytes(wire);
        ASSERT_TRUE(payload);
        // The engine's own address line keys the cipher: the digest the peer keeps as its PeerDigest.
        const std::string key = engine.Call([](TTranser& t) { return t.PeerDigest(); });
        EXPECT_EQ(type == ptCompress ? DecompressPacket(*payload, 1000) : DecryptPacket(*payload, key),
                  std::string(1000, 'a'));
        raw.SendLines({"#TRANSDATA", std::to_string(id), "1000"});
        ASSERT_TRUE(engine.WaitUntil([&](TTranser& t) { return t.Tasks().Count() == 0; }));
    }
}

TEST_F(RawSession, IdleConnectionExchangesOnlyIdolingAtItsInterval) {
    Start();
    int idles = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 1000ms) {
        const auto line = raw.ReadLine(100ms);
        if (!line)
            continue;
        EXPECT_EQ(*line, "#IDOLING");
        ++idles;
    }
    // The interval is 200 ms here: at most one per interval, and some at all.
    EXPECT_GE(idles, 2);
    EXPECT_LE(idles, 6);
}

TEST_F(RawSession, HostileFileNamesNeverLeaveTheReceiveFolder) {
    Start();
    const auto outside = box.WriteFile("outside.txt", "keep");
    std::filesystem::create_symlink(outside, engine.ReceiveFolder / "link.txt");
    const struct {
        std::string name;     // after "FileTransfering:"
        std::string savedAs;  // empty: refused
    } cases[] = {
        {"../escape.txt", "escape.txt"},
        {"..\\escape2.txt", "escape2.txt"},
        {"/etc/x-passwd", "x-passwd"},
        {"a/../../b.txt", "b.txt"},
        {"\x83\x5C.txt", "ソ.txt"},  // 5C is the trail byte here, not a separator
        {"\x83\x5C\\\x83\x5C\x83\x5C", "ソソ"},
        {"bad\xA0name", "bad\xEF\xBF\xBDname"},
        {"", ""},
        {".", ""},
        {"..", ""},
        {"dir/..", ""},
        {std::string("nul\0x", 5), ""},
        {"ctl\x01x", ""},
        {"link.txt", ""},
    };
    std::int32_t id = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++id;
        const std::string answer = OfferAndAnswer(id, "FileTransfering:" + c.name, 4);
        if (c.savedAs.empty()) {
            EXPECT_EQ(answer, "$DENY");
            continue;
        }
        ASSERT_EQ(answer, "$ACPT");
        SendStart(id, 4);
        SendPacket(id, 0, 0, 4, "data");
        EXPECT_EQ(NextAck(id), "4");
        ASSERT_TRUE(engine.WaitUntil([](TTranser& t) { return t.Tasks().Count() == 0; }));
        EXPECT_EQ(ReadAll(engine.ReceiveFolder / c.savedAs), "data");
    }
    EXPECT_EQ(ReadAll(outside), "keep");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(box.Root())) {
        const auto relative = std::filesystem::relative(entry.path(), box.Root()).string();
        EXPECT_TRUE(relative == "outside.txt" || relative == "in" || relative.starts_with("in/")) << relative;
    }
}

TEST_F(RawSession, BadPacketsAreRefusedAndResynchronisedWithoutWriting) {
    Start();
    constexpr std::int32_t Id = 77;
    ASSERT_EQ(OfferAndAnswer(Id, "FileTransfering:f.bin", 100), "$ACPT");
    SendStart(Id, 100);
    SendPacket(Id, 0, 0, 10, "0123456789");
    ASSERT_EQ(NextAck(Id), "10");
    const std::string key = engine.Call([](TTranser& t) { return t.LocalDigest(); });
    const std::string sealed = EncryptPacket("abcdefghij", key);
    const std::string packed = CompressPacket("abcdefghij");
    const struct {
        const char* what;
        std::int64_t position;
        int type;
        std::int64_t rawLength;
        std::string payload;
    } cases[] = {
        {"position behind", 5, 0, 10, "xxxxxxxxxx"},
        {"position ahead", 20, 0, 10, "xxxxxxxxxx"},
        {"negative position", -1, 0, 10, "xxxxxxxxxx"},
        {"beyond the size", 10, 0, 95, std::string(95, 'x')},
        {"raw longer than direct payload", 10, 0, 11, "xxxxxxxxxx"},
        {"truncated zlib", 10, 1, 10, packed.substr(0, packed.size() - 3)},
        {"corrupt zlib", 10, 1, 10, "this is no zlib stream"},
        {"zlib shorter than raw", 10, 1, 11, packed},
        {"cipher not whole blocks", 10, 2, 10, sealed.substr(0, sealed.size() - 1)},
        {"cipher shorter than raw", 10, 2, 20, sealed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SendPacket(Id, c.position, c.type, c.rawLength, c.payload);
        EXPECT_EQ(NextAck(Id), "10");
        for (const auto& seek : seeks)
            EXPECT_EQ(seek.second, 10);
        EXPECT_EQ(ReceivedSize("f.bin"), 10);
    }
    EXPECT_FALSE(seeks.empty());
    // The right packet is still taken.
    SendPacket(Id, 10, 2, 10, sealed);
    EXPECT_EQ(NextAck(Id), "20");
    EXPECT_EQ(ReadAll(engine.ReceiveFolder / "f.bin"), "0123456789abcdefghij");
    EXPECT_TRUE(SessionAlive(500));
}

TEST_F(RawSession, SeekIsNotRepeatedForEveryPacketInFlight) {
    Start();
    constexpr std::int32_t Id = 78;
    ASSERT_EQ(OfferAndAnswer(Id, "FileTransfering:g.bin", 1000), "$ACPT");
    SendStart(Id, 1000);
    for (int k = 1; k <= 5; ++k)
        SendPacket(Id, 100 * k, 0, 100, std::string(100, 'x'));
    for (int k = 1; k <= 5; ++k)
        EXPECT_EQ(NextAck(Id), "0");
    EXPECT_EQ(seeks.size(), 1u);
    SendPacket(Id, 0, 0, 100, std::string(100, 'y'));
    EXPECT_EQ(NextAck(Id), "100");
}

TEST_F(RawSession, UnframeableLengthsEndTheConnection) {
    const struct {
        const char* what;
        std::string raw;
        std::string wire;
    } cases[] = {
        {"negative wire length", "10", "-1"},
        {"negative raw length", "-10", "10"},
        {"wire far beyond raw", "10", "99999999999"},
        {"raw beyond any packet", "99999999999", "99999999999"},
        {"not a number", "ten", "10"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TRawSession session;
        session.Start();
        ASSERT_EQ(session.OfferAndAnswer(5, "FileTransfering:h.bin", 100), "$ACPT");
        session.SendStart(5, 100);
        session.raw.SendLines({"#TRANSDATA", "5", "0", "0", c.raw, c.wire});
        if (std::string(c.what) == "not a number") {
            // A line that is no number: the message is dropped, the session lives on.
            EXPECT_TRUE(session.SessionAlive(600));
        } else {
            EXPECT_TRUE(session.raw.PeerClosed());
        }
        EXPECT_EQ(session.ReceivedSize("h.bin"), 0);
    }
}

TEST_F(RawSession, OverlongLinesAndUnknownCommandsAreSurvived) {
    Start();
    raw.Send("#TRANSDATA\r\n9\r\n" + std::string(200'000, 'n'));
    raw.Send("\r\n12\r\n");
    EXPECT_TRUE(SessionAlive(700));
    raw.SendLines({"#NONSENSE", "1", "2"});
    EXPECT_TRUE(SessionAlive(800));
    // An offer with a size that is no number never reaches the owner.
    const int offers = engine.Offers();
    raw.SendLines({"#TRANSDATA", "901", "FileTransfering:x", "-5"});
    raw.SendLines({"#TRANSDATA", "902", "FileTransfering:y", "many"});
    EXPECT_TRUE(SessionAlive(900));
    EXPECT_EQ(engine.Offers(), offers + 1);  // only the instant message of SessionAlive
}

TEST_F(RawSession, LineEndSplitBetweenReadsStillEndsTheLine) {
    Start();
    raw.Send("#TRANSDATA\r\n41\r\nInstantMessage:\r");
    std::this_thread::sleep_for(100ms);  // the engine reads the CR alone first
    raw.Send("\n2\r");
    std::this_thread::sleep_for(100ms);
    raw.Send("\n");
    EXPECT_EQ(ReadAnswerFor(41), "$ACPT");
}

TEST_F(RawSession, ConnectionClosingInsideAPacketKeepsTheFileAtThePacketStart) {
    Start();
    ASSERT_EQ(OfferAndAnswer(6, "FileTransfering:cut.bin", 100), "$ACPT");
    SendStart(6, 100);
    SendPacket(6, 0, 0, 10, "0123456789");
    ASSERT_EQ(NextAck(6), "10");
    raw.SendLines({"#TRANSDATA", "6", "10", "0", "50", "50"});
    raw.Send(std::string(20, 'z'));
    // The part that came is written as it comes, and taken back when the rest cannot come.
    ASSERT_TRUE(engine.WaitUntil([&](TTranser&) { return ReceivedSize("cut.bin") == 30; }));
    raw.Close();
    // The link counts as lost at once (a transfer runs): the engine tries to rebuild it.
    EXPECT_TRUE(engine.WaitUntil([](TTranser& t) { return t.State() == tsReconnecting; }));
    EXPECT_EQ(ReceivedSize("cut.bin"), 10);
}

TEST_F(RawSession, MessagesInFlightForASuspendedTaskAreDroppedNotResynchronised) {
    Start();
    ASSERT_EQ(OfferAndAnswer(8, "FileTransfering:s.bin", 30), "$ACPT");
    SendStart(8, 30);
    SendPacket(8, 0, 0, 10, "0123456789");
    ASSERT_EQ(NextAck(8), "10");
    engine.Call([](TTranser& t) {
        t.SuspendTask(t.Tasks()[0]);
        return 0;
    });
    ASSERT_TRUE(raw.ExpectLine("#SUSPEND"));
    // A packet already on its way, then the receiver resumes and we echo.
    SendPacket(8, 10, 0, 10, "abcdefghij");
    engine.Call([](TTranser& t) {
        t.ResumeTask(t.Tasks()[0]);
        return 0;
    });
    ASSERT_TRUE(raw.ExpectLine("#RESUME"));
    raw.SendLines({"#RESUME", "8"});
    // The engine takes up the transfer again and asks for the dropped bytes.
    ASSERT_TRUE(raw.ExpectLine("#SEEK"));
    EXPECT_EQ(raw.ReadLine(), "8");
    EXPECT_EQ(raw.ReadLine(), "10");
    EXPECT_EQ(engine.Call([](TTranser& t) { return t.Tasks()[0].State; }), ttsTransfering);
    SendPacket(8, 10, 0, 20, "abcdefghijklmnopqrst");
    EXPECT_EQ(NextAck(8), "30");
    EXPECT_EQ(ReadAll(engine.ReceiveFolder / "s.bin"), "0123456789abcdefghijklmnopqrst");
}

TEST_F(RawSession, PacketsForATaskThatEndedAreSkippedNotOffered) {
    Start();
    ASSERT_EQ(OfferAndAnswer(9, "FileTransfering:e.bin", 100), "$ACPT");
    SendStart(9, 100);
    raw.SendLines({"#ABORT", "9"});
    ASSERT_TRUE(raw.ExpectLine("#ABORT"));
    const int offers = engine.Offers();
    SendPacket(9, 0, 0, 10, "0123456789");
    SendPacket(9, 10, 1, 10, CompressPacket("0123456789"));
    SendStart(9, 100);
    EXPECT_TRUE(SessionAlive(1000));
    EXPECT_EQ(engine.Offers(), offers + 1);
}

TEST_F(RawSession, AbortRightAfterAcceptingReachesTheSenderAndEndsTheTask) {
    Start();
    ASSERT_EQ(OfferAndAnswer(11, "FileTransfering:q.bin", 1000), "$ACPT");
    engine.Call([](TTranser& t) {
        t.AbortTask(t.Tasks()[0]);
        return 0;
    });
    ASSERT_TRUE(raw.ExpectLine("#ABORT"));
    EXPECT_EQ(raw.ReadLine(), "11");
    // The start the sender had already sent, then its echo.
    SendStart(11, 1000);
    raw.SendLines({"#ABORT", "11"});
    EXPECT_TRUE(engine.WaitUntil([](TTranser& t) { return t.Tasks().Count() == 0; }));
    std::vector<TCompletion> storage;
    const TCompletion* done = engine.FindCompletion("FileTransfering:q.bin", storage);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->Result, trAborted);
}

TEST_F(RawSession, ClosingEndsAtOnceWhenThePeerEndsTheSessionFirst) {
    Start();
    engine.Call([](TTranser& t) {
        t.Timeouts.CloseStep = 30000;
        return 0;
    });
    ASSERT_EQ(OfferAndAnswer(12, "FileTransfering:c.bin", 1000), "$ACPT");
    SendStart(12, 1000);
    ASSERT_TRUE(engine.WaitUntil([](TTranser& t) { return t.Tasks()[0].State == ttsTransfering; }));
    auto closing = std::async(std::launch::async, [&] {
        const auto start = std::chrono::steady_clock::now();
        engine.Call([](TTranser& t) {
            t.Close();
            return 0;
        });
        return std::chrono::steady_clock::now() - start;
    });
    // Instead of echoing the abort, the peer ends the whole session.
    ASSERT_TRUE(raw.ExpectLine("#ABORT"));
    raw.SendLines({"#TERMINATE"});
    ASSERT_EQ(closing.wait_for(60s), std::future_status::ready);
    EXPECT_LT(closing.get(), 15s);
    EXPECT_EQ(engine.State(), tsClosed);
}

TEST_F(RawSession, HostileAcknowledgesAndSeeksAreIgnored) {
    Start();
    const auto file = box.WriteRandomFile("out/a.bin", 100'000, 1);
    const std::int32_t id = engine.Offer(file);
    ASSERT_TRUE(raw.ExpectLine("FileTransfering:a.bin"));
    raw.SendLines({"#TRANSDATA", std::to_string(id), "$ACPT", "0"});
    for (const char* value : {"-5", "999999999", "x"})
        raw.SendLines({"#TRANSDATA", std::to_string(id), value});
    for (const char* value : {"-5", "999999999"})
        raw.SendLines({"#SEEK", std::to_string(id), value});
    raw.SendLines({"#SEEK", std::to_string(id), "50000"});
    // The next packets continue at the sought position, and the task has not ended.
    std::optional<std::string> line;
    bool seen = false;
    while ((line = raw.ReadLine()) && !seen) {
        if (*line == std::to_string(id) && raw.ReadLine() == "50000")
            seen = true;
    }
    EXPECT_TRUE(seen);
    EXPECT_TRUE(engine.Completions().empty());
}

TEST_F(RawSession, LateAnswerToAnAbortedOfferDoesNotDisturb) {
    Start();
    const auto file = box.WriteRandomFile("out/a.bin", 1000, 1);
    const std::int32_t id = engine.Offer(file);
    ASSERT_TRUE(raw.ExpectLine("FileTransfering:a.bin"));
    engine.Call([](TTranser& t) {
        t.AbortTask(t.Tasks()[0]);
        return 0;
    });
    ASSERT_TRUE(raw.ExpectLine("#ABORT"));
    raw.SendLines({"#TRANSDATA", std::to_string(id), "$ACPT", "0"});
    raw.SendLines({"#ABORT", std::to_string(id)});
    EXPECT_TRUE(engine.WaitUntil([&](TTranser& t) { return t.Tasks().Count() == 0; }));
    EXPECT_TRUE(SessionAlive(1100));
}

// Reads data packet headers from the engine: (id, position, raw length), payload
// skipped. Start messages (id and one number) and other commands are passed over.
struct TPacketHeader {
    std::int32_t Id;
    std::int64_t Position;
    std::int64_t Length;
};
class TPacketReader {
public:
    explicit TPacketReader(TRawPeer& raw) : m_raw(raw) {}
    std::optional<TPacketHeader> Next(const std::set<std::int32_t>& ids) {
        while (auto line = Take()) {
            if (*line != "#TRANSDATA")
                continue;
            const int id = std::stoi(Take().value_or("0"));
            const auto position = Take();
            const auto type = Take();
            if (!position || !type)
                return std::nullopt;
            if (!ParseInt64(*position))  // an offer: name and size
                continue;
            if (type->starts_with("#")) {  // a start message; the next command began
                m_pending = type;
                continue;
            }
            const auto length = Take();
            const auto wire = Take();
            if (!length || !wire)
                return std::nullopt;
            m_raw.ReadBytes(std::stoul(*wire));
            if (ids.contains(id))
                return TPacketHeader{id, std::stoll(*position), std::stoll(*length)};
        }
        return std::nullopt;
    }

private:
    std::optional<std::string> Take() {
        if (m_pending) {
            auto line = std::move(m_pending);
            m_pending.reset();
            return line;
        }
        return m_raw.ReadLine();
    }
    TRawPeer& m_raw;
    std::optional<std::string> m_pending;
};

// Accepts the engine's next offers; their ids in offer order.
std::vector<std::int32_t> AcceptOffers(TRawPeer& raw, std::size_t count, std::size_t acceptFirst) {
    std::vector<std::int32_t> ids;
    while (ids.size() < count) {
        if (!raw.ExpectLine("#TRANSDATA"))
            break;
        const int id = std::stoi(raw.ReadLine().value_or("0"));
        const auto name = raw.ReadLine();
        raw.ReadLine();  // size
        if (!name || name->empty() || (*name)[0] == '$')
            continue;
        ids.push_back(id);
    }
    // The answers go in one write, as a peer that accepts them together sends them.
    std::string answers;
    for (std::size_t i = 0; i < std::min(acceptFirst, ids.size()); ++i)
        answers += "#TRANSDATA\r\n" + std::to_string(ids[i]) + "\r\n$ACPT\r\n0\r\n";
    if (!answers.empty())
        raw.Send(answers);
    return ids;
}

TEST_F(RawSession, PacketsNeverExceedTheBufferNorRunAcrossItsMultiples) {
    // The peer's buffer size, the number of files; every packet of each file is checked.
    const struct {
        std::int32_t bufSize;
        int files;
    } cases[] = {{32767, 2}, {1024, 1}, {1024, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bufSize << " x" << c.files);
        TRawSession session;
        session.Start(1 << 20, c.bufSize);
        std::vector<std::int64_t> sizes;
        for (int i = 0; i < c.files; ++i) {
            sizes.push_back(70'000 + i);
            session.engine.Offer(session.box.WriteRandomFile("out/f" + std::to_string(i) + ".bin",
                                                             sizes.back(), static_cast<unsigned>(i + 1)));
        }
        const auto ids = AcceptOffers(session.raw, sizes.size(), sizes.size());
        ASSERT_EQ(ids.size(), sizes.size());
        std::map<std::int32_t, std::int64_t> next;  // id -> position of the next packet
        for (const std::int32_t id : ids)
            next[id] = 0;
        TPacketReader reader(session.raw);
        std::size_t filesDone = 0;
        while (filesDone < ids.size()) {
            const auto packet = reader.Next({ids.begin(), ids.end()});
            ASSERT_TRUE(packet);
            const auto index =
                static_cast<std::size_t>(std::find(ids.begin(), ids.end(), packet->Id) - ids.begin());
            EXPECT_EQ(packet->Position, next[packet->Id]);
            EXPECT_GT(packet->Length, 0);
            EXPECT_LE(packet->Position % c.bufSize + packet->Length, c.bufSize);
            next[packet->Id] = packet->Position + packet->Length;
            if (next[packet->Id] == sizes[index])
                ++filesDone;
        }
    }
}

TEST_F(RawSession, QueuedTasksDoNotShrinkThePacketsOfTheOneThatSends) {
    Start(32768, 1 << 20);
    engine.Call([&](TTranser& t) {
        for (int i = 0; i < 300; ++i)
            t.Tasks().AddSendTask("FileTransfering:m" + std::to_string(i),
                                  std::make_unique<TMemoryStream>(std::string(100'000, 'm')));
        return 0;
    });
    const auto ids = AcceptOffers(raw, 300, 1);
    ASSERT_EQ(ids.size(), 300u);
    const auto packet = TPacketReader(raw).Next({ids[0]});
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->Length, 32768);
}

TEST_F(RawSession, ThreeFilesProgressTogether) {
    Start(32768, 32768);
    engine.Call([](TTranser& t) {
        t.MaxSendingCount = 3;
        return 0;
    });
    std::vector<std::int32_t> offered;
    for (int i = 0; i < 3; ++i)
        offered.push_back(
            engine.Offer(box.WriteRandomFile("out/t" + std::to_string(i) + ".bin", 3'000'000, 30 + i)));
    const auto ids = AcceptOffers(raw, 3, 3);
    ASSERT_EQ(ids.size(), 3u);
    // Until the first file is through, every file has had packets, and the
    // three take turns: none sends the whole buffer alone.
    std::map<std::int32_t, std::int64_t> sent;
    TPacketReader reader(raw);
    while (true) {
        const auto packet = reader.Next({ids.begin(), ids.end()});
        ASSERT_TRUE(packet);
        sent[packet->Id] = packet->Position + packet->Length;
        if (sent[packet->Id] == 3'000'000)
            break;
    }
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& [id, bytes] : sent)
        EXPECT_GT(bytes, 1'000'000) << id;
}

TEST_F(RawSession, SendLimitHoldsFilesBackButNotMessages) {
    Start(32768, 1 << 20);
    engine.Call([](TTranser& t) {
        t.MaxSendingCount = 3;
        return 0;
    });
    // Larger than what the two sockets' buffers can hold together.
    constexpr std::int64_t FileSize = 16'000'000;
    for (int i = 0; i < 5; ++i)
        engine.Offer(box.WriteRandomFile("out/f" + std::to_string(i) + ".bin", FileSize, 20 + i));
    const auto ids = AcceptOffers(raw, 5, 5);
    ASSERT_EQ(ids.size(), 5u);
    const std::int32_t message = engine.SendMessage("hi");
    std::set<std::int32_t> all(ids.begin(), ids.end());
    all.insert(message);
    // The message's packet comes after what the sockets already hold, but
    // before the three files are through; the other two wait for them.
    bool messageSent = false;
    std::map<std::int32_t, std::int64_t> sent;
    TPacketReader reader(raw);
    for (int k = 0; k < 5000 && !messageSent; ++k) {
        const auto packet = reader.Next(all);
        ASSERT_TRUE(packet);
        sent[packet->Id] = packet->Position + packet->Length;
        EXPECT_NE(packet->Id, ids[3]);
        EXPECT_NE(packet->Id, ids[4]);
        if (k == 10)
            raw.SendLines({"#TRANSDATA", std::to_string(message), "$ACPT", "0"});
        messageSent = packet->Id == message;
    }
    EXPECT_TRUE(messageSent);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_LT(sent[ids[i]], FileSize) << i;
}

// A receiver as the classic program is: it reads only in its own 20 ms tick
// (everything that is there by then), accepts every offer at 0 and
// acknowledges each packet. Returns the received bytes by task id once
// every offered file is complete, or nothing when the session stalls.
std::optional<std::map<std::int32_t, std::string>> ReceiveOnTicks(TRawPeer& raw, std::size_t files) {
    std::map<std::int32_t, std::int64_t> sizes;
    std::set<std::int32_t> started;
    std::map<std::int32_t, std::string> data;
    std::size_t complete = 0;
    for (int tick = 0; tick < 1500 && complete < files; ++tick) {
        std::this_thread::sleep_for(20ms);  // the peer's own pace, not a wait for the engine
        while (auto command = raw.ReadLine(5ms)) {
            if (*command != "#TRANSDATA")
                continue;
            const auto id = std::stoi(raw.ReadLine().value_or("0"));
            const auto second = raw.ReadLine();
            if (!second)
                return std::nullopt;
            if (!ParseInt64(*second)) {  // an offer: name line, then size
                sizes[id] = std::stoll(raw.ReadLine().value_or("0"));
                raw.SendLines({"#TRANSDATA", std::to_string(id), "$ACPT", "0"});
            } else if (!started.contains(id)) {  // the start message after our answer
                started.insert(id);
            } else {             // a data packet: type, raw length, wire length, payload
                raw.ReadLine();  // type: direct
                raw.ReadLine();  // raw length, the same
                const auto length = std::stoll(raw.ReadLine().value_or("0"));
                const auto payload = raw.ReadBytes(static_cast<std::size_t>(length));
                if (!payload || std::stoll(*second) != static_cast<std::int64_t>(data[id].size()))
                    return std::nullopt;
                data[id] += *payload;
                raw.SendLines({"#TRANSDATA", std::to_string(id), std::to_string(data[id].size())});
                if (static_cast<std::int64_t>(data[id].size()) == sizes[id])
                    ++complete;
            }
        }
    }
    if (complete < files)
        return std::nullopt;
    return data;
}

TEST(ClassicPeer, AReceiverThatReadsOnlyInItsTickGetsEveryFileWhole) {
    for (const std::int32_t bufSize : {32768, 1024}) {
        SCOPED_TRACE(bufSize);
        TRawSession session;
        session.Start(1 << 20, bufSize);
        std::map<std::int32_t, std::string> sent;
        for (int i = 0; i < 3; ++i) {
            const auto file =
                session.box.WriteRandomFile("out/c" + std::to_string(i) + ".bin", 400'000 + i, 40 + i);
            sent[session.engine.Offer(file)] = ReadAll(file);
        }
        const auto received = ReceiveOnTicks(session.raw, sent.size());
        ASSERT_TRUE(received);
        EXPECT_TRUE(*received == sent);
        EXPECT_TRUE(session.engine.WaitUntil([](TTranser& t) { return t.Tasks().Count() == 0; }));
    }
}

TEST(RawHandshake, PeerBufferSizeOfZeroOrLessKeepsTheOwnValue) {
    for (const std::int32_t peerValue : {0, -100, 4096, 1 << 20}) {
        SCOPED_TRACE(peerValue);
        TPeer engine;
        engine.Call([](TTranser& t) {
            t.BufSize = 32767;
            return 0;
        });
        const int port = engine.Listen();
        auto accepted = engine.AcceptAndStart();
        TRawPeer raw;
        ASSERT_TRUE(raw.Connect(port));
        ASSERT_TRUE(raw.Handshake(peerValue));
        ASSERT_TRUE(accepted.get());
        EXPECT_EQ(engine.Call([](TTranser& t) { return t.BufSize; }), peerValue == 4096 ? 4096 : 32767);
    }
}

TEST(RawHandshake, WrongBannerFailsWithBothBanners) {
    TPeer engine;
    const int port = engine.Listen();
    TRawPeer raw;
    ASSERT_TRUE(raw.Connect(port));
    raw.SendLines({"Fernwaypost Protocol Version 0.91", "127.0.0.1"});
    const std::string message = engine.Call([](TTranser& t) {
        try {
            t.Accept(2000);
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
        return std::string();
    });
    EXPECT_EQ(message,
              "プロトコルのバージョンが違います。\r\n相手: Fernwaypost Protocol Version 0.91\r\nこちら: "
              "Fernwaypost Protocol Version 0.90");
    EXPECT_TRUE(raw.PeerClosed());
}

TEST(RawHandshake, SilentPeerIsDroppedAfterTheWait) {
    TPeer engine;
    engine.Call([](TTranser& t) {
        t.Timeouts.Handshake = 300;
        return 0;
    });
    const int port = engine.Listen();
    TRawPeer raw;
    ASSERT_TRUE(raw.Connect(port));
    const std::string message = engine.Call([](TTranser& t) {
        try {
            t.Accept(2000);
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
        return std::string();
    });
    EXPECT_EQ(message, "不正な接続です。");
    EXPECT_TRUE(raw.PeerClosed());
    // Still listening: a proper peer gets in afterwards.
    auto accepted = engine.AcceptAndStart();
    TRawPeer second;
    ASSERT_TRUE(second.Connect(port));
    EXPECT_TRUE(second.Handshake());
    EXPECT_TRUE(accepted.get());
}

TEST(Handshake, BothEnginesAgreeOnTheSmallerBufferAndCrossDigests) {
    TLoopbackPair pair;
    pair.Server.Call([](TTranser& t) {
        t.BufSize = 4096;
        return 0;
    });
    pair.Client.Call([](TTranser& t) {
        t.BufSize = 32767;
        return 0;
    });
    const int port = pair.Server.Listen();
    auto accepted = pair.Server.AcceptAndStart();
    ASSERT_TRUE(pair.Client.ConnectAndStart(port));
    ASSERT_TRUE(accepted.get());
    EXPECT_EQ(pair.Client.Call([](TTranser& t) { return t.BufSize; }), 4096);
    const auto server =
        pair.Server.Call([](TTranser& t) { return std::make_pair(t.LocalDigest(), t.PeerDigest()); });
    const auto client =
        pair.Client.Call([](TTranser& t) { return std::make_pair(t.LocalDigest(), t.PeerDigest()); });
    EXPECT_EQ(server.first, client.second);
    EXPECT_EQ(server.second, client.first);
    EXPECT_EQ(server.first.size(), 32u);
}

TEST(Handshake, RawPeerAddressLineIsTheDigestedText) {
    TPeer engine;
    const int port = engine.Listen();
    auto accepted = engine.AcceptAndStart();
    TRawPeer raw;
    ASSERT_TRUE(raw.Connect(port));
    ASSERT_TRUE(raw.Handshake(32768, ""));
    ASSERT_TRUE(accepted.get());
    // The digest of the empty text (RFC 1321 test suite).
    EXPECT_EQ(engine.Call([](TTranser& t) { return t.PeerDigest(); }), "d41d8cd98f00b204e9800998ecf8427e");
}

// Reads up to the engine's next offer; its id, name line and size.
std::optional<std::array<std::string, 3>> ReadOffer(TRawPeer& raw) {
    while (const auto line = raw.ReadLine()) {
        if (*line != "#TRANSDATA")
            continue;
        auto id = raw.ReadLine();
        auto name = raw.ReadLine();
        auto size = raw.ReadLine();
        if (id && name && size)
            return std::array<std::string, 3>{*id, *name, *size};
    }
    return std::nullopt;
}

TEST_F(RawSession, CloseEndsAtOnceWhenThePeerTerminatesFirst) {
    Start();
    engine.Call([](TTranser& t) {
        t.Timeouts.CloseStep = 60000;
        return 0;
    });
    ASSERT_EQ(OfferAndAnswer(77, "FileTransfering:c.bin", 1000), "$ACPT");
    SendStart(77, 1000);
    SendPacket(77, 0, 0, 10, "0123456789");
    ASSERT_TRUE(NextAck(77));
    // Closed from the loop itself, as the front ends do, not from inside a tick.
    ASSERT_TRUE(engine.WaitUntil([](TTranser& t) { return t.State() == tsReady; }));
    auto closed = std::make_shared<std::atomic<bool>>(false);
    engine.Post([closed](TTranser& t) {
        t.Close();
        *closed = true;
    });
    // The peer answers the abort by ending the session itself.
    ASSERT_TRUE(raw.ExpectLine("#ABORT"));
    raw.SendLines({"#TERMINATE"});
    EXPECT_TRUE(engine.WaitUntil([&](TTranser&) { return closed->load(); }, 20s));
}

TEST_F(RawSession, DataThatStaysUnacknowledgedCountsAsALostLink) {
    Start();
    engine.Offer(box.WriteRandomFile("out/a.bin", 100'000, 3));
    const auto offer = ReadOffer(raw);
    ASSERT_TRUE(offer);
    raw.SendLines({"#TRANSDATA", (*offer)[0], "$ACPT", "0"});
    // The peer keeps talking but never acknowledges a packet.
    bool lost = false;
    for (int i = 0; i < 200 && !lost; ++i) {
        raw.SendLines({"#IDOLING"});
        lost = engine.WaitUntil([](TTranser& t) { return t.State() == tsReconnecting; }, 100ms);
    }
    EXPECT_TRUE(lost);
}

TEST_F(RawSession, ClassicPeerIsOfferedTheClassicNameLine) {
    Start();
    engine.Call([](TTranser& t) {
        TTranserTask& task = t.Tasks().AddSendTask("FileTransfering:new",
                                                   std::make_unique<TMemoryStream>(std::string(10, 'x')));
        task.ClassicName = "FileTransfering:old";
        return 0;
    });
    const auto offer = ReadOffer(raw);
    ASSERT_TRUE(offer);
    EXPECT_EQ((*offer)[1], "FileTransfering:old");
}

TEST(Handshake, PeerOfTheSameProgramIsOfferedTheFullNameLine) {
    TLoopbackPair pair;
    std::mutex mutex;
    std::string offered;
    pair.Server.OnOffer = [&](TTranser& t, TTranserTask& task) {
        std::lock_guard lock(mutex);
        offered = task.Name;
        t.DenyTask(task);
    };
    pair.Connect();
    pair.Client.Call([](TTranser& t) {
        TTranserTask& task = t.Tasks().AddSendTask("FileTransfering:new",
                                                   std::make_unique<TMemoryStream>(std::string(10, 'x')));
        task.ClassicName = "FileTransfering:old";
        return 0;
    });
    ASSERT_TRUE(pair.Server.WaitUntil([&](TTranser&) {
        std::lock_guard lock(mutex);
        return !offered.empty();
    }));
    EXPECT_EQ(offered, "FileTransfering:new");
    EXPECT_TRUE(pair.Client.Call([](TTranser& t) { return t.PeerIsOurs(); }));
}

}  // namespace
}  // namespace fwp::test
