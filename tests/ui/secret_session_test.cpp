// The 合言葉 field of the start pages: secured sessions of the window with a
// real fwpost on loopback, peers with another phrase or none, the phrase in
// config.ini only when "保存する" is ticked, and the service's relay.
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QStatusBar>

#include <gtest/gtest.h>

#include "connect/easy_service.h"
#include "tests/ui/window_fixture.h"

namespace fwp::test {
namespace {

const std::string WrongPhraseText = "合言葉が一致しません。";
const std::string ClassicPeerText = "相手は合言葉を使わない接続です。合言葉を両方で設定してください。";

class SecretSession : public TWindowTest {
protected:
    void SetUp() override { settings = box.WriteFile("fwpost.ini", "[Config]\r\n").string(); }

    // fwpost with its own settings, receiving into "in" without asking.
    std::unique_ptr<TProcess> Fwpost(std::vector<std::string> args) {
        args.insert(args.begin() + 1, {"-c", settings, "-y", "-d", box.Folder("in").string()});
        return std::make_unique<TProcess>(BinaryPath("fwpost"), args, box.Root().string());
    }
    // The server page's start with phrase; returns once the wait has ended.
    void WaitWithPhrase(int port, const std::string& phrase) {
        Find<QLineEdit>("edtServPort")->setText(QString::number(port));
        Find<QLineEdit>("edtServSecret")->setText(Q(phrase));
        Click("btStartServ");
    }
    void ConnectWithPhrase(int port, const std::string& phrase) {
        Find<QLineEdit>("edtSecret")->setText(Q(phrase));
        ConnectTo(port);
    }
    // Every message the status line has shown.
    void RecordStatusMessages() {
        QObject::connect(Find<QStatusBar>("sbStatus"), &QStatusBar::messageChanged,
                         [this](const QString& text) {
                             if (!text.isEmpty())
                                 statusMessages.push_back(U(text));
                         });
    }
    bool StatusShown(const std::string& text) const {
        return std::ranges::find(statusMessages, text) != statusMessages.end();
    }

    // A real fwpost-rendezvous on loopback with the given options; url is where it answers.
    void StartService(const std::vector<std::string>& options) {
        std::vector<std::string> args{"--listen", "127.0.0.1:0", "--db", ":memory:", "--rate-limit", "0"};
        args.insert(args.end(), options.begin(), options.end());
        service = std::make_unique<TProcess>(BinaryPath("fwpost-rendezvous"), args);
        const auto started = service->WaitForLine("listening ");
        ASSERT_TRUE(started) << service->ErrorOutput();
        url = "http://" + started->substr(10, started->find(' ', 10) - 10) + "/easy.cgi";
    }
    // The server page's start under the name alice at the service.
    void WaitAsAlice(const std::string& phrase) {
        Click("plButton1");
        Find<QCheckBox>("cbLogin")->setChecked(true);
        Find<QLineEdit>("edtUserName")->setText(QStringLiteral("alice"));
        WaitWithPhrase(FreePort(), phrase);
    }

