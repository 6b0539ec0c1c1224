// Unattended starts against a real easy connection service on loopback and a
// real peer engine; the messenger played by a test implementation.
#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include "app/messenger.h"
#include "app/settings_form.h"
#include "app/version_check.h"
#include "tests/app/fakes.h"
#include "tests/connect/easy_service_fixture.h"
#include "tests/connect/http_server.h"
#include "tests/support/loopback.h"
#include "tests/support/raw_peer.h"

namespace fwp {
namespace {

// A messenger that answers as the test says and remembers the calls.
class TTestMessenger final : public TMessenger {
public:
    bool Available() override { return Present; }
    TMessengerSession SessionForProcess(std::uint32_t) override {
        if (!Session)
            throw TMessengerError("no session");
        return *Session;
    }
    void RegisterApplication(std::string_view id, std::string_view name, std::string_view,
                             std::string_view command, std::uint32_t flags) override {
        Calls.push_back("register " + std::string(id) + " " + std::string(name) + " " + std::string(command) +
                        " " + std::to_string(flags));
    }
    void UnregisterApplication(std::string_view id) override {
        Calls.push_back("unregister " + std::string(id));
        if (FailRemoval)
            throw TMessengerError("not registered");
    }
    std::string LocalSignInName() override { return "me@example.invalid"; }
    bool Present = true;
    bool FailRemoval = false;
    std::optional<TMessengerSession> Session;
    std::vector<std::string> Calls;
};

class CommandLine : public Controller {
protected:
    CommandLine() {
        service.SetReply("open", 200, "200 OK");
        service.SetReply("close", 200, "200 OK");
        controller->EasyService().SetServiceURL(service.URL());
        controller->LookupPacing().Interval = 10ms;
        auto owned = std::make_unique<TTestMessenger>();
        messenger = owned.get();
        controller->SetMessenger(std::move(owned));
    }
    std::vector<std::string> Queries() {
        std::vector<std::string> queries;
        for (const auto& request : service.Requests())
            queries.push_back(request.Target.substr(request.Target.find('?')));
        return queries;
    }
    // Cancels the wait a little later, as the user's "キャンセル" would.
    void CancelSoon() {
        loop.SetTimer(77, 100ms, [this] {
            loop.KillTimer(77);
            controller->CancelWait();
        });
    }
    std::vector<std::string> BoxTexts() {
        std::vector<std::string> texts;
        for (const auto& shown : dialogs.Boxes)
            texts.push_back(shown.Text);
        return texts;
    }
    test::TFakeEasyService service;
    TTestMessenger* messenger = nullptr;
};

TEST_F(CommandLine, ServerStartRegistersWaitsAndACancelEndsTheProgram) {
    config.Port = test::FreePort();
    CancelSoon();
    EXPECT_FALSE(controller->ProcessCommandLine({"/server"}));
    EXPECT_TRUE(controller->TerminateRequested());
    EXPECT_EQ(view.WaitMessages.back(), "相手の接続を待っています...");
    controller->EndProgram();
    // The empty name is registered like any other (and, being empty, is not
    // the run's registration to remove at the end).
    EXPECT_EQ(Queries(),
              std::vector<std::string>{"?mode=open&user=&port=" + std::to_string(config.Port) + "&ip="});
    CancelSoon();
    EXPECT_FALSE(controller->ProcessCommandLine({"/server", "bob"}));
    controller->EndProgram();
    EXPECT_EQ(Queries().back(), "?mode=close&user=bob");
}

TEST_F(CommandLine, TheWaitingPageSaysWhetherOutsidersReachThePort) {
    const struct {
        const char* reply;
        const char* shown;  // the last line of the waiting page
    } cases[] = {
        {"200 OK\r\nreachable = yes\r\n", "外部から接続できます"},
        {"200 OK\r\nreachable = no\r\n", "外部から接続できません (ルーターの設定を確認してください)"},
        {"200 OK\r\n", "クライアントの接続を待っています..."},  // a service without the check
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        service.SetReply("probe", 200, c.reply);
        const int port = test::FreePort();
        // Cancels once the answer shows, or after the check's own limit.
        int ticks = 0;
        loop.SetTimer(78, 20ms, [&] {
            const bool probed = Queries().back().starts_with("?mode=probe");
            if ((probed && view.WaitMessages.back().ends_with(c.shown) && ++ticks > 5) || ++ticks > 500) {
                loop.KillTimer(78);
                controller->CancelWait();
            }
        });
        EXPECT_FALSE(controller->StartServer(std::to_string(port), true, "alice"));
        EXPECT_TRUE(view.WaitMessages.back().ends_with(c.shown)) << view.WaitMessages.back();
        EXPECT_EQ(Queries().back(), "?mode=probe&port=" + std::to_string(port));
    }
}

TEST_F(CommandLine, AServerStartCanBeCancelledWhileTheServiceIsSilent) {
    test::TRawPeer silentService;  // takes the request and never answers
    const int servicePort = silentService.Listen();
    controller->EasyService().SetServiceURL("http://127.0.0.1:" + std::to_string(servicePort) + "/easy.cgi");
    CancelSoon();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(controller->StartServer(std::to_string(test::FreePort()), true, "alice"));
    // Well before any time-out of the request itself.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(view.WaitMessages.back(), "簡単接続サービスに登録中...");
}

TEST_F(CommandLine, ClientStartLooksTheNameUpAndConnects) {
    const int port = peer.Listen();
    auto accepted = peer.AcceptAndStart();
    service.SetReply("get", 200, "ip = 127.0.0.1\r\nport = " + std::to_string(port) + "\r\n");
    EXPECT_TRUE(controller->ProcessCommandLine({"--client", "alice"}));
    EXPECT_TRUE(accepted.get());
    EXPECT_EQ(controller->Mode(), TWindowMode::mdConnected);
    EXPECT_EQ(view.WaitMessages.back(), "127.0.0.1:" + std::to_string(port) + " へ接続しています...");
}

TEST_F(CommandLine, UnattendedFailuresEndTheProgramAfterTheirBoxes) {
    // Nobody registered: five lookups, then the box.
    service.SetReply("get", 200, "");
    EXPECT_FALSE(controller->ProcessCommandLine({"/client"}));
    EXPECT_EQ(Queries().size(), 5u);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"相手の接続先が見つかりませんでした。"});

