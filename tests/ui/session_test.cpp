// Whole sessions of the window with real peers on loopback: fwpost, or an
// engine on a thread of the test. Offers are answered every way, files
// dropped, messages sent, the log saved, the session closed.
#include <ctime>
#include <regex>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QPushButton>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QStatusBar>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include "tests/support/peer.h"
#include "tests/ui/window_fixture.h"
#include "ui/task_list_model.h"
#include "ui/task_list_view.h"

namespace fwp::test {
namespace {

std::string Today(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// "Fernwaypost 通信ログ" in CP932, written out byte by byte.
const std::string LogTitle = "Fernwaypost \x92\xCA\x90\x4D\x83\x8D\x83\x4F";

struct TPhase {
    std::string Content;
    std::string State;
    std::string Time;
    bool operator==(const TPhase&) const = default;
};

class Session : public TWindowTest {
protected:
    // Every text a row has shown, in order, from its first to its last.
    void RecordPhases() {
        const auto record = [this](int first, int last) {
            for (int row = first; row <= last; ++row) {
                auto& seen = phases[row];
                TPhase now{Cell(row, 1), Cell(row, 2), Cell(row, 3)};
                if (seen.empty() || !(seen.back() == now))
                    seen.push_back(std::move(now));
            }
        };
        QAbstractItemModel* model = &window->TaskModel();
        QObject::connect(model, &QAbstractItemModel::rowsInserted,
                         [record](const QModelIndex&, int first, int last) { record(first, last); });
        QObject::connect(model, &QAbstractItemModel::dataChanged,
                         [this, record](const QModelIndex& from, const QModelIndex& to) {
                             record(from.row(), to.row());
                             statusSeen.emplace_back(U(Find<QLabel>("sbStatus0")->text()),
                                                     U(Find<QLabel>("sbStatus2")->text()));
                         });
    }
    int Count(const std::string& caption, const std::string& content) const {
        int count = 0;
        for (int row = 0; row < RowCount(); ++row)
            count += Cell(row, 0) == caption && Cell(row, 1) == content;
        return count;
    }

    std::map<int, std::vector<TPhase>> phases;
    std::vector<std::pair<std::string, std::string>> statusSeen;  // state and rate panels at each row change
};

TEST_F(Session, WithFwpostOffersAreAnsweredMessagesExchangedAndTheLogSaved) {
    const auto a = box.WriteRandomFile("out/写真.bin", 3072, 1);
    const auto b = box.WriteRandomFile("out/b.bin", 2048, 2);
    const auto c = box.WriteRandomFile("out/c.bin", 204800, 3);
    const auto d = box.WriteRandomFile("out/d.bin", 1000, 4);
    const auto e = box.WriteRandomFile("mine/e.bin", 409600, 5);
    const auto in = box.Folder("in");
    const auto received = box.Folder("received");
    const auto settings = box.WriteFile("fwpost.ini", "[Config]\r\n");
    TProcess fwpost(BinaryPath("fwpost"),
                    {"listen", "-p", "0", "-c", settings.string(), "-d", in.string(), "-y", "--stay", "-b",
                     "2048", "-s", "こんにちは", a.string(), b.string(), c.string(), d.string()},
                    box.Root().string());
    const auto listening = fwpost.WaitForLine("listening ");
    ASSERT_TRUE(listening) << fwpost.ErrorOutput();
    MakeWindow([](TConfig& own) { own.BufferSize = 4096; });
    RecordPhases();
    ConnectTo(std::stoi(listening->substr(10)));
    ASSERT_EQ(window->Controller().Mode(), TWindowMode::mdConnected) << fwpost.ErrorOutput();

    // Four offers wait for an answer; the greeting has arrived.
    ASSERT_TRUE(RunUntil([&] {
        return FindRow("受信", "写真.bin") >= 0 && FindRow("受信", "b.bin") >= 0 &&
               FindRow("受信", "c.bin") >= 0 && FindRow("受信", "d.bin") >= 0 && FindRow("IM受信") >= 0;
    }));
    EXPECT_EQ(Cell(FindRow("IM受信"), 1), "> こんにちは");
    const int rowA = FindRow("受信", "写真.bin");
    const int rowB = FindRow("受信", "b.bin");
    const int rowC = FindRow("受信", "c.bin");
    const int rowD = FindRow("受信", "d.bin");
    EXPECT_EQ(Cell(rowA, 1), "写真.bin(3 KB)のファイルを受信しますか？");
    EXPECT_EQ(Cell(rowD, 1), "d.bin(1000 B)のファイルを受信しますか？");

    // Accepted through its link, into the file the save dialog names.
    dialogs.SaveAnswers.push_back(received / "写真.bin");
    Answer(rowA, "miAccept");
    ASSERT_EQ(dialogs.Saves.size(), 1u);
    EXPECT_EQ(dialogs.Saves[0].Title, "受信ファイルの保存 - 写真.bin");
    EXPECT_EQ(dialogs.Saves[0].ProposedName, "写真.bin");
    EXPECT_FALSE(dialogs.Saves[0].OverwritePrompt);
    EXPECT_EQ(dialogs.Saves[0].Folder, config->ReceiveTo);
    // Denied through its link; the pending one cancelled from the button.
    Answer(rowB, "miDeny");
    SelectRow(rowD);
    Click("plCancel");
    // All accepted at once into a folder, where part of c.bin is already.
    const std::string part(51200, 'z');
    box.WriteFile("received/c.bin", part);
    dialogs.FolderAnswers.push_back(received);
    dialogs.Answers.push_back(TBoxAnswer::baYes);
    Click("plCollectively");
    EXPECT_EQ(dialogs.FolderTitles, std::vector<std::string>{"保存先を指定してください"});
    EXPECT_EQ(dialogs.FolderStarts, std::vector<std::filesystem::path>{config->ReceiveTo});
    ExpectBox(
        "ファイルは既に存在します。リジューム受信しますか？\r\nc.bin\r\n("
        "このプログラムが受信途中のファイルではありません)",
        "質問", TBoxIcon::biWarning);
    EXPECT_EQ(LastBox().Buttons, TBoxButtons::bbResumeOverwriteCancel);

    ASSERT_TRUE(RunUntil([&] {
        return SawLine(fwpost, "done 写真.bin 転送完了") && SawLine(fwpost, "done b.bin 拒否") &&
               SawLine(fwpost, "done d.bin 拒否") && SawLine(fwpost, "done c.bin 転送完了") &&
               Cell(rowC, 2) == "転送完了";
    })) << fwpost.ErrorOutput()
        << RowsText() << ::testing::PrintToString(fwpost.Lines());
    EXPECT_EQ(ReadAll(received / "写真.bin"), ReadAll(a));
    EXPECT_EQ(ReadAll(received / "c.bin"), part + ReadAll(c).substr(part.size()));
    EXPECT_FALSE(std::filesystem::exists(received / "b.bin"));
    EXPECT_FALSE(std::filesystem::exists(received / "d.bin"));
    EXPECT_EQ(Cell(rowA, 1), "写真.bin(3 KB)のファイルの転送終了");
    EXPECT_EQ(Cell(rowA, 2), "転送完了");
    EXPECT_EQ(Cell(rowB, 2), "拒否");
    EXPECT_EQ(Cell(rowD, 2), "拒否");
    // c.bin: asked, answered, transferring, finished.
    const std::regex cBytes(R"([0-9.]+ (B|KB) / 200 KB)");
    const auto& cPhases = phases[rowC];
    ASSERT_GE(cPhases.size(), 3u);
    EXPECT_EQ(cPhases.front(), (TPhase{"c.bin(200 KB)のファイルを受信しますか？", "", ""}));
    EXPECT_TRUE(std::any_of(cPhases.begin(), cPhases.end(), [&](const TPhase& phase) {
        return phase.Content == "c.bin(200 KB)のファイルの転送中..." && std::regex_match(phase.State, cBytes);
    }));
    EXPECT_EQ(cPhases.back().Content, "c.bin(200 KB)のファイルの転送終了");
    EXPECT_EQ(cPhases.back().State, "転送完了");

    // An own file, chosen in the open dialog, through every phase.
    dialogs.OpenAnswers.push_back({e});
    Click("plFile");
    EXPECT_EQ(dialogs.OpenTitles, std::vector<std::string>{"ファイルの送信"});
    // The first choice starts in the home folder, the next where the last one was made.
    Click("plFile");
    EXPECT_EQ(dialogs.OpenFolders, (std::vector<std::filesystem::path>{{}, e.parent_path()}));
    const int rowE = FindRow("送信", "e.bin");
    ASSERT_GE(rowE, 0);
    ASSERT_TRUE(RunUntil([&] { return Cell(rowE, 2) == "転送完了"; })) << fwpost.ErrorOutput();
    const auto& ePhases = phases[rowE];
    ASSERT_GE(ePhases.size(), 4u);
    EXPECT_EQ(ePhases[0], (TPhase{"e.bin(400 KB)のファイル転送の承諾待ち中", "", ""}));
    EXPECT_EQ(ePhases[1], (TPhase{"e.bin(400 KB)のファイル転送の承諾待ち中", "転送開始", ""}));
    const std::regex eBytes(R"([0-9.]+ (B|KB) / 400 KB)");
    const std::regex remaining(R"(([0-9]+h )?([0-9]+:[0-9][0-9])?)");
    for (std::size_t i = 2; i + 1 < ePhases.size(); ++i) {
        EXPECT_EQ(ePhases[i].Content, "e.bin(400 KB)のファイルの転送中...");
        EXPECT_TRUE(std::regex_match(ePhases[i].State, eBytes)) << ePhases[i].State;
        EXPECT_TRUE(std::regex_match(ePhases[i].Time, remaining)) << ePhases[i].Time;
    }
    EXPECT_EQ(ePhases.back().Content, "e.bin(400 KB)のファイルの転送終了");
    EXPECT_EQ(ePhases.back().State, "転送完了");
    EXPECT_EQ(ePhases.back().Time, "0:00");
    // The status bar followed the list: the total rate while a file moved, nothing once all ended.
    EXPECT_TRUE(std::any_of(statusSeen.begin(), statusSeen.end(), [](const auto& seen) {
        return seen.first == "転送中" && seen.second.ends_with("/s");
    }));
    EXPECT_EQ(U(Find<QLabel>("sbStatus0")->text()), "待機");
    EXPECT_EQ(U(Find<QLabel>("sbStatus2")->text()), "");
    ASSERT_TRUE(RunUntil([&] { return SawLine(fwpost, "done e.bin 転送完了"); }));
    EXPECT_EQ(ReadAll(in / "e.bin"), ReadAll(e));

    // A message: Enter sends it and empties the line; it shows once it has arrived.
    auto* say = Find<QLineEdit>("edtSay");
    say->setText(QStringLiteral("やあ"));
    QTest::keyClick(say, Qt::Key_Return);
    EXPECT_TRUE(say->text().isEmpty());
    ASSERT_TRUE(RunUntil([&] { return FindRow("IM送信") >= 0 && SawLine(fwpost, "message やあ"); }));
    EXPECT_EQ(Cell(FindRow("IM送信"), 1), "やあ");
    EXPECT_EQ(Cell(FindRow("IM送信"), 2), "");

    // The log: its header, then each row without its time.
    const auto log = box.Path("session.log");
    dialogs.SaveAnswers.push_back(log);
    Find<QAction>("miSaveLog")->trigger();
    ASSERT_EQ(dialogs.Saves.size(), 2u);
    EXPECT_TRUE(dialogs.Saves[1].OverwritePrompt);
    EXPECT_EQ(dialogs.Saves[1].Title, "ログの保存");
    EXPECT_EQ(dialogs.Saves[1].ProposedName, Today("%y-%m-%d.log"));
    EXPECT_EQ(U(Find<QStatusBar>("sbStatus")->currentMessage()), "ログを保存しました: " + log.string());
    const std::string bytes = ReadAll(log);
    EXPECT_TRUE(
        bytes.starts_with(LogTitle + "\r\ndate: " + Today("%Y/%m/%d") + "\r\ncomto: 127.0.0.1\r\n----\r\n"));
    std::size_t lines = 0;
    for (std::size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at + 2))
        ++lines;
    EXPECT_EQ(lines, 4u + static_cast<std::size_t>(RowCount()));
    for (const char* line :
         {"開始\tFernwaypost Protocol Version 0.90\t接続確立", "IM受信\t> こんにちは\t",
          "受信\t写真.bin(3 KB)のファイルの転送終了\t転送完了", "受信\tb.bin(2 KB)のファイルの転送終了\t拒否",
          "送信\te.bin(400 KB)のファイルの転送終了\t転送完了", "IM送信\tやあ\t"})
        EXPECT_NE(bytes.find("\r\n" + Sjis(line) + "\r\n"), std::string::npos) << line;

    // Closing ends the session, and fwpost sees it end.
    window->close();
    EXPECT_TRUE(fwpost.Wait(30s).has_value());
}

TEST_F(Session, ClosingWhileFilesMoveAsksFirstThenEndsPromptly) {
    const auto big = box.WriteRandomFile("out/big.bin", 8'000'000, 1);
    const auto offered = box.WriteRandomFile("peer/offered.bin", 1000, 2);
    const auto settings = box.WriteFile("fwpost.ini", "[Config]\r\n");
    TProcess fwpost(BinaryPath("fwpost"),
                    {"listen", "-p", "0", "-c", settings.string(), "-d", box.Folder("in").string(), "-y",
                     "--stay", offered.string()},
                    box.Root().string());
    const auto listening = fwpost.WaitForLine("listening ");
    ASSERT_TRUE(listening) << fwpost.ErrorOutput();
    MakeWindow([](TConfig& own) { own.MaxSendRate = 100'000; });
    ConnectTo(std::stoi(listening->substr(10)));
    ASSERT_EQ(window->Controller().Mode(), TWindowMode::mdConnected) << fwpost.ErrorOutput();

    // An offer waits for its answer, and an own file is on its way (held by a suspend).
    ASSERT_TRUE(RunUntil([&] { return FindRow("受信", "offered.bin") >= 0; }));
    dialogs.OpenAnswers.push_back({big});
    Click("plFile");
    const int row = FindRow("送信", "big.bin");
    ASSERT_TRUE(RunUntil([&] { return Cell(row, 1).ends_with("転送中..."); })) << RowsText();
    SelectRow(row);
    Click("plSuspend");

    // Refused: the session goes on.
    dialogs.Answers.push_back(TBoxAnswer::baNo);
    window->close();
    ExpectBox("転送中のファイルがあります。終了しますか？", "Fernwaypost", TBoxIcon::biQuestion);
    EXPECT_EQ(LastBox().Buttons, TBoxButtons::bbYesNo);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdConnected);

    // Agreed: the window goes at once, and the orderly end does not wait out its budget.
    window->Controller().Transer().Timeouts.CloseStep = 60000;
    dialogs.Answers.push_back(TBoxAnswer::baYes);
    bool shownWhileEnding = true;
    QObject::connect(&window->TaskModel(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int, int last) {
                         if (Cell(last, 1) == "終了処理中...")
                             shownWhileEnding = window->isVisible();
                     });
    const auto started = std::chrono::steady_clock::now();
    window->close();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(shownWhileEnding);
    EXPECT_FALSE(window->isVisible());
    EXPECT_LT(took, 30s);
    EXPECT_TRUE(fwpost.Wait(30s).has_value());
}

TEST_F(Session, AfterTheSessionEndsTheStartPanelIsOneClickAway) {
    const auto a = box.WriteRandomFile("out/a.bin", 2000, 1);
    const auto settings = box.WriteFile("fwpost.ini", "[Config]\r\n");
    // fwpost offers its file and ends once the file has arrived.
    const auto startFwpost = [&] {
        return std::make_unique<TProcess>(
            BinaryPath("fwpost"),
            std::vector<std::string>{"listen", "-p", "0", "-c", settings.string(), "-d",
                                     box.Folder("in").string(), a.string()},
            box.Root().string());
    };
    auto fwpost = startFwpost();
    auto listening = fwpost->WaitForLine("listening ");
    ASSERT_TRUE(listening) << fwpost->ErrorOutput();
    MakeWindow([](TConfig& own) { own.AutoReceive = true; });
    ConnectTo(std::stoi(listening->substr(10)));
    EXPECT_FALSE(Find<QPushButton>("btBackToStart")->isVisible());
    ASSERT_TRUE(RunUntil([&] { return FindRow("終了", "接続が解除されました") >= 0; })) << RowsText();
    EXPECT_TRUE(Find<QPushButton>("btBackToStart")->isVisible());
    EXPECT_TRUE(Find<QAction>("miBackToStart")->isEnabled());

    // Cancelled: the ended session stays in view.
    dialogs.Answers.push_back(TBoxAnswer::baCancel);
    Click("btBackToStart");
    ExpectBox("スタート画面に戻ると一覧は消えます。ログを保存しますか？", "質問", TBoxIcon::biQuestion);
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlTransfer"));

    // The list goes to a log, then the start panel shows with the settings kept.
    const auto log = box.Path("ended.log");
    dialogs.Answers.push_back(TBoxAnswer::baYes);
    dialogs.SaveAnswers.push_back(log);
    Click("btBackToStart");
    EXPECT_NE(ReadAll(log).find(Sjis("受信\ta.bin")), std::string::npos);
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlStart"));
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsSelect"));
    EXPECT_EQ(RowCount(), 0);
    EXPECT_TRUE(config->AutoReceive);

    // A second session runs as the first did.
    fwpost = startFwpost();
    listening = fwpost->WaitForLine("listening ");
    ASSERT_TRUE(listening) << fwpost->ErrorOutput();
    ConnectTo(std::stoi(listening->substr(10)));
    EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdConnected);
    EXPECT_FALSE(Find<QPushButton>("btBackToStart")->isVisible());
    ASSERT_TRUE(RunUntil([&] {
        return FindRow("受信", "a.bin") >= 0 && Cell(FindRow("受信", "a.bin"), 2) == "転送完了";
    })) << RowsText();
    EndWindow();
}

// A window connected as client to an engine on the test's own thread.
class PeerSession : public Session {
protected:
    void Connect() {
        peer.ReceiveFolder = box.Folder("peer-in");
        MakeWindow();
        ConnectToPeer(peer);
    }
    void PeerAborts(std::int32_t id) {
        peer.Call([id](TTranser& transer) {
            if (TTranserTask* task = transer.Tasks().FindTask(id))
                transer.AbortTask(*task);
            return 0;
        });
    }

