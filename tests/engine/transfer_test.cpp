// Two real engines on loopback moving files and messages.
#include <sys/resource.h>

#include <csignal>
#include <mutex>

#include <gtest/gtest.h>

#include "app/envelope.h"
#include "common/codec.h"
#include "tests/support/peer.h"
#include "tests/support/proxy.h"
#include "tests/support/sandbox.h"

namespace fwp::test {
namespace {

std::string FileLine(const std::string& name) {
    return FileNameLine(name);
}

std::int32_t ResultOf(const TPeer& peer, const std::string& name) {
    std::vector<TCompletion> storage;
    const TCompletion* completion = peer.FindCompletion(name, storage);
    return completion ? completion->Result : -100;
}

class Transfer : public ::testing::TestWithParam<TFileTransPacketType> {
protected:
    void SetUp() override {
        pair.Server.ReceiveFolder = box.Folder("server-in");
        pair.Client.ReceiveFolder = box.Folder("client-in");
    }
    TSandbox box;
    TLoopbackPair pair;
};

std::string PacketTypeName(const ::testing::TestParamInfo<TFileTransPacketType>& type) {
    return type.param == ptDirect ? "Direct" : type.param == ptCompress ? "Compress" : "Crypt";
}

INSTANTIATE_TEST_SUITE_P(PacketTypes, Transfer, ::testing::Values(ptDirect, ptCompress, ptCrypt),
                         PacketTypeName);

TEST_P(Transfer, FilesArriveWholeAtEdgeSizesInBothDirections) {
    constexpr std::int32_t BufSize = 4096;
    pair.Connect(GetParam(), BufSize);
    const std::uint64_t sizes[] = {0, 1, 127, 128, BufSize, BufSize + 1};
    std::uint32_t seed = 1;
    for (const std::uint64_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string up = "up" + std::to_string(size) + ".bin";
        const std::string down = "down" + std::to_string(size) + ".bin";
        const auto upFile = box.WriteRandomFile("out/" + up, size, seed++);
        const auto downFile = box.WriteRandomFile("out/" + down, size, seed++);
        ASSERT_NE(pair.Client.Offer(upFile), 0);
        ASSERT_NE(pair.Server.Offer(downFile), 0);
        ASSERT_TRUE(pair.Client.WaitUntil([&](TTranser&) {
            return pair.Client.HasCompleted(FileLine(up)) && pair.Client.HasCompleted(FileLine(down));
        }));
        ASSERT_TRUE(pair.Server.WaitUntil([&](TTranser&) {
            return pair.Server.HasCompleted(FileLine(up)) && pair.Server.HasCompleted(FileLine(down));
        }));
        EXPECT_EQ(ResultOf(pair.Client, FileLine(up)), trComplete);
        EXPECT_EQ(ResultOf(pair.Server, FileLine(up)), trComplete);
        EXPECT_EQ(ResultOf(pair.Client, FileLine(down)), trComplete);
        EXPECT_EQ(ResultOf(pair.Server, FileLine(down)), trComplete);
        EXPECT_EQ(ReadAll(pair.Server.ReceiveFolder / up), ReadAll(upFile));
        EXPECT_EQ(ReadAll(pair.Client.ReceiveFolder / down), ReadAll(downFile));
    }
    EXPECT_TRUE(pair.Client.AllTasksEnded());
    EXPECT_TRUE(pair.Server.AllTasksEnded());
}

TEST_P(Transfer, SeveralMegabytesArriveWhole) {
    pair.Connect(GetParam(), 256 * 1024);
    const auto file = box.WriteRandomFile("out/big.bin", 6'000'000 + 17, 42);
    pair.Client.Offer(file);
    ASSERT_TRUE(
        pair.Server.WaitUntil([&](TTranser&) { return pair.Server.HasCompleted(FileLine("big.bin")); }));
    ASSERT_TRUE(
        pair.Client.WaitUntil([&](TTranser&) { return pair.Client.HasCompleted(FileLine("big.bin")); }));
    EXPECT_EQ(ResultOf(pair.Server, FileLine("big.bin")), trComplete);
    EXPECT_EQ(ResultOf(pair.Client, FileLine("big.bin")), trComplete);
    EXPECT_EQ(ReadAll(pair.Server.ReceiveFolder / "big.bin"), ReadAll(file));
}

TEST_P(Transfer, InstantMessagesArriveWithTheirJapaneseBytes) {
    pair.Connect(GetParam());
    const std::string text = codec::Utf8ToCp932("こんにちは、ソ表示\\ > x");
    pair.Client.SendMessage(text);
    pair.Server.SendMessage("pong");
    ASSERT_TRUE(pair.Server.WaitUntil([&](TTranser&) { return pair.Server.Completions().size() == 2; }));
    ASSERT_TRUE(pair.Client.WaitUntil([&](TTranser&) { return pair.Client.Completions().size() == 2; }));
    for (const TCompletion& completion : pair.Server.Completions()) {
        EXPECT_EQ(completion.Result, trComplete);
        EXPECT_EQ(completion.Data, completion.Direction == tdReceive ? text : "pong");
    }
}

TEST(TransferAnswers, DenyEndsBothSidesWithDenied) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Server.OnOffer = [](TTranser& transer, TTranserTask& task) { transer.DenyTask(task); };
    pair.Connect();
    pair.Client.Offer(box.WriteRandomFile("a.bin", 1000));
    ASSERT_TRUE(
        pair.Client.WaitUntil([&](TTranser&) { return pair.Client.HasCompleted(FileLine("a.bin")); }));
    ASSERT_TRUE(
        pair.Server.WaitUntil([&](TTranser&) { return pair.Server.HasCompleted(FileLine("a.bin")); }));
    EXPECT_EQ(ResultOf(pair.Client, FileLine("a.bin")), trDenied);
    EXPECT_EQ(ResultOf(pair.Server, FileLine("a.bin")), trDenied);
}

TEST(TransferAnswers, AbortOfAnUndecidedOfferDeniesIt) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Server.OnOffer = [](TTranser&, TTranserTask&) {};  // left for the user
    pair.Connect();
    pair.Client.Offer(box.WriteRandomFile("a.bin", 1000));
    ASSERT_TRUE(pair.Server.WaitUntil([](TTranser& t) { return t.Tasks().Count() == 1; }));
    pair.Server.Call([](TTranser& t) {
        t.AbortTask(t.Tasks()[0]);
        return 0;
    });
    ASSERT_TRUE(
        pair.Client.WaitUntil([&](TTranser&) { return pair.Client.HasCompleted(FileLine("a.bin")); }));
    EXPECT_EQ(ResultOf(pair.Client, FileLine("a.bin")), trDenied);
}

