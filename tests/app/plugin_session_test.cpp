// Two windows' logic, each on a thread of its own with its own copies of the
// test plug-ins, inviting each other and running plug-ins over loopback.
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "app/main_controller.h"
#include "common/codec.h"
#include "engine/poll_loop.h"
#include "tests/app/fakes.h"
#include "tests/app/peer_host.h"
#include "tests/support/raw_peer.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

using namespace std::chrono_literals;
using test::ReadAll;
using test::TSandbox;

const std::string Test = codec::Utf8ToCp932("テスト");  // the test plug-in's function name

// One window: a controller on its own thread, with plug-ins copied into a folder of its own.
class THost : public test::TPeerHost {
public:
    THost(const TSandbox& box, const std::string& name, std::initializer_list<const char*> plugins)
        : TPeerHost(box, name, {plugins.begin(), plugins.end()}, std::make_unique<TRecordingView>(),
                    std::make_unique<TScriptedDialogs>()) {}
    // Polls done from the test's thread; it reaches the host through Call.
    bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
};

void Connect(THost& server, THost& client) {
    int port = 0;
    {
        test::TRawPeer probe;
        port = probe.Listen();
    }
    auto waited = std::async(std::launch::async, [&] {
        return server.Call(
            [&](TMainController& c) { return c.StartServer(std::to_string(port), false, ""); });
    });
    bool connected = false;
    for (int attempt = 0; attempt < 200 && !connected; ++attempt) {
        connected = client.Call([&](TMainController& c) {
            // Quietly: the first attempts may come before the server listens.
            c.Transer().CloseSocket();
            return c.Transer().Connect("127.0.0.1", port);
        });
        if (!connected)
            std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(connected);
    client.Call([](TMainController& c) {
        c.Transer().Start();
        return 0;
    });
    ASSERT_TRUE(waited.get());
}

struct PluginSession : ::testing::Test {
    TSandbox box;
};

TEST_F(PluginSession, AcceptedInvitationStartsThePluginOnBothSides) {
    THost a(box, "a", {FWP_TEST_FULL});
    THost b(box, "b", {FWP_TEST_FULL});
    Connect(a, b);
    a.Call([](TMainController& c) {
        c.InvitePlugin(0);
        return 0;
    });
    ASSERT_TRUE(a.WaitUntil([&] { return a.HasRow("テストの実行を招待しています。"); }));
    ASSERT_TRUE(b.WaitUntil([&] { return b.HasRow("テストの実行を承諾しますか？"); }));
    const int asked = b.RowOf("テストの実行を承諾しますか？");
    EXPECT_TRUE(b.Call([&](TMainController& c) { return c.Rows().DataAt(asked)->Menu; }));
    b.Call([&](TMainController& c) {
        c.AnswerOffer(asked, true);
        return 0;
    });
    ASSERT_TRUE(a.WaitUntil([&] { return a.HasRow("テストを実行しました。"); }));
    ASSERT_TRUE(b.WaitUntil([&] { return b.HasRow("テストを実行しました。"); }));
    EXPECT_EQ(a.Plugin<int (*)()>(0, "TestInitialized"), 1);
    EXPECT_EQ(b.Plugin<int (*)()>(0, "TestInitialized"), 1);

    // Running already: a second invitation is refused on this side and sends nothing.
    a.Call([](TMainController& c) {
        c.InvitePlugin(0);
        return 0;
    });
    EXPECT_TRUE(a.HasRow("テストはすでに実行されています。"));

    // A buffer goes to the peer's copy; both are told, with the bytes.
    b.Plugin<void (*)(std::int32_t)>(0, "TestSetReceiveBufferResult", 0);
    EXPECT_NE((a.Plugin<std::int32_t (*)(const void*, std::int32_t)>(0, "TestSendBuffer", "hello", 5)), 0);
    ASSERT_TRUE(b.WaitUntil([&] { return b.Log().find("OnComplete 1 5 data") != std::string::npos; }));
    ASSERT_TRUE(a.WaitUntil([&] { return a.Log().find("OnComplete 0 5 data") != std::string::npos; }));
    unsigned char bytes[16] = {};
    EXPECT_EQ((b.Plugin<std::int64_t (*)(unsigned char*)>(0, "TestLastData", bytes)), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 5), "hello");
    EXPECT_NE(b.Log().find("OnReceiveBuffer 5"), std::string::npos);

    // A file goes where the receiving plug-in says.
    const auto target = box.Path("plugin-target.bin");
    b.Plugin<void (*)(const char*)>(0, "TestSetSavePath", target.c_str());
    const auto file = box.WriteRandomFile("out/p.bin", 50'000, 3);
    EXPECT_NE((a.Plugin<std::int32_t (*)(const char*)>(0, "TestSendFile", file.c_str())), 0);
    ASSERT_TRUE(b.WaitUntil([&] { return b.Log().find("OnComplete 1 50000 nodata") != std::string::npos; }));
    ASSERT_TRUE(a.WaitUntil([&] { return a.Log().find("OnComplete 0 50000 nodata") != std::string::npos; }));
    EXPECT_NE(b.Log().find("OnReceiveFile p.bin 50000"), std::string::npos);
    EXPECT_EQ(ReadAll(target), ReadAll(file));
    EXPECT_EQ((a.Plugin<std::int32_t (*)(const char*)>(0, "TestSendFile", "/no/such/file")), 0);

    // The receiving plug-in stops a file: both sides abort it.
    b.Plugin<void (*)(int)>(0, "TestSetStopAfter", 1);
    const auto big = box.WriteRandomFile("out/q.bin", 2'000'000, 4);
    a.Call([](TMainController& c) {
        c.Transer().BufSize = 4096;
        return 0;
    });
    a.Plugin<std::int32_t (*)(const char*)>(0, "TestSendFile", big.c_str());
    ASSERT_TRUE(a.WaitUntil([&] {
        for (const auto& row : a.Contents())
            if (row.starts_with("q.bin") && row.ends_with("のファイルの転送終了"))
                return true;
        return false;
    }));
    EXPECT_NE(b.Log().find("Stop"), std::string::npos);
}

TEST_F(PluginSession, DeniedCancelledAndAutomaticInvitations) {
    THost a(box, "a", {FWP_TEST_FULL});
    THost b(box, "b", {FWP_TEST_FULL});
    Connect(a, b);
    auto invite = [&] {
        a.Call([](TMainController& c) {
            c.InvitePlugin(0);
            return 0;
        });
    };
    // Denied by the invited user.
    invite();
    ASSERT_TRUE(b.WaitUntil([&] { return b.HasRow("テストの実行を承諾しますか？"); }));
    const int asked = b.RowOf("テストの実行を承諾しますか？");
    b.Call([&](TMainController& c) {
        c.AnswerOffer(asked, false);
        return 0;
    });
    ASSERT_TRUE(a.WaitUntil([&] { return a.HasRow("相手はテストの実行をキャンセルしました"); }));
    ASSERT_TRUE(b.WaitUntil([&] { return b.HasRow("テストの実行をキャンセルしました"); }));
    const int cancelled = a.RowOf("相手はテストの実行をキャンセルしました");
    EXPECT_EQ(
        a.Call([&](TMainController& c) { return c.Rows().Row(static_cast<std::size_t>(cancelled)).Image; }),
        riError);

    // Cancelled by the inviter.
    invite();
    ASSERT_TRUE(a.WaitUntil([&] { return a.HasRow("テストの実行を招待しています。"); }));
    ASSERT_TRUE(b.WaitUntil([&] { return b.HasRow("テストの実行を承諾しますか？"); }));
    const int inviting = a.RowOf("テストの実行を招待しています。");
    a.Call([&](TMainController& c) {
        c.CancelRow(inviting);
        return 0;
    });
    ASSERT_TRUE(b.WaitUntil([&] {
        const auto rows = b.Contents();
        return std::count(rows.begin(), rows.end(), "相手はテストの実行をキャンセルしました") == 1;
    }));
    ASSERT_TRUE(a.WaitUntil([&] {
        const auto rows = a.Contents();
        return std::count(rows.begin(), rows.end(), "テストの実行をキャンセルしました") == 1;
    }));

    // Accepted without asking.
    b.Call([](TMainController& c) {
        c.Config().AutoInviteAllowing = true;
        return 0;
    });
    invite();
    ASSERT_TRUE(a.WaitUntil([&] { return a.HasRow("テストを実行しました。"); }));
    ASSERT_TRUE(b.WaitUntil([&] { return b.HasRow("テストを実行しました。"); }));
}

TEST_F(PluginSession, OtherVersionsAndMissingPluginsAreAnsweredWithoutStarting) {
    {
        THost a(box, "a", {FWP_TEST_FULL});
        THost b(box, "b", {FWP_TEST_FULL_V100});  // "1.00" is not "1.0"
        Connect(a, b);
        a.Call([](TMainController& c) {
            c.InvitePlugin(0);
            return 0;
        });
        ASSERT_TRUE(b.WaitUntil([&] { return b.HasRow("テストのバージョンが相手と違います。"); }));
        ASSERT_TRUE(a.WaitUntil([&] { return a.HasRow("テストのバージョンが相手と違います。"); }));
        EXPECT_FALSE(a.HasRow("テストの実行を招待しています。"));
        EXPECT_EQ(a.Plugin<int (*)()>(0, "TestInitialized"), 0);
        EXPECT_EQ(b.Plugin<int (*)()>(0, "TestInitialized"), 0);
    }
    TSandbox other;
    THost a(other, "a", {FWP_TEST_FULL});
    THost b(other, "b", {FWP_TEST_MINIMAL});
    Connect(a, b);
    a.Call([](TMainController& c) {
        c.InvitePlugin(0);
        return 0;
    });
    ASSERT_TRUE(b.WaitUntil([&] { return b.HasRow("TestPluginのプラグインがインストールされていません"); }));
    ASSERT_TRUE(
        a.WaitUntil([&] { return a.HasRow("相手にテストのプラグインがインストールされていません"); }));
    // A buffer for a plug-in without OnReceiveBuffer is refused.
    a.Call([](TMainController& c) {
        c.Transer().Tasks().AddSendTask("Minimal", std::make_unique<TMemoryStream>("x")).Priority = true;
        return 0;
    });
    ASSERT_TRUE(a.WaitUntil(
        [&] { return a.Call([](TMainController& c) { return c.Transer().Tasks().Count() == 0; }); }));
}

TEST_F(PluginSession, ShutdownTerminatesEveryPluginAlsoOneNeverInvited) {
    THost a(box, "a", {FWP_TEST_FULL});
    a.Call([](TMainController& c) {
        c.Shutdown();
        return 0;
    });
    EXPECT_EQ(a.Plugin<int (*)()>(0, "TestTerminated"), 1);
    EXPECT_EQ(a.Call([](TMainController& c) { return c.Plugins().Count(); }), 0u);
}

}  // namespace
}  // namespace fwp