    TPeer peer{"peer"};
};

TEST_F(PeerSession, FilesDroppedOnThePanelAreOfferedInDropOrder) {
    Connect();
    const auto one = box.WriteRandomFile("drop/one.bin", 5000, 1);
    const auto two = box.WriteRandomFile("drop/two.bin", 7000, 2);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(Q(one.string())),
                  QUrl::fromLocalFile(Q(box.Path("drop/gone.bin").string())),
                  QUrl::fromLocalFile(Q(two.string()))});
    // Onto the list, which passes the drop on to its panel.
    QWidget* target = window->TaskList().viewport();
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    const int first = FindRow("送信", "one.bin");
    const int failed = FindRow("ﾌｧｲﾙ送信", "gone.bin");
    const int second = FindRow("送信", "two.bin");
    ASSERT_GE(first, 0);
    EXPECT_EQ(failed, first + 1);
    EXPECT_EQ(second, first + 2);
    EXPECT_EQ(Cell(failed, 2), "ファイルオープンエラー");
    EXPECT_EQ(Cell(first, 1), "one.bin(4.88 KB)のファイル転送の承諾待ち中");
    ASSERT_TRUE(RunUntil([&] { return Cell(first, 2) == "転送完了" && Cell(second, 2) == "転送完了"; }));
    EXPECT_EQ(ReadAll(box.Path("peer-in/one.bin")), ReadAll(one));
    EXPECT_EQ(ReadAll(box.Path("peer-in/two.bin")), ReadAll(two));
    EndWindow();
}

