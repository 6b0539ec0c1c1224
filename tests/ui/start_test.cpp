// The start panel: its pages, the server and client starts with their
// messages, the waiting page, and the list of recent addresses.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>

#include <gtest/gtest.h>

#include "tests/connect/easy_service_fixture.h"
#include "tests/connect/loopback_gateway.h"
#include "tests/support/peer.h"
#include "tests/ui/window_fixture.h"

namespace fwp::test {
namespace {

class StartPanel : public TWindowTest {
protected:
    void StartServer(const std::string& port) {
        Find<QLineEdit>("edtServPort")->setText(Q(port));
        Click("btStartServ");
    }
    void StartClient(const std::string& address, const std::string& port) {
        Find<QRadioButton>("rbDirect")->setChecked(true);
        Find<QComboBox>("cbConnectTo")->setEditText(Q(address));
        Find<QLineEdit>("edtPort")->setText(Q(port));
        Click("btStartClient");
    }
    std::string Status(int panel) {
        return U(Find<QLabel>(("sbStatus" + std::to_string(panel)).c_str())->text());
    }
};

TEST_F(StartPanel, OpensOnTheSelectionWithThePictureAndTheSettings) {
    box.WriteFile("config.ini", "[Config]\r\nPort=5123\r\nDirectConnectTo=host-a,host-b\r\n");
    MakeWindow();
    EXPECT_EQ(U(window->windowTitle()), "Fernwaypost");
    EXPECT_EQ(window->minimumSize(), QSize(512, 390));
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlStart"));
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsSelect"));
    EXPECT_FALSE(Find<QMenu>("miTransfer")->menuAction()->isVisible());
    EXPECT_EQ(U(Find<QLineEdit>("edtServPort")->text()), "5123");
    EXPECT_EQ(U(Find<QLineEdit>("edtPort")->text()), "5123");
    auto* recent = Find<QComboBox>("cbConnectTo");
    ASSERT_EQ(recent->count(), 2);
    EXPECT_EQ(U(recent->currentText()), "host-a");
    EXPECT_EQ(U(recent->itemText(1)), "host-b");
    // The side picture is a JPEG read through the image plug-in.
    EXPECT_TRUE(QImageReader::supportedImageFormats().contains("jpeg"));
    const QPixmap side = Find<QLabel>("Image3")->pixmap();
    ASSERT_EQ(side.size(), QSize(100, 340));
    // Its top is the dark teal sky.
    const QColor top = side.toImage().pixelColor(50, 3);
    EXPECT_LT(top.red(), 60);
    EXPECT_GT(top.green(), top.red());
    Click("plButton1");
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsServer"));
    Click("btCancel");
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsSelect"));
    Click("plButton2");
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsClient"));
    ClickIn("tsClient", "Button1");
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsSelect"));
}

TEST_F(StartPanel, TheWindowComesBackAtTheSizeItWasClosedAt) {
    MakeWindow();
    window->resize(700, 520);
    ASSERT_TRUE(RunUntil([&] { return window->size() == QSize(700, 520); }, 10s));
    EndWindow();
    MakeWindow();
    EXPECT_EQ(window->size(), QSize(700, 520));
}

TEST_F(StartPanel, TheFirstRunWelcomesAndOpensTheSettingsUnlessAnArgumentIsGiven) {
    MakeWindow([](TConfig& settings) { settings.FirstRunning = true; });
    ExpectBox("ようこそ。まずは「設定」を行いチューニングをしましょう！", "Fernwaypost",
              TBoxIcon::biInformation);
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlSetting"));
    Click("Button5");
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlStart"));

    window.reset();
    dialogs.Boxes.clear();
    MakeWindow([](TConfig& settings) { settings.FirstRunning = true; }, {QStringLiteral("/SERVER")});
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlStart"));
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsSelect"));
}

// A port below one is refused on the server page; one that cannot be listened
// on (another program's, or beyond 65535) ends the wait back on the selection.
TEST_F(StartPanel, AServerStartThatCannotGoAheadShowsWhy) {
    TPeer other;
    const std::string taken = std::to_string(other.Listen());
    MakeWindow();
    for (const std::string port : {"abc", "0", "-5", "", taken.c_str(), "70000"}) {
        SCOPED_TRACE(port);
        const bool number = port == taken || port == "70000";
        dialogs.Boxes.clear();
        if (CurrentPage() != Find<QWidget>("tsServer"))
            Click("plButton1");
        StartServer(port);
        if (number)
            ExpectBox("ポート " + port + " で待ち受けできません", "エラー", TBoxIcon::biError);
        else
            ExpectBox("正しいポート番号を指定してください。", "注意", TBoxIcon::biWarning);
        EXPECT_EQ(CurrentPage(), Find<QWidget>(number ? "tsSelect" : "tsServer"));
        EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdStart);
    }
}

// Points the router search at a router played on loopback while it lives.
class TScopedSearchTarget {
public:
    explicit TScopedSearchTarget(const std::string& target) {
        ::setenv("FWP_SSDP_TARGET", target.c_str(), 1);
    }
    ~TScopedSearchTarget() { ::setenv("FWP_SSDP_TARGET", "off", 1); }
    TScopedSearchTarget(const TScopedSearchTarget&) = delete;
    TScopedSearchTarget& operator=(const TScopedSearchTarget&) = delete;
};

// A router that is found but never answers its control requests.
void MakeSilentRouter(TLoopbackGateway& gateway) {
    gateway.SetAnswers({gateway.GatewayAnswer()});
    gateway.SetDescription(gateway.GatewayDescription());
    gateway.SetSOAPPolicy([](const std::string&) { return std::nullopt; });
}

TEST_F(StartPanel, WithoutARouterTheServerSaysSoAndWaitsAnyway) {
    MakeWindow([](TConfig& settings) { settings.UseUPnP = true; });
    const int port = FreePort();
    TPeer peer;
    std::string shown;
    std::string addresses;
    When([&] { return Listening(); },
         [&] {
             shown = U(Find<QLabel>("lblMsg")->text());
             addresses = U(Find<QLabel>("lblAddresses")->text());
             Click("btCopyAddresses");
             peer.Post([port](TTranser& transer) {
                 if (transer.Connect("127.0.0.1", port))
                     transer.Start();
             });
         });
    Click("plButton1");
    StartServer(std::to_string(port));
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_EQ(shown,
              "UPnPに対応したルーターが見つからず、ポート " + std::to_string(port) +
                  " を開けませんでした。\n外から接続してもらうにはルーターでポートを開けてください"
                  "(UPnPは「設定」の「一般」でオフにできます)。\n\nクライアントの接続を待っています...");
    EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdConnected);
    // The waiting page told the port to give the other side, and copied it.
    EXPECT_TRUE(addresses.starts_with("ポート: " + std::to_string(port) + "\n同じネットワークから: "))
        << addresses;
    EXPECT_TRUE(addresses.ends_with(":" + std::to_string(port))) << addresses;
    EXPECT_EQ(U(QApplication::clipboard()->text()), addresses);
    EndWindow();
}

