// The engine's message loop on Qt's: timers, watched descriptors, errors,
// and the engine itself driven by it against a real peer.
#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "app/transfer_actions.h"
#include "common/error.h"
#include "engine/transer.h"
#include "tests/support/peer.h"
#include "tests/support/sandbox.h"
#include "ui/qt_event_loop.h"

namespace fwp::test {
namespace {

struct TPipe {
    TPipe() {
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error("pipe failed");
    }
    ~TPipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void Write(std::string_view bytes) const {
        ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    bool ReadOne() const {
        char c = 0;
        return ::read(fds[0], &c, 1) == 1;
    }
    int fds[2];
};

TEST(QtEventLoop, TimersFireUntilKilledAlsoFromTheirOwnCallbackAndAnIdInUseIsRefused) {
    TQtEventLoop loop;
    int first = 0;
    int second = 0;
    int once = 0;
    ASSERT_TRUE(loop.SetTimer(1, 5ms, [&] { ++first; }));
    EXPECT_FALSE(loop.SetTimer(1, 5ms, [&] { ADD_FAILURE() << "a second timer with the same id ran"; }));
    ASSERT_TRUE(loop.SetTimer(3, 1ms, [&] {
        ++once;
        loop.KillTimer(3);
    }));
    ASSERT_TRUE(loop.RunUntil([&] { return first >= 3; }, 10s));
    loop.KillTimer(1);
    const int stopped = first;
    ASSERT_TRUE(loop.SetTimer(2, 5ms, [&] { ++second; }));
    ASSERT_TRUE(loop.RunUntil([&] { return second >= 5; }, 10s));
    EXPECT_EQ(first, stopped);
    EXPECT_EQ(once, 1);
    // The id is free again.
    EXPECT_TRUE(loop.SetTimer(1, 5ms, [] {}));
}

// The engine's tick turns the loop while it waits and counts on a nested
// tick to run; Qt itself never re-enters a timer's callback.
TEST(QtEventLoop, ATimerFiresAgainWhileItsCallbackTurnsTheLoop) {
    TQtEventLoop loop;
    int depth = 0;
    int nested = 0;
    bool outerDone = false;
    loop.SetTimer(1, 2ms, [&] {
        ++depth;
        if (depth > 1) {
            ++nested;
        } else if (!outerDone) {
            const std::uint64_t end = loop.TickCount() + 10000;
            while (nested == 0 && loop.TickCount() < end)
                loop.WaitMessages(5ms);
            outerDone = true;
        }
        --depth;
    });
    ASSERT_TRUE(loop.RunUntil([&] { return outerDone; }, 20s));
    EXPECT_GE(nested, 1);
}

TEST(QtEventLoop, AWatchIsCalledWhileDataWaitsButNeverInsideItselfAndMayEndItself) {
    TQtEventLoop loop;
    TPipe pipe;
    int calls = 0;
    int depth = 0;
    int deepest = 0;
    loop.WatchRead(pipe.fds[0], [&] {
        ++calls;
        deepest = std::max(deepest, ++depth);
        // Turning the loop with the byte still unread must not call back in here.
        loop.ProcessMessages();
        pipe.ReadOne();
        --depth;
    });
    pipe.Write("ab");
    ASSERT_TRUE(loop.RunUntil([&] { return calls >= 2; }, 10s));
    EXPECT_EQ(deepest, 1);
    EXPECT_FALSE(pipe.ReadOne()) << "both bytes were read by the callback";

    // Watched anew, the callback ends the watch at the first call though data still waits.
    int ticks = 0;
    loop.WatchRead(pipe.fds[0], [&] {
        ++calls;
        loop.Unwatch(pipe.fds[0]);
    });
    loop.SetTimer(1, 5ms, [&] { ++ticks; });
    pipe.Write("xyz");
    ASSERT_TRUE(loop.RunUntil([&] { return calls == 3 && ticks >= 5; }, 10s));
    EXPECT_EQ(calls, 3);
}

TEST(QtEventLoop, ErrorsEscapingCallbacksGoToOnErrorAndTheLoopGoesOn) {
    TQtEventLoop loop;
    std::vector<std::string> errors;
    loop.OnError = [&](const std::exception& error) { errors.emplace_back(error.what()); };
    int after = 0;
    loop.SetTimer(1, 1ms, [&] {
        loop.KillTimer(1);
        throw TError("不正な接続です。");
    });
    TPipe pipe;
    loop.WatchRead(pipe.fds[0], [&] {
        pipe.ReadOne();
        throw std::runtime_error("watch failed");
    });
    pipe.Write("x");
    loop.SetTimer(2, 5ms, [&] { ++after; });
    ASSERT_TRUE(loop.RunUntil([&] { return errors.size() == 2 && after >= 3; }, 10s));
    std::sort(errors.begin(), errors.end());
    EXPECT_EQ(errors, (std::vector<std::string>{"watch failed", "不正な接続です。"}));
}

// The engine on the Qt loop sends a file to a peer on its own thread. Its
// progress is reported inside its tick; suspending there makes the engine
// wait for its tick to end, which only a nested tick can report.
TEST(QtEventLoop, TheEngineRunsOnItAndMaySuspendInsideItsOwnTick) {
    TSandbox box;
    const auto file = box.WriteRandomFile("a.bin", 300'000);
    TPeer peer("receiver");
    peer.ReceiveFolder = box.Folder("in");
    const int port = peer.Listen();
    auto accepted = peer.AcceptAndStart();

    TQtEventLoop loop;
    TTranser transer(loop);
    transer.BufSize = 4096;
    transer.MaxSendRate = 100'000;  // still running when the peer hears of the pause
    bool suspended = false;
    transer.OnTransferingProgress = [&](TTranserTask& task, std::int64_t, std::int64_t, std::int64_t,
                                        bool& continueTask) {
        continueTask = true;
        if (!suspended && task.Direction == tdSend) {
            suspended = true;
            transer.SuspendTask(task);
        }
    };
    int completed = 0;
    transer.OnTransferComplete = [&](TTranserTask& task) {
        if (task.ResultCode == trComplete)
            ++completed;
    };
    ASSERT_TRUE(transer.Connect("127.0.0.1", port));
    ASSERT_TRUE(accepted.get());
    transer.Start();
    const TOfferResult offer = OfferFile(transer, file);
    ASSERT_NE(offer.Task, nullptr);
    TTranserTask* task = offer.Task;
    ASSERT_TRUE(loop.RunUntil([&] { return suspended; }, 20s));
    EXPECT_EQ(task->State, ttsSuspended);
    ASSERT_TRUE(loop.RunUntil([&] { return peer.Suspends() > 0; }, 20s));
    transer.ResumeTask(*task);
    ASSERT_TRUE(loop.RunUntil([&] { return completed == 1; }, 30s));
    EXPECT_EQ(ReadAll(box.Path("in/a.bin")), ReadAll(file));
    transer.Close();
}

}  // namespace
}  // namespace fwp::test