    // Found, but nothing answers there.
    dialogs.Boxes.clear();
    service.SetReply("get", 200, "ip = 127.0.0.1\r\nport = " + std::to_string(test::FreePort()) + "\r\n");
    EXPECT_FALSE(controller->ProcessCommandLine({"/client", "bob"}));
    EXPECT_EQ(BoxTexts(),
              (std::vector<std::string>{"接続に失敗しました。", "セッションを確立できませんでした。"}));

    // The name is taken.
    dialogs.Boxes.clear();
    service.SetReply("open", 200, "409 taken");
    EXPECT_FALSE(controller->ProcessCommandLine({"/server", "bob"}));
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"簡単接続サービスの登録に失敗しました。"});
    EXPECT_EQ(dialogs.Boxes[0].Title, "失敗");
}

TEST_F(CommandLine, OtherArgumentsLeaveTheStartPanelWithoutTheWelcome) {
    config.FirstRunning = true;
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"/SERVER", "x"}, {"hello"}, {"/session"}}) {
        messenger->Present = false;  // "/session" without a messenger does nothing either
        EXPECT_TRUE(controller->ProcessCommandLine(args));
    }
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_TRUE(service.Requests().empty());
    EXPECT_TRUE(controller->ProcessCommandLine({}));
    EXPECT_EQ(BoxTexts(),
              std::vector<std::string>{"ようこそ。まずは「設定」を行いチューニングをしましょう！"});
}

TEST_F(CommandLine, MessengerSessionDecidesTheSideByTheLowFourBitsOfItsFlag) {
    for (const std::uint32_t flags : {1u, 17u}) {
        SCOPED_TRACE(flags);
        messenger->Session = TMessengerSession{"192.0.2.9", flags, "friend@example.invalid"};
        config.MsgrUseEasyConnection = true;
        config.Port = test::FreePort();
        CancelSoon();
        EXPECT_FALSE(controller->ProcessCommandLine({"/session"}));
        EXPECT_EQ(view.WaitMessages.back(), "friend@example.invalid の接続を待っています...");
        EXPECT_EQ(Queries().back(),
                  "?mode=open&user=me@example.invalid&port=" + std::to_string(config.Port) + "&ip=");
    }
    messenger->Session = TMessengerSession{"192.0.2.9", 3, "friend@example.invalid"};
    EXPECT_FALSE(controller->ProcessCommandLine({"/session"}));
    EXPECT_EQ(dialogs.Boxes.back().Text, "不正なセッションフラグです。3");
}