// A transfer slow enough to be caught in the middle: a small buffer, a rate
// limit and a large file.
struct TSlowTransfer {
    TSandbox box;
    TLoopbackPair pair;
    std::filesystem::path file;
    explicit TSlowTransfer(const TTranserTimeouts& timeouts = TTranserTimeouts{}) {
        pair.Server.ReceiveFolder = box.Folder("in");
        pair.Connect(ptDirect, 4096, timeouts);
        for (TPeer* peer : {&pair.Client, &pair.Server})
            peer->Call([](TTranser& t) {
                t.MaxSendRate = 200'000;
                return 0;
            });
        file = box.WriteRandomFile("out/slow.bin", 2'000'000, 7);
        pair.Client.Offer(file);
        EXPECT_TRUE(pair.Server.WaitUntil(
            [](TTranser& t) { return t.Tasks().Count() == 1 && t.Tasks()[0].Transfered > 20'000; }));
    }
    static TTranserTask& Only(TTranser& t) { return t.Tasks()[0]; }
    bool BothEnded() {
        return pair.Client.WaitUntil([&](TTranser&) {
            return pair.Client.HasCompleted(FileLine("slow.bin"));
        }) && pair.Server.WaitUntil([&](TTranser&) {
            return pair.Server.HasCompleted(FileLine("slow.bin"));
        });
    }
    void Speed() {
        for (TPeer* peer : {&pair.Client, &pair.Server})
            peer->Call([](TTranser& t) {
                t.BufSize = 1 << 20;
                t.MaxSendRate = 0;
                return 0;
            });
    }
};

TEST(TransferControl, AbortBySenderOrReceiverEndsBothSidesWithAborted) {
    for (const bool bySender : {true, false}) {
        SCOPED_TRACE(bySender ? "sender" : "receiver");
        TSlowTransfer slow;
        TPeer& actor = bySender ? slow.pair.Client : slow.pair.Server;
        actor.Call([](TTranser& t) {
            t.AbortTask(TSlowTransfer::Only(t));
            return 0;
        });
        ASSERT_TRUE(slow.BothEnded());
        EXPECT_EQ(ResultOf(slow.pair.Client, FileLine("slow.bin")), trAborted);
        EXPECT_EQ(ResultOf(slow.pair.Server, FileLine("slow.bin")), trAborted);
        // Packets still in flight must not turn into offers on the receiver.
        slow.pair.Server.Call([](TTranser& t) {
            t.BufSize = 1 << 20;
            return 0;
        });
        EXPECT_FALSE(slow.pair.Server.WaitUntil([](TTranser& t) { return t.Tasks().Count() > 0; }, 300ms));
        EXPECT_EQ(slow.pair.Server.Offers(), 1);
    }
}

TEST(TransferControl, SuspendAndResumeByEitherSideStillDeliversTheWholeFile) {
    // Suspended by one side, resumed by either side.
    const struct {
        bool suspendBySender;
        bool resumeBySender;
    } cases[] = {{true, true}, {false, false}, {true, false}, {false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.suspendBySender << c.resumeBySender);
        TSlowTransfer slow;
        TPeer& suspender = c.suspendBySender ? slow.pair.Client : slow.pair.Server;
        TPeer& other = c.suspendBySender ? slow.pair.Server : slow.pair.Client;
        suspender.Call([](TTranser& t) {
            t.SuspendTask(TSlowTransfer::Only(t));
            return 0;
        });
        ASSERT_TRUE(
            other.WaitUntil([](TTranser& t) { return TSlowTransfer::Only(t).State == ttsSuspended; }));
        EXPECT_EQ(other.Suspends(), 1);
        // Nothing moves while suspended.
        const auto before =
            slow.pair.Server.Call([](TTranser& t) { return TSlowTransfer::Only(t).Stream->Size(); });
        std::this_thread::sleep_for(100ms);
        const auto after =
            slow.pair.Server.Call([](TTranser& t) { return TSlowTransfer::Only(t).Stream->Size(); });
        EXPECT_LE(after - before, 8192);
        TPeer& resumer = c.resumeBySender ? slow.pair.Client : slow.pair.Server;
        // A side can only resume what it holds suspended.
        resumer.WaitUntil([](TTranser& t) { return TSlowTransfer::Only(t).State == ttsSuspended; });
        slow.Speed();
        resumer.Call([](TTranser& t) {
            t.ResumeTask(TSlowTransfer::Only(t));
            return 0;
        });
        ASSERT_TRUE(slow.BothEnded());
        EXPECT_EQ(ResultOf(slow.pair.Client, FileLine("slow.bin")), trComplete);
        EXPECT_EQ(ResultOf(slow.pair.Server, FileLine("slow.bin")), trComplete);
        EXPECT_EQ(ReadAll(slow.pair.Server.ReceiveFolder / "slow.bin"), ReadAll(slow.file));
    }
}

TEST(TransferControl, ProgressHandlerThatStopsAbortsBothSides) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Server.ReceiveFolder = box.Folder("in");
    pair.Server.OnProgress = [](TTranser&, TTranserTask&, std::int64_t transfered, bool& continueTask) {
        if (transfered > 10'000)
            continueTask = false;
    };
    pair.Connect(ptDirect, 4096);
    pair.Client.Offer(box.WriteRandomFile("a.bin", 1'000'000));
    ASSERT_TRUE(
        pair.Client.WaitUntil([&](TTranser&) { return pair.Client.HasCompleted(FileLine("a.bin")); }));
    ASSERT_TRUE(
        pair.Server.WaitUntil([&](TTranser&) { return pair.Server.HasCompleted(FileLine("a.bin")); }));
    EXPECT_EQ(ResultOf(pair.Client, FileLine("a.bin")), trAborted);
    EXPECT_EQ(ResultOf(pair.Server, FileLine("a.bin")), trAborted);
}

TEST(TransferProgress, ReportsComeAtMostEveryQuarterSecondAndAlwaysForTheLastByte) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Server.ReceiveFolder = box.Folder("in");
    struct TReport {
        std::int64_t Transfered;
        std::int64_t Rate;
        std::uint32_t Elapsed;
        std::chrono::steady_clock::time_point At;
    };
    std::vector<TReport> reports;
    std::mutex mutex;
    pair.Client.Call([&](TTranser& t) {
        t.OnTransferingProgress = [&](TTranserTask& task, std::int64_t rate, std::int64_t transfered,
                                      std::int64_t size, bool&) {
            EXPECT_EQ(size, task.Size);
            std::lock_guard lock(mutex);
            reports.push_back({transfered, rate, task.Elapsed, std::chrono::steady_clock::now()});
        };
        return 0;
    });
    pair.Connect(ptDirect, 16384);
    pair.Client.Call([](TTranser& t) {
        t.MaxSendRate = 600'000;  // about a second, for several reports
        return 0;
    });
    pair.Client.Offer(box.WriteRandomFile("out/p.bin", 600'000, 9));
    ASSERT_TRUE(pair.Client.WaitUntil([&](TTranser& t) { return t.Tasks().Count() == 0; }));
    std::lock_guard lock(mutex);
    ASSERT_GE(reports.size(), 3u);
    EXPECT_LT(reports.front().Rate, 1000);  // measured from no earlier report: near 0
    EXPECT_EQ(reports.back().Transfered, 600'000);
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GT(reports[i].Transfered, reports[i - 1].Transfered);
        if (i + 1 < reports.size()) {
            EXPECT_GE(reports[i].At - reports[i - 1].At, std::chrono::milliseconds(240));
        }
    }
    // Elapsed sums the gaps between reports, up to the one before.
    EXPECT_EQ(reports[0].Elapsed, 0u);
    EXPECT_EQ(reports[1].Elapsed, 0u);
    EXPECT_GE(reports[2].Elapsed, 240u);
    EXPECT_LE(
        reports[2].Elapsed,
        std::chrono::duration_cast<std::chrono::milliseconds>(reports[2].At - reports[0].At).count() + 5);
    // Around 800 KB/s here: the rate of a middle report is of that order.
    EXPECT_GT(reports[1].Rate, 100'000);
    EXPECT_LT(reports[1].Rate, 5'000'000);
}

TEST(TransferResume, PartialFileIsContinuedAtItsLength) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Server.ReceiveFolder = box.Folder("in");
    const auto file = box.WriteRandomFile("out/r.bin", 300'000, 3);
    const std::string whole = ReadAll(file);
    WriteUnfinishedReceive(box.Path("in/r.bin"), whole.substr(0, 123'456), 300'000);
    pair.Connect(ptCompress, 65536);
    pair.Client.Offer(file);
    std::int64_t firstAck = -1;
    pair.Client.OnProgress = [&](TTranser&, TTranserTask&, std::int64_t transfered, bool&) {
        if (firstAck < 0)
            firstAck = transfered;
    };
    ASSERT_TRUE(
        pair.Server.WaitUntil([&](TTranser&) { return pair.Server.HasCompleted(FileLine("r.bin")); }));
    ASSERT_TRUE(
        pair.Client.WaitUntil([&](TTranser&) { return pair.Client.HasCompleted(FileLine("r.bin")); }));
    EXPECT_EQ(ReadAll(pair.Server.ReceiveFolder / "r.bin"), whole);
    EXPECT_GT(firstAck, 123'456);  // the first acknowledged count is beyond what was there
    EXPECT_EQ(ResultOf(pair.Client, FileLine("r.bin")), trComplete);
}

TEST(TransferResume, FileAlreadyWholeCompletesAtOnceAndLargerOneIsRefused) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Server.ReceiveFolder = box.Folder("in");
    const auto file = box.WriteRandomFile("out/w.bin", 5000, 3);
    WriteUnfinishedReceive(box.Path("in/w.bin"), ReadAll(file), 5000);
    const auto other = box.WriteRandomFile("out/x.bin", 5000, 4);
    WriteUnfinishedReceive(box.Path("in/x.bin"), ReadAll(other) + "more", 5000);
    pair.Connect();
    pair.Client.Offer(file);
    pair.Client.Offer(other);
    ASSERT_TRUE(pair.Client.WaitUntil([&](TTranser&) {
        return pair.Client.HasCompleted(FileLine("w.bin")) && pair.Client.HasCompleted(FileLine("x.bin"));
    }));
    EXPECT_EQ(ResultOf(pair.Client, FileLine("w.bin")), trComplete);
    EXPECT_NE(ResultOf(pair.Client, FileLine("x.bin")), trComplete);
    EXPECT_EQ(ReadAll(pair.Server.ReceiveFolder / "x.bin"), ReadAll(other) + "more");
}

TEST(TransferMany, SeveralFilesAtOnceAllArriveWithASendLimit) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Server.ReceiveFolder = box.Folder("in");
    pair.Connect(ptDirect, 64 * 1024);
    pair.Client.Call([](TTranser& t) {
        t.MaxSendingCount = 2;
        return 0;
    });
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < 5; ++i)
        files.push_back(box.WriteRandomFile("out/f" + std::to_string(i) + ".bin", 200'000 + i, 10 + i));
    for (const auto& file : files)
        pair.Client.Offer(file);
    pair.Client.SendMessage("while sending");
    ASSERT_TRUE(pair.Server.WaitUntil([&](TTranser&) { return pair.Server.Completions().size() == 6; }));
    for (const auto& file : files)
        EXPECT_EQ(ReadAll(pair.Server.ReceiveFolder / file.filename()), ReadAll(file)) << file;
}

TEST(TransferClose, CloseWithATransferRunningAbortsItAndClosesBothEngines) {
    TSlowTransfer slow;
    slow.pair.Client.Call([](TTranser& t) {
        t.Close();
        return 0;
    });
    EXPECT_EQ(slow.pair.Client.State(), tsClosed);
    ASSERT_TRUE(slow.pair.Server.WaitUntil([](TTranser& t) { return t.State() == tsClosed; }));
    EXPECT_EQ(slow.pair.Server.Disconnects(), 1);
    EXPECT_EQ(ResultOf(slow.pair.Client, FileLine("slow.bin")), trAborted);
    EXPECT_EQ(ResultOf(slow.pair.Server, FileLine("slow.bin")), trAborted);
}

// A close that comes while the engine is inside its own pass (a handler, or
// a window closed from a message loop the pass runs) cannot wait for that
// pass to end: it ends the session at once.
TEST(TransferClose, CloseFromInsideAPassReturnsAndClosesBothEngines) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Server.ReceiveFolder = box.Folder("in");
    bool closed = false;
    pair.Server.OnProgress = [&](TTranser& t, TTranserTask&, std::int64_t transfered, bool&) {
        if (transfered > 10'000 && !closed) {
            closed = true;
            t.Close();
        }
    };
    pair.Connect(ptDirect, 4096, ShortTimeouts());
    pair.Client.Call([](TTranser& t) {
        t.MaxSendRate = 200'000;
        return 0;
    });
    pair.Client.Offer(box.WriteRandomFile("a.bin", 1'000'000));
    ASSERT_TRUE(pair.Server.WaitUntil([](TTranser& t) { return t.State() == tsClosed; }));
    ASSERT_TRUE(pair.Client.WaitUntil([](TTranser& t) { return t.State() == tsClosed; }));
}

TEST(TransferClose, CloseWhenThePeerHasGoneReturnsAndCloses) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Connect(ptDirect, 32768, ShortTimeouts());
    pair.Server.Call([](TTranser& t) {
        t.CloseSocket();
        return 0;
    });
    pair.Client.Call([](TTranser& t) {
        t.Close();
        return 0;
    });
    EXPECT_EQ(pair.Client.State(), tsClosed);
}

TEST(TransferMany, TwoPeersSendingLargePacketsAtOnceDoNotBlockEachOther) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Server.ReceiveFolder = box.Folder("server-in");
    pair.Client.ReceiveFolder = box.Folder("client-in");
    pair.Connect(ptDirect, 4 << 20);
    const auto up = box.WriteRandomFile("out/up.bin", 30'000'000, 1);
    const auto down = box.WriteRandomFile("out/down.bin", 30'000'000, 2);
    pair.Client.Offer(up);
    pair.Server.Offer(down);
    ASSERT_TRUE(pair.Server.WaitUntil([&](TTranser&) { return pair.Server.Completions().size() == 2; }, 60s));
    ASSERT_TRUE(pair.Client.WaitUntil([&](TTranser&) { return pair.Client.Completions().size() == 2; }, 60s));
    EXPECT_EQ(ReadAll(pair.Server.ReceiveFolder / "up.bin"), ReadAll(up));
    EXPECT_EQ(ReadAll(pair.Client.ReceiveFolder / "down.bin"), ReadAll(down));
}

TEST(TransferFailure, WriteThatFailsEndsWithReceiverErrorNotComplete) {
    TSandbox box;
    TLoopbackPair pair;
    pair.Server.ReceiveFolder = box.Folder("in");
    const auto file = box.WriteRandomFile("out/big.bin", 400'000, 1);
    // Files of this process may not grow beyond 100 KB: a full disk, as far as the writer can tell.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 100'000;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    pair.Connect(ptDirect, 64 * 1024);
    pair.Client.Offer(file);
    const bool ended = pair.Server.WaitUntil([&](TTranser&) {
        return pair.Server.HasCompleted(FileLine("big.bin"));
    }) && pair.Client.WaitUntil([&](TTranser&) { return pair.Client.HasCompleted(FileLine("big.bin")); });
    ::setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ResultOf(pair.Server, FileLine("big.bin")), trReceiverError);
    EXPECT_EQ(ResultOf(pair.Client, FileLine("big.bin")), trAborted);
}

TEST(TransferFailure, SendFileThatCannotBeReadEndsWithSenderError) {
    TSlowTransfer slow;
    // The file shrinks under the sender: the bytes it promised are not there.
    std::filesystem::resize_file(slow.file, 30'000);
    ASSERT_TRUE(slow.BothEnded());
    EXPECT_EQ(ResultOf(slow.pair.Client, FileLine("slow.bin")), trSenderError);
    EXPECT_EQ(ResultOf(slow.pair.Server, FileLine("slow.bin")), trAborted);
}

TEST(TransferLink, CutLinkIsRebuiltAndTheFileArrivesWhole) {
    for (const TFileTransPacketType type : {ptDirect, ptCrypt}) {
        SCOPED_TRACE(static_cast<int>(type));
        TSandbox box;
        TPeer server("server");
        TPeer client("client");
        server.ReceiveFolder = box.Folder("in");
        client.ReceiveFolder = box.Folder("client-in");
        for (TPeer* peer : {&server, &client})
            peer->Call([&](TTranser& t) {
                t.Timeouts = ShortTimeouts();
                t.PacketType = type;
                t.BufSize = 8192;
                t.MaxSendRate = 300'000;  // slow enough to be cut in the middle
                return 0;
            });
        const int port = server.Listen();
        TForwardingProxy proxy(port);
        auto accepted = server.AcceptAndStart();
        ASSERT_TRUE(client.ConnectAndStart(proxy.Port()));
        ASSERT_TRUE(accepted.get());
        const auto up = box.WriteRandomFile("out/up.bin", 1'500'000, 5);
        const auto down = box.WriteRandomFile("out/down.bin", 700'000, 6);
        client.Offer(up);
        server.Offer(down);
        ASSERT_TRUE(server.WaitUntil([](TTranser& t) {
            for (std::size_t i = 0; i < t.Tasks().Count(); ++i)
                if (t.Tasks()[i].Direction == tdReceive && t.Tasks()[i].Transfered > 100'000)
                    return true;
            return false;
        }));
        proxy.Cut();
        ASSERT_TRUE(client.WaitUntil([](TTranser& t) { return t.State() == tsReconnecting; }));
        // Both come back and finish; each keeps the buffer size it had, even
        // where the other announces a smaller one.
        server.Call([](TTranser& t) {
            t.BufSize = 16 * 1024;
            t.MaxSendRate = 0;
            return 0;
        });
        client.Call([](TTranser& t) {
            t.BufSize = 128 * 1024;
            t.MaxSendRate = 0;
            return 0;
        });
        ASSERT_TRUE(server.WaitUntil(
            [&](TTranser&) {
                return server.HasCompleted(FileLine("up.bin")) && server.HasCompleted(FileLine("down.bin"));
            },
            40s));
        ASSERT_TRUE(client.WaitUntil(
            [&](TTranser&) {
                return client.HasCompleted(FileLine("up.bin")) && client.HasCompleted(FileLine("down.bin"));
            },
            40s));
        EXPECT_GE(proxy.Connections(), 2);
        EXPECT_GE(client.Reconnects(), 1);
        EXPECT_EQ(ResultOf(server, FileLine("up.bin")), trComplete);
        EXPECT_EQ(ResultOf(client, FileLine("down.bin")), trComplete);
        EXPECT_EQ(ReadAll(server.ReceiveFolder / "up.bin"), ReadAll(up));
        EXPECT_EQ(ReadAll(client.ReceiveFolder / "down.bin"), ReadAll(down));
        EXPECT_EQ(client.Call([](TTranser& t) { return t.BufSize; }), 128 * 1024);
    }
}

TEST(TransferLink, SilentPeerTripsTheNoResponseCheck) {
    TSlowTransfer slow(ShortTimeouts());
    // The receiver's thread hangs for a while: the sender hears nothing more.
    slow.pair.Server.Post([](TTranser&) { std::this_thread::sleep_for(4s); });
    EXPECT_TRUE(slow.pair.Client.WaitUntil([&](TTranser&) { return slow.pair.Client.Reconnects() >= 1; }));
    EXPECT_EQ(slow.pair.Client.State(), tsReconnecting);
}

TEST(TransferLink, ReconnectingBacksOffAndGivesUpWithNoResponse) {
    TSandbox box;
    TPeer server("server");
    TPeer client("client");
    server.ReceiveFolder = box.Folder("in");
    for (TPeer* peer : {&server, &client})
        peer->Call([&](TTranser& t) {
            t.Timeouts = ShortTimeouts();
            t.Timeouts.ReconnectLimit = 3000;
            t.BufSize = 8192;
            t.MaxSendRate = 500'000;  // still running when the link goes
            return 0;
        });
    const int port = server.Listen();
    TForwardingProxy proxy(port);
    auto accepted = server.AcceptAndStart();
    ASSERT_TRUE(client.ConnectAndStart(proxy.Port()));
    ASSERT_TRUE(accepted.get());
    client.Offer(box.WriteRandomFile("out/up.bin", 3'000'000, 5));
    ASSERT_TRUE(server.WaitUntil(
        [](TTranser& t) { return t.Tasks().Count() == 1 && t.Tasks()[0].Transfered > 50'000; }));
    proxy.SetRefusing(true);
    proxy.Cut();
    ASSERT_TRUE(client.WaitUntil([&](TTranser&) { return client.HasCompleted(FileLine("up.bin")); }, 30s));
    ASSERT_TRUE(server.WaitUntil([&](TTranser&) { return server.HasCompleted(FileLine("up.bin")); }, 30s));
    EXPECT_EQ(ResultOf(client, FileLine("up.bin")), trNoResponse);
    EXPECT_EQ(ResultOf(server, FileLine("up.bin")), trNoResponse);
    EXPECT_EQ(client.State(), tsClosed);
    EXPECT_EQ(server.State(), tsClosed);
    // 0.2 s doubling: a handful of attempts in 3 s, not one per tick.
    EXPECT_GE(proxy.Refused(), 2);
    EXPECT_LE(proxy.Refused(), 12);
}

}  // namespace
}  // namespace fwp::test