TEST_F(PeerSession, AFolderDroppedOnThePanelOffersEveryFileInIt) {
    Connect();
    const auto a = box.WriteRandomFile("album/a.jpg", 3000, 1);
    const auto b = box.WriteRandomFile("album/more/b.jpg", 4000, 2);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(Q(box.Path("album").string()))});
    QWidget* target = window->TaskList().viewport();
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    ASSERT_GE(FindRow("送信", "a.jpg"), 0) << RowsText();
    ASSERT_GE(FindRow("送信", "b.jpg"), 0) << RowsText();
    // The files arrive side by side, under their own names.
    ASSERT_TRUE(RunUntil([&] {
        return Cell(FindRow("送信", "a.jpg"), 2) == "転送完了" &&
               Cell(FindRow("送信", "b.jpg"), 2) == "転送完了";
    }));
    EXPECT_EQ(ReadAll(box.Path("peer-in/a.jpg")), ReadAll(a));
    EXPECT_EQ(ReadAll(box.Path("peer-in/b.jpg")), ReadAll(b));
    EndWindow();
}

TEST_F(PeerSession, FilesNamedOnTheCommandLineAreOfferedOnceTheSessionRuns) {
    const auto file = box.WriteRandomFile("launcher/photo.jpg", 3000, 1);
    peer.ReceiveFolder = box.Folder("peer-in");
    MakeWindow(nullptr, {Q(file.string())});
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsSelect"));
    EXPECT_EQ(RowCount(), 0);
    ConnectToPeer(peer);
    ASSERT_TRUE(RunUntil([&] {
        return FindRow("送信", "photo.jpg") >= 0 && Cell(FindRow("送信", "photo.jpg"), 2) == "転送完了";
    })) << RowsText();
    EXPECT_EQ(ReadAll(box.Path("peer-in/photo.jpg")), ReadAll(file));
    EndWindow();
}