TEST_F(StartPanel, TheWindowDoesNotWaitForASlowRouter) {
    TLoopbackGateway gateway;
    MakeSilentRouter(gateway);
    TScopedSearchTarget target(gateway.SearchTarget());
    CreateWindow();
    window->Controller().UPnP().Options().ReplyWait = 300ms;
    // The addresses come later; the window is there at once.
    window->Discover();
    window->Start({});
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(U(Find<QLineEdit>("edtWANAddr")->text()), "取得中...");
    ASSERT_TRUE(RunUntil([&] { return U(Find<QLineEdit>("edtWANAddr")->text()) != "取得中..."; }, 60s));
    EXPECT_EQ(U(Find<QLineEdit>("edtWANAddr")->text()), "取得できませんでした");
    EXPECT_FALSE(Find<QLineEdit>("edtLocalAddr")->text().isEmpty());

    // A server start shows what it does and can be cancelled while the router keeps silent.
    config->UseUPnP = true;
    std::string shown;
    When([&] { return U(Find<QLabel>("lblMsg")->text()) == "ルーターのポートを開いています..."; },
         [&] {
             shown = U(Find<QLabel>("lblMsg")->text());
             Click("Button3");
         });
    Click("plButton1");
    StartServer(std::to_string(FreePort()));
    EXPECT_EQ(shown, "ルーターのポートを開いています...");
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsSelect"));
    EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdStart);
    EXPECT_TRUE(dialogs.Boxes.empty());
    // The router work ends before the router goes.
    window.reset();
}