    std::string settings;
    std::vector<std::string> statusMessages;
    std::unique_ptr<TProcess> service;
    std::string url;
};

TEST_F(SecretSession, AServerWithAPhraseDropsPeersWithoutItAndTakesTheOneThatKnowsIt) {
    const auto file = box.WriteRandomFile("out/secret.bin", 300'000, 1);
    MakeWindow([](TConfig& own) { own.AutoReceive = true; });
    RecordStatusMessages();
    const int port = FreePort();
    const std::string address = "127.0.0.1";
    std::unique_ptr<TProcess> wrong, classic, right;
    // Each peer comes once the one before it was dropped, while the window still waits.
    When([&] { return Listening(); },
         [&] {
             wrong = Fwpost({"connect", address, "-p", std::to_string(port), "--secret", "another", "-q"});
         });
    When([&] { return StatusShown(WrongPhraseText) && Listening(); },
         [&] {
             classic = Fwpost({"connect", address, "-p", std::to_string(port), "-q"});
         });
    When([&] { return StatusShown(ClassicPeerText) && Listening(); },
         [&] {
             right = Fwpost(
                 {"connect", address, "-p", std::to_string(port), "--secret", "ひみつ", file.string()});
         });
    Click("plButton1");
    WaitWithPhrase(port, "ひみつ");
    ASSERT_EQ(window->Controller().Mode(), TWindowMode::mdConnected)
        << ::testing::PrintToString(statusMessages);
    EXPECT_TRUE(dialogs.Boxes.empty());
    ASSERT_TRUE(wrong && classic && right);
    EXPECT_EQ(wrong->Wait(30s), 2);
    EXPECT_NE(wrong->ErrorOutput().find(WrongPhraseText), std::string::npos) << wrong->ErrorOutput();
    ASSERT_TRUE(RunUntil([&] {
        return FindRow("受信", "secret.bin") >= 0 && Cell(FindRow("受信", "secret.bin"), 2) == "転送完了" &&
               SawLine(*right, "done secret.bin 転送完了");
    })) << RowsText()
        << right->ErrorOutput();
    EXPECT_TRUE(SawLine(*right, "secured"));
    EXPECT_EQ(ReadAll(box.Path("received/secret.bin")), ReadAll(file));
    EndWindow();
}

TEST_F(SecretSession, AClientWhosePhraseIsRefusedSaysWhyAndCanTryAgain) {
    auto secured = Fwpost({"listen", "-p", "0", "--secret", "ひみつ", "--stay"});
    const auto securedPort = secured->WaitForLine("listening ");
    ASSERT_TRUE(securedPort) << secured->ErrorOutput();
    auto classic = Fwpost({"listen", "-p", "0", "--stay"});
    const auto classicPort = classic->WaitForLine("listening ");
    ASSERT_TRUE(classicPort) << classic->ErrorOutput();
    MakeWindow();
    struct TCase {
        std::string Phrase;
        std::string Port;
        std::string Text;
        std::string Title;
    };
    const std::vector<TCase> cases{
        {"ひみつだよ", securedPort->substr(10), WrongPhraseText, "エラー"},
        {"ひみつ", classicPort->substr(10), ClassicPeerText, "エラー"},
        // CP932 has no emoji: the phrase could never be typed on a classic system.
        {"ひみつ\xF0\x9F\x94\x91", securedPort->substr(10),
         "合言葉に使えない文字が含まれています。別の合言葉にしてください。", "注意"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Text);
        dialogs.Boxes.clear();
        ConnectWithPhrase(std::stoi(c.Port), c.Phrase);
        ExpectBox(c.Text, c.Title, c.Title == "注意" ? TBoxIcon::biWarning : TBoxIcon::biError);
        EXPECT_EQ(CurrentPage(), Find<QWidget>("tsClient"));
        EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdStart);
    }
    // The same page with the right phrase.
    dialogs.Boxes.clear();
    ConnectWithPhrase(std::stoi(securedPort->substr(10)), "ひみつ");
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdConnected);
    ASSERT_TRUE(RunUntil([&] { return SawLine(*secured, "secured"); })) << secured->ErrorOutput();
    EndWindow();
}

TEST_F(SecretSession, ThePhraseIsInConfigIniOnlyWhileSaveIsTicked) {
    // "ひみつ" in CP932, written out byte by byte.
    const std::string storedPhrase = "Secret=\x82\xD0\x82\xDD\x82\xC2\r\n";
    MakeWindow();
    Find<QLineEdit>("edtServSecret")->setText(QStringLiteral("ひみつ"));
    // Both pages show the one phrase.
    EXPECT_EQ(U(Find<QLineEdit>("edtSecret")->text()), "ひみつ");
    EXPECT_EQ(Find<QLineEdit>("edtSecret")->echoMode(), QLineEdit::Password);
    EndWindow();
    EXPECT_EQ(ReadAll(box.Path("config.ini")).find("Secret"), std::string::npos);

    MakeWindow();
    EXPECT_TRUE(Find<QLineEdit>("edtServSecret")->text().isEmpty());
    Find<QLineEdit>("edtSecret")->setText(QStringLiteral("ひみつ"));
    Find<QCheckBox>("cbSaveSecret")->setChecked(true);
    EXPECT_TRUE(Find<QCheckBox>("cbServSaveSecret")->isChecked());
    EndWindow();
    const std::string saved = ReadAll(box.Path("config.ini"));
    EXPECT_NE(saved.find("\r\nSaveSecret=1\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\r\n" + storedPhrase), std::string::npos) << saved;
    struct stat status {};
    ASSERT_EQ(::stat(box.Path("config.ini").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // Shown again at the next start; unticked, it leaves the file.
    MakeWindow();
    EXPECT_EQ(U(Find<QLineEdit>("edtServSecret")->text()), "ひみつ");
    EXPECT_TRUE(Find<QCheckBox>("cbServSaveSecret")->isChecked());
    Find<QCheckBox>("cbServSaveSecret")->setChecked(false);
    EndWindow();
    const std::string unticked = ReadAll(box.Path("config.ini"));
    EXPECT_EQ(unticked.find("Secret"), std::string::npos) << unticked;
    EXPECT_NE(unticked.find("\r\nPort="), std::string::npos) << unticked;
}

TEST_F(SecretSession, AServiceWithoutARelayLeavesTheDirectWait) {
    StartService({});
    const auto file = box.WriteRandomFile("out/direct.bin", 100'000, 1);
    MakeWindow([&](TConfig& own) {
        own.EasyServiceURL = url;
        own.AutoReceive = true;
    });
    // The service's reachability check reads the banner and closes: not worth a word.
    RecordStatusMessages();
    std::string waitText;
    std::unique_ptr<TProcess> connector;
    When([&] { return Listening(); },
         [&] {
             waitText = U(Find<QLabel>("lblMsg")->text());
             connector = Fwpost(
                 {"connect", "--user", "alice", "--service-url", url, "--secret", "ひみつ", file.string()});
         });
    WaitAsAlice("ひみつ");
    EXPECT_TRUE(
        waitText.starts_with("中継サーバーを利用できません。直接の接続だけを待ちます。\n\n"
                             "クライアントの接続を待っています..."))
        << waitText;
    ASSERT_EQ(window->Controller().Mode(), TWindowMode::mdConnected)
        << (dialogs.Boxes.empty() ? "" : LastBox().Text);
    ASSERT_TRUE(connector);
    ASSERT_TRUE(RunUntil([&] {
        return FindRow("受信", "direct.bin") >= 0 && Cell(FindRow("受信", "direct.bin"), 2) == "転送完了" &&
               SawLine(*connector, "done direct.bin 転送完了");
    })) << RowsText()
        << connector->ErrorOutput();
    EXPECT_EQ(ReadAll(box.Path("received/direct.bin")), ReadAll(file));
    EXPECT_TRUE(statusMessages.empty()) << ::testing::PrintToString(statusMessages);
    EndWindow();
}

// The window and fwpost find each other by name through a real
// fwpost-rendezvous with its relay, both on loopback.
class RelayedSecretSession : public SecretSession {
protected:
    void SetUp() override {
        SecretSession::SetUp();
        StartService({"--relay-listen", "127.0.0.1:" + std::to_string(relayPort)});
    }
    // Registers alice again from the same address at a port where nothing
    // listens, as a peer behind a carrier NAT looks from outside.
    void MakeAliceUnreachable() {
        TEasyServiceClient client(url);
        ASSERT_TRUE(client.EasyServiceOpen("alice", FreePort(), "127.0.0.1"));
    }

    std::string RelayedAddress() const { return "relayed 127.0.0.1:" + std::to_string(relayPort); }

    int relayPort = FreePort();
};

TEST_F(RelayedSecretSession, AClientWithAPhraseReachesAnUnreachablePeerThroughTheRelay) {
    const auto file = box.WriteRandomFile("out/relayed.bin", 200'000, 1);
    auto listener = Fwpost({"listen", "-p", "0", "--service-url", url, "--register", "alice", "--relay",
                            "--secret", "ひみつ", file.string()});
    ASSERT_TRUE(listener->WaitForLine("listening ")) << listener->ErrorOutput();
    MakeAliceUnreachable();
    MakeWindow([&](TConfig& own) {
        own.EasyServiceURL = url;
        own.AutoReceive = true;
    });
    window->Controller().LookupPacing().Interval = 100ms;
    window->Controller().LookupPacing().Tries = 100;
    Click("plButton2");
    Find<QRadioButton>("rbUser")->setChecked(true);
    Find<QLineEdit>("edtServUser")->setText(QStringLiteral("alice"));
    Find<QLineEdit>("edtSecret")->setText(QStringLiteral("ひみつ"));
    Click("btStartClient");
    ASSERT_EQ(window->Controller().Mode(), TWindowMode::mdConnected)
        << (dialogs.Boxes.empty() ? "" : LastBox().Text) << listener->ErrorOutput();
    ASSERT_TRUE(RunUntil([&] {
        return FindRow("受信", "relayed.bin") >= 0 && Cell(FindRow("受信", "relayed.bin"), 2) == "転送完了" &&
               SawLine(*listener, "done relayed.bin 転送完了");
    })) << RowsText()
        << listener->ErrorOutput();
    EXPECT_TRUE(SawLine(*listener, RelayedAddress()));
    EXPECT_EQ(ReadAll(box.Path("received/relayed.bin")), ReadAll(file));
    EndWindow();
}

TEST_F(RelayedSecretSession, AServerWithAPhraseAlsoWaitsAtTheRelay) {
    const auto file = box.WriteRandomFile("out/up.bin", 200'000, 1);
    MakeWindow([&](TConfig& own) {
        own.EasyServiceURL = url;
        own.AutoReceive = true;
    });
    std::unique_ptr<TProcess> connector;
    // fwpost is told to go through the relay at once, so only a parked window can take it.
    When([&] { return Listening(); },
         [&] {
             connector = Fwpost({"connect", "--user", "alice", "--service-url", url, "--relay", "--secret",
                                 "ひみつ", file.string()});
         });
    WaitAsAlice("ひみつ");
    ASSERT_EQ(window->Controller().Mode(), TWindowMode::mdConnected)
        << (dialogs.Boxes.empty() ? "" : LastBox().Text);
    ASSERT_TRUE(connector);
    ASSERT_TRUE(RunUntil([&] {
        return FindRow("受信", "up.bin") >= 0 && Cell(FindRow("受信", "up.bin"), 2) == "転送完了" &&
               SawLine(*connector, "done up.bin 転送完了");
    })) << RowsText()
        << connector->ErrorOutput();
    EXPECT_TRUE(SawLine(*connector, RelayedAddress()));
    EXPECT_EQ(ReadAll(box.Path("received/up.bin")), ReadAll(file));
    EndWindow();
}

}  // namespace
}  // namespace fwp::test