TEST_F(PeerSession, AnOfferThatEndsWhileItsDialogsAreOpenIsLeftAlone) {
    Connect();
    const auto received = box.Folder("received");
    const auto x = box.WriteRandomFile("out/x.bin", 4000, 1);
    const auto y = box.WriteRandomFile("out/y.bin", 4000, 2);
    const std::int32_t idX = peer.Offer(x);
    const std::int32_t idY = peer.Offer(y);
    ASSERT_TRUE(RunUntil([&] { return FindRow("受信", "x.bin") >= 0 && FindRow("受信", "y.bin") >= 0; }));
    const int rowX = FindRow("受信", "x.bin");
    const int rowY = FindRow("受信", "y.bin");

    // The sender gives up while the save dialog is open.
    dialogs.WhileOpen = [&] {
        PeerAborts(idX);
        ASSERT_TRUE(RunUntil([&] { return Cell(rowX, 2) == "中断"; }));
    };
    dialogs.SaveAnswers.push_back(received / "x.bin");
    Answer(rowX, "miAccept");
    EXPECT_FALSE(std::filesystem::exists(received / "x.bin"));
    EXPECT_TRUE(dialogs.Boxes.empty());

    // And while the existing-file question is open.
    box.WriteFile("received/y.bin", "older");
    dialogs.Answers.push_back(TBoxAnswer::baNo);
    bool asked = false;
    dialogs.SaveAnswers.push_back(received / "y.bin");
    dialogs.WhileOpen = [&] {
        if (dialogs.Boxes.empty())
            return;  // the save dialog
        asked = true;
        PeerAborts(idY);
        ASSERT_TRUE(RunUntil([&] { return Cell(rowY, 2) == "中断"; }));
    };
    Answer(rowY, "miAccept");
    EXPECT_TRUE(asked);
    EXPECT_EQ(ReadAll(received / "y.bin"), "older");
    // A deny chosen from the menu opened before the end does nothing.
    Find<QAction>("miDeny")->trigger();
    EXPECT_EQ(Cell(rowY, 2), "中断");
    EXPECT_EQ(dialogs.Boxes.size(), 1u);
    EndWindow();
}