TEST_F(StartPanel, TheWaitRefusesToCloseUntilCancelledThenAPeerIsTaken) {
    MakeWindow();
    Click("plButton1");
    const int port = FreePort();
    bool sawWait = false;
    bool refused = false;
    When([&] { return Listening(); },
         [&] {
             sawWait = CurrentPage() == Find<QWidget>("tsWait") &&
                       U(Find<QLabel>("lblMsg")->text()) == "クライアントの接続を待っています...";
             window->close();
             refused = window->isVisible() && window->Controller().Mode() == TWindowMode::mdWaiting;
             Click("Button3");
         });
    StartServer(std::to_string(port));
    EXPECT_TRUE(sawWait);
    EXPECT_TRUE(refused);
    ExpectBox("接続を待っている間は終了できません。「キャンセル」で待機をやめてから終了してください。",
              "Fernwaypost", TBoxIcon::biInformation);
    dialogs.Boxes.clear();
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsSelect"));
    EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdStart);

    // Again, and a peer connects.
    TPeer peer;
    When([&] { return Listening(); },
         [&] {
             peer.Post([port](TTranser& transer) {
                 if (transer.Connect("127.0.0.1", port))
                     transer.Start();
             });
         });
    Click("plButton1");
    StartServer(std::to_string(port));
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdConnected);
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlTransfer"));
    EXPECT_TRUE(Find<QMenu>("miTransfer")->menuAction()->isVisible());
    EXPECT_EQ(Status(0), "待機");
    EXPECT_EQ(Status(1), "port: " + std::to_string(port));
    EXPECT_EQ(Status(3), "comto: 127.0.0.1");
    ASSERT_EQ(RowCount(), 1);
    EXPECT_EQ(Cell(0, 0), "開始");
    EXPECT_EQ(Cell(0, 1), "Fernwaypost Protocol Version 0.90");
    EXPECT_EQ(Cell(0, 2), "接続確立");
    EXPECT_EQ(config->Port, port);
    EndWindow();
}

TEST_F(StartPanel, ClientStartsCheckThePortAndReportAFailedConnection) {
    MakeWindow();
    Click("plButton2");
    struct TCase {
        std::string Port;
        std::string Text;
        std::string Title;
    };
    const int closed = FreePort();
    const std::vector<TCase> cases{
        {"abc", "正しいポート番号を指定してください。", "注意"},
        {"0", "正しいポート番号を指定してください。", "注意"},
        {"-1", "ポート番号を指定してください。", "注意"},
        {std::to_string(closed), "接続に失敗しました。", "エラー"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Port);
        dialogs.Boxes.clear();
        StartClient("127.0.0.1", c.Port);
        ExpectBox(c.Text, c.Title, c.Title == "注意" ? TBoxIcon::biWarning : TBoxIcon::biError);
        EXPECT_EQ(CurrentPage(), Find<QWidget>("tsClient"));
        EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdStart);
    }
}