TEST_F(CommandLine, ConnectingSessionUsesTheServiceOrTheSessionsAddress) {
    const int port = peer.Listen();
    // With the service: the looked-up address.
    auto accepted = peer.AcceptAndStart();
    messenger->Session = TMessengerSession{"192.0.2.9", 2, "friend@example.invalid"};
    config.MsgrUseEasyConnection = true;
    service.SetReply("get", 200, "ip = 127.0.0.1\r\nport = " + std::to_string(port) + "\r\n");
    EXPECT_TRUE(controller->ProcessCommandLine({"/session"}));
    EXPECT_TRUE(accepted.get());
    EXPECT_EQ(Queries().back(), "?mode=get&user=friend@example.invalid");
    EXPECT_EQ(view.WaitMessages.back(), "friend@example.invalid(127.0.0.1) へ接続しています...");
    controller->Transer().CloseSocket();
    peer.Call([](TTranser& t) {
        t.CloseSocket();
        return 0;
    });
    ASSERT_TRUE(peer.WaitUntil([](TTranser& t) { return t.State() == tsClosed; }));
    // Without it: straight to the session's address on the Port setting.
    const int again = peer.Listen();
    accepted = peer.AcceptAndStart();
    config.MsgrUseEasyConnection = false;
    config.Port = again;
    messenger->Session = TMessengerSession{"127.0.0.1", 2, "friend@example.invalid"};
    const std::size_t before = service.Requests().size();
    EXPECT_TRUE(controller->ProcessCommandLine({"/session"}));
    EXPECT_TRUE(accepted.get());
    EXPECT_EQ(service.Requests().size(), before);
}

TEST_F(CommandLine, MessengerRegistrationChecksThePathAndReportsEveryOutcome) {
    controller->RegisterWithMessenger("/opt/my apps/fernwaypost");
    ASSERT_EQ(messenger->Calls.size(), 2u);
    EXPECT_EQ(messenger->Calls[0], "unregister {6F1C2A4E-8B3D-4C57-9E21-3A7D5B9C0F14}");
    EXPECT_EQ(messenger->Calls[1],
              "register {6F1C2A4E-8B3D-4C57-9E21-3A7D5B9C0F14} Fernwaypost \"/opt/my apps/fernwaypost\" "
              "/session 0");
    EXPECT_EQ(dialogs.Boxes.back().Text, "メッセンジャーにアプリケーションを登録しました。");
    EXPECT_EQ(dialogs.Boxes.back().Title, "完了");

    messenger->Calls.clear();
    controller->RegisterWithMessenger("/home/user/\xE3\x83\x84/fernwaypost");
    EXPECT_TRUE(messenger->Calls.empty());
    EXPECT_EQ(dialogs.Boxes.back().Text, "パスに日本語が含まれているので登録できません。");
    EXPECT_EQ(dialogs.Boxes.back().Title, "警告");

    messenger->FailRemoval = true;
    controller->UnregisterFromMessenger();
    EXPECT_EQ(dialogs.Boxes.back().Text,
              "アプリケーションの登録の削除に失敗したか、既に登録状態ではありません。");

    controller->SetMessenger(MakeNoMessenger());
    controller->RegisterWithMessenger("/usr/bin/fernwaypost");
    EXPECT_EQ(dialogs.Boxes.back().Text, "メッセンジャーを検出できません。");
    controller->UnregisterFromMessenger();
    EXPECT_EQ(dialogs.Boxes.back().Text, "メッセンジャーを検出できません。");
    EXPECT_FALSE(controller->FindLaunchingSession());
}

// The version file on a server of the test's own, with the Last-Modified it says.
class VersionCheck : public Controller {
protected:
    VersionCheck() {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        server.Server().Get("/history.txt", [this](const httplib::Request&, httplib::Response& response) {
            response.set_header("Last-Modified", lastModified);
            response.set_content("history", "text/plain");
        });
    }
    ~VersionCheck() override {
        ::unsetenv("TZ");
        ::tzset();
    }
    // An executable written at this UTC time.
    std::filesystem::path Executable(int year, int month, int day, int hour) {
        const auto path = box.WriteFile("fernwaypost", "x");
        test::SetFileTimeUtc(path, year, month, day, hour);
        return path;
    }
    std::string Url() const { return server.URL("/history.txt"); }
    test::TLoopbackHttpServer server;
    std::string lastModified;
};