TEST_F(PeerSession, OffersAreAnsweredFromTheKeyboard) {
    Connect();
    const auto a = box.WriteRandomFile("out/a.bin", 3000, 1);
    const auto b = box.WriteRandomFile("out/b.bin", 3000, 2);
    const auto c = box.WriteRandomFile("out/c.bin", 3000, 3);
    for (const auto& file : {a, b, c})
        peer.Offer(file);
    ASSERT_TRUE(RunUntil([&] { return FindRow("受信", "c.bin") >= 0; }));
    TTaskListView& list = window->TaskList();
    auto* menu = Find<QMenu>("pmReceiveOrNot");
    list.setFocus();

    // Enter on an offer opens its answer menu; its key accepts.
    list.setCurrentIndex(window->TaskModel().index(FindRow("受信", "a.bin"), 0));
    dialogs.SaveAnswers.push_back(box.Folder("received") / "a.bin");
    QTest::keyClick(&list, Qt::Key_Return);
    ASSERT_TRUE(menu->isVisible());
    QTest::keyClick(menu, Qt::Key_A);
    ASSERT_EQ(dialogs.Saves.size(), 1u);

    // The context-menu key offers the same answers.
    list.setCurrentIndex(window->TaskModel().index(FindRow("受信", "b.bin"), 0));
    QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(4, 4),
                          list.viewport()->mapToGlobal(QPoint(4, 4)));
    QApplication::sendEvent(list.viewport(), &key);
    ASSERT_TRUE(menu->isVisible());
    QTest::keyClick(menu, Qt::Key_D);

    // Del denies the selected offer.
    SelectRow(FindRow("受信", "c.bin"));
    QTest::keyClick(&list, Qt::Key_Delete);
    ASSERT_TRUE(RunUntil([&] {
        return Cell(FindRow("受信", "a.bin"), 2) == "転送完了" &&
               Cell(FindRow("受信", "b.bin"), 2) == "拒否" && Cell(FindRow("受信", "c.bin"), 2) == "拒否";
    })) << RowsText();
    EXPECT_EQ(ReadAll(box.Path("received/a.bin")), ReadAll(a));
    EndWindow();
}