TEST_F(StartPanel, AClientStartByUserNameAsksTheServiceFirst) {
    TFakeEasyService service;
    MakeWindow([&](TConfig& settings) { settings.EasyServiceURL = service.URL(); });
    Click("plButton2");
    Find<QRadioButton>("rbUser")->setChecked(true);
    Find<QLineEdit>("edtServUser")->setText(QStringLiteral("alice"));

    service.SetReply("get", 200, "");
    Click("btStartClient");
    ExpectBox("ユーザが見つかりませんでした。名前を変えて再度試してみてください。", "失敗",
              TBoxIcon::biError);

    // Found, but the port field holds 0: the lookup runs, then the port is refused.
    service.SetReply("get", 200, "Port = 4006\r\nIP = 127.0.0.1\r\n");
    Find<QLineEdit>("edtPort")->setText(QStringLiteral("0"));
    const std::size_t asked = service.Requests().size();
    dialogs.Boxes.clear();
    Click("btStartClient");
    EXPECT_EQ(service.Requests().size(), asked + 1);
    ExpectBox("ポート番号を指定してください。", "注意", TBoxIcon::biWarning);

    // The port the service gives is the one used.
    TPeer peer;
    const int port = peer.Listen();
    auto accepted = peer.AcceptAndStart();
    service.SetReply("get", 200, "Port = " + std::to_string(port) + "\r\nIP = 127.0.0.1\r\n");
    Find<QLineEdit>("edtPort")->setText(QStringLiteral("4006"));
    dialogs.Boxes.clear();
    Click("btStartClient");
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_TRUE(accepted.get());
    EXPECT_EQ(window->Controller().Mode(), TWindowMode::mdConnected);
    EXPECT_EQ(Status(1), "port: " + std::to_string(port));
    EXPECT_TRUE(config->UseEasyConnection);
    EXPECT_EQ(config->UserName, "alice");
    EndWindow();
}

TEST_F(StartPanel, AnUnreachableServiceIsReportedUnderTheProgramsTitle) {
    MakeWindow([](TConfig& settings) {
        settings.EasyServiceURL = "http://127.0.0.1:" + std::to_string(FreePort()) + "/easy.cgi";
    });
    Click("plButton2");
    Find<QRadioButton>("rbUser")->setChecked(true);
    Find<QLineEdit>("edtServUser")->setText(QStringLiteral("alice"));
    Click("btStartClient");
    ASSERT_EQ(dialogs.Boxes.size(), 1u);
    EXPECT_EQ(LastBox().Title, "Fernwaypost");
    EXPECT_EQ(LastBox().Icon, TBoxIcon::biError);
    // The fixed text first, then what happened and what to do, then libcurl's reason.
    EXPECT_TRUE(
        LastBox().Text.starts_with("InternetOpenUrl エラー\n\nサーバーに接続できませんでした。"
                                   "インターネットにつながっているか、設定のサーバーのアドレスが正しいかを"
                                   "確かめてください。\n(詳細: "))
        << LastBox().Text;
    EXPECT_TRUE(LastBox().Text.ends_with(")")) << LastBox().Text;
    EXPECT_EQ(CurrentPage(), Find<QWidget>("tsClient"));
}

TEST_F(StartPanel, ElevenClientStartsKeepTheTenMostRecentAddresses) {
    for (int i = 1; i <= 11; ++i) {
        SCOPED_TRACE(i);
        TPeer peer;
        const int port = peer.Listen();
        auto accepted = peer.AcceptAndStart();
        MakeWindow();
        Click("plButton2");
        StartClient("127.0.0." + std::to_string(i), std::to_string(port));
        ASSERT_TRUE(accepted.get());
        ASSERT_EQ(window->Controller().Mode(), TWindowMode::mdConnected);
        EndWindow();
    }
    TConfig saved(box.Path("config.ini"));
    saved.Load();
    std::vector<std::string> expected;
    for (int i = 11; i >= 2; --i)
        expected.push_back("127.0.0." + std::to_string(i));
    EXPECT_EQ(saved.DirectConnectTo, expected);
    // The next start offers the most recent address first.
    MakeWindow();
    EXPECT_EQ(U(Find<QComboBox>("cbConnectTo")->itemText(0)), "127.0.0.11");
}

}  // namespace
}  // namespace fwp::test