TEST_F(VersionCheck, OnlyALaterJapaneseDayCountsAsNewer) {
    const struct {
        const char* lastModified;
        int built[4];
        const char* box;
    } cases[] = {
        {"Mon, 31 Aug 2026 10:00:00 GMT",
         {2026, 8, 31, 12},
         "現在新しいバージョンはリリースされていません。"},
        {"Mon, 31 Aug 2026 20:00:00 GMT",
         {2026, 8, 31, 23},
         "新しいバージョンがリリースされています。ホームページを表示しますか？"},
        {"Tue, 01 Sep 2026 00:00:00 GMT",
         {2026, 8, 31, 12},
         "新しいバージョンがリリースされています。ホームページを表示しますか？"},
        {"Mon, 31 Aug 2026 10:00:00 GMT", {2026, 9, 1, 0}, "現在新しいバージョンはリリースされていません。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lastModified);
        lastModified = c.lastModified;
        dialogs.Boxes.clear();
        controller->CheckForNewVersion(Executable(c.built[0], c.built[1], c.built[2], c.built[3]), Url());
        ASSERT_EQ(dialogs.Boxes.size(), 1u);
        EXPECT_EQ(dialogs.Boxes[0].Text, c.box);
        EXPECT_EQ(dialogs.Boxes[0].Title, "確認");
    }
}

TEST(VersionPanel, WanderingIconDriftsUpAndLeftAndComesBackAtTheEdges) {
    EXPECT_EQ(WanderStep({100, 100}, 30, 32, 32, 400, 300).Left, 100);
    EXPECT_EQ(WanderStep({100, 100}, 30, 32, 32, 400, 300).Top, 90);
    EXPECT_EQ(WanderStep({100, 100}, 0, 32, 32, 400, 300).Left, 130);
    EXPECT_EQ(WanderStep({100, 100}, 99, 32, 32, 400, 300).Left, 31);
    // Past the top it re-enters at the bottom, past the left edge at the right.
    EXPECT_EQ(WanderStep({100, -22}, 30, 32, 32, 400, 300).Top, 300);
    EXPECT_EQ(WanderStep({100, -21}, 30, 32, 32, 400, 300).Top, -31);
    EXPECT_EQ(WanderStep({-10, 50}, 52, 32, 32, 400, 300).Left, 400);
    EXPECT_EQ(WanderStep({-10, 50}, 51, 32, 32, 400, 300).Left, -31);
}

TEST(SettingsForm, PresetShownFirstIsTheLargestNotAboveTheBufferSize) {
    EXPECT_EQ(InitialPresetIndex(20000), 7);
    EXPECT_EQ(BufferPresets[7].Bytes, 16384);
    EXPECT_EQ(InitialPresetIndex(32768), 9);
    EXPECT_EQ(InitialPresetIndex(32767), 9);
    EXPECT_EQ(InitialPresetIndex(1024), 0);
    EXPECT_EQ(InitialPresetIndex(500), -1);
    EXPECT_EQ(BufferPresets[9].Bytes, 32767);
    EXPECT_STREQ(BufferPresets[9].Caption, "8 Mbps 以上");
}

TEST(SettingsForm, NumberFieldsComeIntoTheirRange) {
    EXPECT_EQ(NumberFieldValue("50", MinBufferSize, MaxBufferSize), 128);
    EXPECT_EQ(NumberFieldValue("abc", MinBufferSize, MaxBufferSize), 128);
    EXPECT_EQ(NumberFieldValue("99999999999", MinBufferSize, MaxBufferSize), 2147483647);
    EXPECT_EQ(NumberFieldValue("4096", MinBufferSize, MaxBufferSize), 4096);
    EXPECT_EQ(NumberFieldValue("0", MinSendCount, MaxSendCount), 1);
    EXPECT_EQ(NumberFieldValue("65", MinSendCount, MaxSendCount), 64);
}

TEST_F(Controller, ClosingTheSettingsChecksTheFolderSavesAndChangesTheEngineAtOnce) {
    ConnectPeer();
    TSettingsForm form = FormFromConfig(config);
    form.AutoReceive = true;
    form.AutoResume = false;
    form.ReceiveTo = box.Path("missing").string();
    form.BufferSize = 4096;
    EXPECT_THROW(
        {
            try {
                CloseSettings(form, config, controller->Transer());
            } catch (const TError& error) {
                EXPECT_STREQ(error.what(), "受信ファイルの保存先が正しくありません");
                throw;
            }
        },
        TError);
    EXPECT_TRUE(config.AutoReceive);  // taken over before the check
    EXPECT_FALSE(config.AutoResume);
    EXPECT_NE(config.BufferSize, 4096);  // nothing after it
    for (const std::string suffix : {"", "/", "//"}) {
        form.ReceiveTo = box.Folder("target").string() + suffix;
        form.PacketType = 2;
        form.MaxSendCount = 5;
        CloseSettings(form, config, controller->Transer());
        EXPECT_EQ(config.ReceiveTo, box.Folder("target").string() + "/");
    }
    EXPECT_EQ(controller->Transer().PacketType, ptCrypt);
    EXPECT_EQ(controller->Transer().BufSize, 4096);
    EXPECT_EQ(controller->Transer().MaxSendingCount, 5);
    TConfig saved(box.Path("config.ini"));
    saved.Load();
    EXPECT_EQ(saved.BufferSize, 4096);
    EXPECT_EQ(saved.ReceiveTo, box.Folder("target").string() + "/");
}

}  // namespace
}  // namespace fwp