TEST_F(PeerSession, ASecondCloseWhileTheSessionEndsStartsNothing) {
    Connect();
    // The close box pressed again the moment the session starts to end.
    int closesDuringShutdown = 0;
    QObject::connect(&window->TaskModel(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int, int last) {
                         if (Cell(last, 1) == "終了処理中..." && closesDuringShutdown == 0) {
                             ++closesDuringShutdown;
                             window->close();
                         }
                     });
    window->close();
    EXPECT_EQ(closesDuringShutdown, 1);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(Count("接続", "終了処理中..."), 1);
    ASSERT_TRUE(RunUntil([&] { return peer.State() == tsClosed; }));
}

TEST_F(PeerSession, TheSelectedRowsTaskIsSuspendedResumedAndCancelled) {
    Connect();
    window->Controller().Transer().BufSize = 1024;
    window->Controller().Transer().MaxSendRate = 200'000;  // still running while the buttons are used
    const auto big = box.WriteRandomFile("out/big.bin", 2'000'000, 1);
    dialogs.OpenAnswers.push_back({big});
    Click("plFile");
    const int row = FindRow("送信", "big.bin");
    ASSERT_TRUE(RunUntil([&] { return Cell(row, 1) == "big.bin(1.91 MB)のファイルの転送中..."; }));
    SelectRow(row);
    auto* suspend = Find<QPushButton>("plSuspend");
    EXPECT_EQ(U(suspend->text()), "一時停止");
    Click("plSuspend");
    EXPECT_EQ(U(suspend->text()), "再開");
    EXPECT_EQ(static_cast<TRowLook>(window->TaskModel().index(row, 0).data(TTaskListModel::LookRole).toInt()),
              TRowLook::rlSuspended);
    ASSERT_TRUE(RunUntil([&] { return peer.Suspends() > 0; }));
    Click("plSuspend");
    EXPECT_EQ(U(suspend->text()), "一時停止");
    Click("plCancel");
    ASSERT_TRUE(RunUntil([&] { return Cell(row, 2) == "中断"; }));
    // The ended row's task can be neither cancelled nor suspended any more.
    EXPECT_FALSE(Find<QPushButton>("plCancel")->isEnabled());
    EXPECT_FALSE(suspend->isEnabled());
    EndWindow();
}

TEST_F(Session, TheLogOfAnEmptyListHasItsFourHeaderLines) {
    MakeWindow();
    const auto log = box.Path("empty.log");
    dialogs.SaveAnswers.push_back(log);
    Find<QAction>("miSaveLog")->trigger();
    EXPECT_EQ(ReadAll(log), LogTitle + "\r\ndate: " + Today("%Y/%m/%d") + "\r\ncomto:\r\n----\r\n");
    EXPECT_TRUE(dialogs.Boxes.empty());

    // Cancelled: nothing is written. Unwritable: the error box.
    Find<QAction>("miSaveLog")->trigger();
    dialogs.SaveAnswers.push_back(box.Path("missing/folder/x.log"));
    Find<QAction>("miSaveLog")->trigger();
    ExpectBox("ログファイルの保存に失敗しました。", "出力エラー", TBoxIcon::biError);
    EXPECT_EQ(LastBox().Buttons, TBoxButtons::bbOk);
}

}  // namespace
}  // namespace fwp::test
