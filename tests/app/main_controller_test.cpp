// The window's logic with a view and dialogs of the test's own, against a
// real engine on the other end of a loopback connection.
#include "app/main_controller.h"

#include <atomic>
#include <deque>
#include <map>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "app/partial_record.h"
#include "app/transfer_actions.h"
#include "common/codec.h"
#include "engine/poll_loop.h"
#include "tests/support/loopback.h"
#include "tests/support/peer.h"
#include "tests/support/raw_peer.h"
#include "tests/support/sandbox.h"
#include "tests/app/fakes.h"

namespace fwp {
namespace {

using namespace std::chrono_literals;
using test::ReadAll;
using test::TSandbox;

TEST_F(Controller, ServerStartRefusesPortsBelowOne) {
    for (const char* port : {"abc", "0", "-5", ""}) {
        SCOPED_TRACE(port);
        dialogs.Boxes.clear();
        EXPECT_FALSE(controller->StartServer(port, false, ""));
        ASSERT_EQ(dialogs.Boxes.size(), 1u);
        EXPECT_EQ(dialogs.Boxes[0].Text, "正しいポート番号を指定してください。");
        EXPECT_EQ(dialogs.Boxes[0].Title, "注意");
        EXPECT_EQ(dialogs.Boxes[0].Icon, TBoxIcon::biWarning);
        EXPECT_TRUE(view.WaitMessages.empty());
        EXPECT_EQ(controller->Mode(), TWindowMode::mdStart);
    }
}

TEST_F(Controller, ClientStartChecksItsPortFields) {
    const struct {
        const char* port;
        const char* message;
    } cases[] = {
        {"0", "正しいポート番号を指定してください。"},
        {"x", "正しいポート番号を指定してください。"},
        {"-1", "ポート番号を指定してください。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        dialogs.Boxes.clear();
        EXPECT_FALSE(controller->StartClient(false, "", "127.0.0.1", c.port));
        ASSERT_EQ(dialogs.Boxes.size(), 1u);
        EXPECT_EQ(dialogs.Boxes[0].Text, c.message);
        EXPECT_EQ(dialogs.Boxes[0].Title, "注意");
    }
}

TEST_F(Controller, ElevenClientStartsKeepTheTenMostRecentAddresses) {
    test::TPeer server("server");
    config.DirectConnectTo = {"localhost"};
    for (int i = 1; i <= 11; ++i) {
        const int port = server.Listen();
        auto accepted = server.AcceptAndStart();
        const std::string address = "127.0.0." + std::to_string(i);
        ASSERT_TRUE(controller->StartClient(false, "", address, std::to_string(port))) << address;
        ASSERT_TRUE(accepted.get());
        controller->Transer().CloseSocket();
        server.Call([](TTranser& t) {
            t.CloseSocket();
            return 0;
        });
        // Its engine notices the lost connection at its next tick and closes;
        // only then may it listen anew.
        ASSERT_TRUE(server.WaitUntil([](TTranser& t) { return t.State() == tsClosed; }));
    }
    TConfig saved(box.Path("config.ini"));
    saved.Load();
    ASSERT_EQ(saved.DirectConnectTo.size(), 10u);
    EXPECT_EQ(saved.DirectConnectTo.front(), "127.0.0.11");
    EXPECT_EQ(saved.DirectConnectTo.back(), "127.0.0.2");
}

TEST_F(Controller, ClientConnectsToAnIPv6AddressAndKeepsItInTheRecentList) {
    if (!test::LoopbackHasIPv6())
        GTEST_SKIP() << "no IPv6 loopback here";
    test::TPeer server("server");
    for (const char* typed : {" ::1 ", "[::1]"}) {
        SCOPED_TRACE(typed);
        const int port = server.Listen();
        auto accepted = server.AcceptAndStart();
        ASSERT_TRUE(controller->StartClient(false, "", typed, std::to_string(port)));
        ASSERT_TRUE(accepted.get());
        EXPECT_EQ(server.Call([](TTranser& t) { return t.RemoteHost(); }), "::1");
        controller->Transer().CloseSocket();
        server.Call([](TTranser& t) {
            t.CloseSocket();
            return 0;
        });
        ASSERT_TRUE(server.WaitUntil([](TTranser& t) { return t.State() == tsClosed; }));
    }
    TConfig saved(box.Path("config.ini"));
    saved.Load();
    ASSERT_GE(saved.DirectConnectTo.size(), 2u);
    EXPECT_EQ(saved.DirectConnectTo[0], "[::1]");
    EXPECT_EQ(saved.DirectConnectTo[1], "::1");
}

TEST_F(Controller, FileRowsGoThroughEveryPhaseOnBothAnswers) {
    ConnectPeer();
    EXPECT_EQ(RowText(LastRow()), "Fernwaypost Protocol Version 0.90");
    EXPECT_EQ(RowState(LastRow()), "接続確立");
    const auto file = box.WriteRandomFile("out/a.bin", 300'000, 1);
    peer.Offer(file);
    ASSERT_TRUE(RunUntil([&] { return FindRow("受信", "a.bin") >= 0; }));
    const int row = FindRow("受信", "a.bin");
    EXPECT_EQ(RowText(row), "a.bin(292.97 KB)のファイルを受信しますか？");
    EXPECT_TRUE(controller->Rows().DataAt(row)->Menu);
    const TSelectionState pending = SelectionFor(controller->Rows(), row);
    EXPECT_TRUE(pending.CancelEnabled);
    EXPECT_TRUE(pending.SuspendEnabled);
    EXPECT_FALSE(pending.Resume);

    dialogs.SavePaths.push_back(box.Path("chosen.bin"));
    controller->AnswerOffer(row, true);
    EXPECT_EQ(dialogs.SaveTitles.back(), "受信ファイルの保存 - a.bin");
    EXPECT_EQ(dialogs.Proposed.back(), "a.bin");
    EXPECT_FALSE(dialogs.OverwritePrompts.back());
    EXPECT_FALSE(controller->Rows().DataAt(row)->Menu);
    ASSERT_TRUE(RunUntil([&] { return RowState(row) == "転送完了"; }));
    EXPECT_EQ(RowText(row), "a.bin(292.97 KB)のファイルの転送終了");
    EXPECT_EQ(controller->Rows().DataAt(row), nullptr);
    EXPECT_FALSE(SelectionFor(controller->Rows(), row).CancelEnabled);
    EXPECT_EQ(ReadAll(box.Path("chosen.bin")), ReadAll(file));
    ASSERT_TRUE(RunUntil([&] { return PeerResult("a.bin") == trComplete; }));

    peer.Offer(box.WriteRandomFile("out/b.bin", 1000, 2));
    ASSERT_TRUE(RunUntil([&] { return FindRow("受信", "b.bin") >= 0; }));
    controller->AnswerOffer(FindRow("受信", "b.bin"), false);
    ASSERT_TRUE(RunUntil([&] { return PeerResult("b.bin") == trDenied; }));
    ASSERT_TRUE(RunUntil([&] { return RowState(FindRow("受信", "b.bin")) == "拒否"; }));

    // Own offers: waiting, accepted, sent.
    controller->OfferFile(box.WriteRandomFile("out/c.bin", 2048, 3));
    const int own = FindRow("送信", "c.bin");
    ASSERT_GE(own, 0);
    EXPECT_EQ(RowText(own), "c.bin(2 KB)のファイル転送の承諾待ち中");
    ASSERT_TRUE(RunUntil([&] { return RowState(own) == "転送完了"; }));
    controller->OfferFile(box.Path("missing.bin"));
    EXPECT_EQ(codec::Cp932ToUtf8(controller->Rows().Row(LastRow()).Caption), "ﾌｧｲﾙ送信");
    EXPECT_EQ(RowState(LastRow()), "ファイルオープンエラー");
}

TEST_F(Controller, AcceptAllAsksForOneFolderAndResumesAnExistingFile) {
    ConnectPeer();
    const auto first = box.WriteRandomFile("out/one.bin", 50'000, 1);
    const auto second = box.WriteRandomFile("out/two.bin", 60'000, 2);
    const auto third = box.WriteRandomFile("out/three.bin", 1000, 3);
    const auto folder = box.Folder("all");
    {
        // two.bin: the unfinished receive of this offer; three.bin: another file.
        const auto partial = OpenInFolder(folder, "two.bin", TFileOpenMode::fmCreate);
        partial->Write(ReadAll(second).data(), 20'000);
        ASSERT_TRUE(WritePartialRecord(*partial, 60'000, "FileTransfering:two.bin"));
    }
    box.WriteFile("all/three.bin", "someone else's");
    peer.Offer(first);
    peer.Offer(second);
    peer.Offer(third);
    ASSERT_TRUE(RunUntil([&] { return FindRow("受信", "three.bin") >= 0; }));
    dialogs.Folder = folder;
    dialogs.Answers.push_back(TBoxAnswer::baYes);  // resume two.bin
    dialogs.Answers.push_back(TBoxAnswer::baNo);   // replace three.bin
    controller->AcceptAll();
    EXPECT_EQ(dialogs.FolderTitles, std::vector<std::string>{"保存先を指定してください"});
    ASSERT_EQ(dialogs.Boxes.size(), 2u);
    EXPECT_EQ(dialogs.Boxes[0].Text,
              "ファイルは既に存在します。リジューム受信しますか？\r\ntwo.bin\r\n("
              "前回の受信が途中で終わったファイルです)");
    EXPECT_EQ(dialogs.Boxes[0].Title, "質問");
    EXPECT_EQ(dialogs.Boxes[1].Text,
              "ファイルは既に存在します。リジューム受信しますか？\r\nthree.bin\r\n("
              "このプログラムが受信途中のファイルではありません)");
    ASSERT_TRUE(RunUntil([&] {
        return PeerResult("one.bin") == 0 && PeerResult("two.bin") == 0 && PeerResult("three.bin") == 0;
    }));
    EXPECT_EQ(ReadAll(folder / "one.bin"), ReadAll(first));
    EXPECT_EQ(ReadAll(folder / "two.bin"), ReadAll(second));
    EXPECT_EQ(ReadAll(folder / "three.bin"), ReadAll(third));
    EXPECT_FALSE(PartialRecordMatches(folder / "two.bin", 60'000, "FileTransfering:two.bin"));
    // Nothing waits any more: a second click asks nothing.
    controller->AcceptAll();
    EXPECT_EQ(dialogs.FolderTitles.size(), 1u);
}

TEST_F(Controller, AutomaticReceiveKeepsAnotherFileAndStatesWhyItCannotReceive) {
    config.AutoReceive = true;
    ConnectPeer();
    box.WriteFile("in/photo.jpg", "someone else's");
    const auto photo = box.WriteRandomFile("out/photo.jpg", 5000, 1);
    peer.Offer(photo);
    ASSERT_TRUE(RunUntil([&] { return PeerResult("photo.jpg") == trComplete; }));
    EXPECT_EQ(ReadAll(box.Path("in/photo.jpg")), "someone else's");
    EXPECT_EQ(ReadAll(box.Path("in/photo (1).jpg")), ReadAll(photo));
    EXPECT_GE(FindRow("ファイル受信", "別の名前で保存: photo (1).jpg"), 0);

    config.ReceiveTo = box.Path("missing").string();
    peer.Offer(box.WriteRandomFile("out/x.bin", 10, 2));
    ASSERT_TRUE(RunUntil([&] { return PeerResult("x.bin") == trDenied; }));
    EXPECT_GE(FindRow("ファイル受信", box.Path("missing").string() + ": ファイルまたはフォルダがありません"),
              0);
}

TEST_F(Controller, AnAcceptedFileWaitingForASendingSlotSaysSo) {
    config.MaxSendCount = 1;
    config.MaxSendRate = 200'000;  // the first file is still on its way when the second is accepted
    ConnectPeer();
    controller->OfferFile(box.WriteRandomFile("out/a.bin", 1'000'000, 1));
    controller->OfferFile(box.WriteRandomFile("out/b.bin", 1'000'000, 2));
    const int first = FindRow("送信", "a.bin");
    const int second = FindRow("送信", "b.bin");
    ASSERT_TRUE(RunUntil([&] { return RowState(second) == "順番待ち"; }));
    EXPECT_NE(RowState(first), "順番待ち");
    // Once the first is through, the second moves.
    ASSERT_TRUE(RunUntil([&] { return RowState(second) != "順番待ち"; }, 30s));
}

TEST_F(Controller, AReceiveWhoseFileVanishesEndsWithItsReasonInTheRow) {
    config.AutoReceive = true;
    ConnectPeer();
    const auto file = box.WriteRandomFile("out/v.bin", 4'000'000, 1);
    const auto received = box.Path("in/v.bin");
    peer.Call([](TTranser& t) {
        t.MaxSendRate = 1'000'000;  // still arriving when the folder goes
        return 0;
    });
    peer.Offer(file);
    // The window's engine writes only while this loop runs: nothing more
    // arrives between the check and the removal.
    ASSERT_TRUE(RunUntil([&] {
        std::error_code ec;
        const auto size = std::filesystem::file_size(received, ec);
        return !ec && size > 0;
    }));
    ASSERT_LT(std::filesystem::file_size(received), 4'000'000u);
    std::filesystem::remove_all(box.Path("in"));
    const int row = FindRow("受信", "v.bin");
    ASSERT_TRUE(RunUntil([&] { return RowState(row) == "受信側エラー"; }));
    EXPECT_EQ(RowText(row),
              "v.bin(3.81 MB)のファイルの転送終了 (ファイルが保存先から削除または移動されました)");
}

TEST_F(Controller, CancellingAPendingOfferDeniesItAndMessagesShowOnBothSides) {
    ConnectPeer();
    peer.Offer(box.WriteRandomFile("out/x.bin", 100, 1));
    ASSERT_TRUE(RunUntil([&] { return FindRow("受信", "x.bin") >= 0; }));
    controller->CancelRow(FindRow("受信", "x.bin"));
    ASSERT_TRUE(RunUntil([&] { return PeerResult("x.bin") == trDenied; }));

    EXPECT_TRUE(controller->Say("こんにちは"));
    EXPECT_FALSE(controller->Say(""));
    peer.SendMessage(codec::Utf8ToCp932("> x"));
    ASSERT_TRUE(
        RunUntil([&] { return FindRow("IM送信", "こんにちは") >= 0 && FindRow("IM受信", "> > x") >= 0; }));
    ASSERT_TRUE(RunUntil([&] {
        for (const auto& completion : peer.Completions())
            if (completion.Direction == tdReceive && completion.Name == "InstantMessage:")
                return true;
        return false;
    }));
    for (const auto& completion : peer.Completions()) {
        if (completion.Direction == tdReceive && completion.Name == "InstantMessage:") {
            EXPECT_EQ(completion.Data, codec::Utf8ToCp932("こんにちは"));
        }
    }
}

TEST_F(Controller, LogHasItsHeaderAndOneLinePerRowInCp932) {
    controller->Rows().AddNoteRow(riMessage, codec::Utf8ToCp932("IM受信"), "> hi", "");
    controller->Rows().AddNoteRow(riConnected, codec::Utf8ToCp932("開始"),
                                  "Fernwaypost Protocol Version 0.90", codec::Utf8ToCp932("接続確立"));
    const auto path = box.Path("saved.log");
    dialogs.SavePaths.push_back(path);
    controller->SaveLog();
    EXPECT_TRUE(dialogs.OverwritePrompts.back());
    EXPECT_TRUE(dialogs.Proposed.back().ends_with(".log"));
    EXPECT_EQ(dialogs.Proposed.back().size(), 12u);  // yy-mm-dd.log
    const std::string bytes = ReadAll(path);
    const std::string expectedEnd =
        "comto:\r\n----\r\n"
        "IM\x8E\xF3\x90\x4D\t> hi\t\r\n"
        "\x8A\x4A\x8E\x6E\tFernwaypost Protocol Version 0.90\t\x90\xDA\x91\xB1\x8A\x6D\x97\xA7\r\n";
    EXPECT_TRUE(bytes.starts_with("Fernwaypost \x92\xCA\x90\x4D\x83\x8D\x83\x4F\r\ndate: ")) << bytes;
    EXPECT_TRUE(bytes.ends_with(expectedEnd)) << bytes;

    dialogs.SavePaths.push_back(box.Path("no-such-folder/x.log"));
    controller->SaveLog();
    EXPECT_EQ(dialogs.Boxes.back().Text, "ログファイルの保存に失敗しました。");
    EXPECT_EQ(dialogs.Boxes.back().Title, "出力エラー");
}

TEST_F(Controller, CloseIsRefusedWhileWaitingAndShutdownRunsOnce) {
    bool refused = false;
    loop.SetTimer(50, 50ms, [&] {
        loop.KillTimer(50);
        refused = !controller->CloseRequested();
        EXPECT_EQ(controller->Mode(), TWindowMode::mdWaiting);
        controller->CancelWait();
    });
    int port = 0;
    {
        test::TRawPeer probe;
        port = probe.Listen();
    }
    EXPECT_FALSE(controller->StartServer(std::to_string(port), false, ""));
    EXPECT_TRUE(refused);
    EXPECT_EQ(controller->Mode(), TWindowMode::mdStart);
    EXPECT_TRUE(controller->CloseRequested());
    EXPECT_TRUE(controller->CloseRequested());
    int closing = 0;
    for (std::size_t i = 0; i < controller->Rows().Count(); ++i)
        closing += RowText(static_cast<int>(i)) == "終了処理中...";
    EXPECT_EQ(closing, 1);
}

TEST_F(Controller, FirstRunWelcomesOnceAndOpensTheSettings) {
    config.FirstRunning = true;
    controller->ShowStartPanel();
    controller->ShowStartPanel();
    ASSERT_EQ(dialogs.Boxes.size(), 1u);
    EXPECT_EQ(dialogs.Boxes[0].Text, "ようこそ。まずは「設定」を行いチューニングをしましょう！");
    EXPECT_EQ(dialogs.Boxes[0].Title, "Fernwaypost");
    EXPECT_EQ(view.Settings, 1);
}

TEST(ErrorBox, FullStopIsAddedAfterCharactersThatSortAfterIt) {
    const std::pair<const char*, const char*> cases[] = {
        {"abc", "abc."}, {"abc.", "abc."}, {"x!", "x!"}, {"不正な接続です。", "不正な接続です。."}, {"", ""},
    };
    for (const auto& [message, text] : cases)
        EXPECT_EQ(ErrorBoxText(message), text) << message;
}

TEST_F(Controller, StrayConnectionWhileWaitingIsDroppedAndTheWaitGoesOn) {
    const int port = test::FreePort();
    peer.ReceiveFolder = box.Folder("peer-in");
    auto connected = std::async(std::launch::async, [&] {
        bool strayGotIn = false;
        for (int attempt = 0; attempt < 500 && !strayGotIn; ++attempt) {
            test::TRawPeer stray;  // connects and closes at once, as a port scan does
            strayGotIn = stray.Connect(port);
            if (!strayGotIn)
                std::this_thread::sleep_for(20ms);
        }
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (peer.ConnectAndStart(port))
                return strayGotIn;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    });
    EXPECT_TRUE(controller->StartServer(std::to_string(port), false, ""));
    EXPECT_TRUE(connected.get());
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_EQ(controller->Mode(), TWindowMode::mdConnected);
}

TEST_F(Controller, RefusedHandshakeDuringReconnectionIsOneRowNotABox) {
    config.Reconnect = true;
    test::TRawPeer raw;
    const int port = raw.Listen();
    std::atomic<int> strangers{0};
    std::thread peerSide([&] {
        ASSERT_TRUE(raw.Accept());
        ASSERT_TRUE(raw.Handshake());
        // Take the offer, then vanish while the data flows.
        ASSERT_TRUE(raw.ExpectLine("#TRANSDATA"));
        const auto id = raw.ReadLine();
        raw.ReadLine();
        raw.ReadLine();
        raw.SendLines({"#TRANSDATA", id.value_or("0"), "$ACPT", "0"});
        ASSERT_TRUE(raw.ExpectLine("#TRANSDATA"));
        raw.Close();
        // Every attempt to rebuild the link meets a peer that says nothing.
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!raw.Accept())
                return;
            ++strangers;
            raw.PeerClosed(3s);
            raw.Close();
        }
    });
    controller->Transer().Timeouts.Handshake = 200;
    ASSERT_TRUE(controller->ConnectToServer("127.0.0.1", port));
    controller->OfferFile(box.WriteRandomFile("out/r.bin", 2'000'000, 1));
    EXPECT_TRUE(RunUntil([&] { return strangers == 3; }, 30s));
    peerSide.join();
    int reconnectErrors = 0;
    for (int i = 0; i < static_cast<int>(controller->Rows().Count()); ++i)
        reconnectErrors += controller->Rows().Row(i).Image == riError && RowText(i) == "不正な接続です。";
    EXPECT_EQ(reconnectErrors, 1);
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_GE(FindRow("再接続", "相手の応答がありません。再接続します..."), 0);
}

}  // namespace
}  // namespace fwp
