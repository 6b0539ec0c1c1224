// The help menu's panels and check: the version panel with its links and the
// wandering icon, the help pages inside the program, and the version check
// against a version file on a server of the test's own.
#include <sys/time.h>

#include <cstdlib>
#include <ctime>
#include <mutex>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/connect/http_server.h"
#include "tests/ui/window_fixture.h"
#include "ui/version_panel.h"

namespace fwp::test {
namespace {

class InfoPanels : public TWindowTest {
protected:
    void OpenVersionPanel() {
        Find<QAction>("About1")->trigger();
        ASSERT_EQ(CurrentPanel(), Find<QWidget>("pnlVer"));
    }
    std::string Text(const char* label) { return U(Find<QLabel>(label)->text()); }
    TVersionPanel& Panel() { return *Find<TVersionPanel>("pnlVer"); }
    QLabel* Icon() { return Find<QLabel>("imgIcon"); }
    QTimer* Timer() { return Find<QTimer>("tmVersion"); }
    // Activates the link a label shows, as a click on it does; false when it shows none.
    bool ActivateLink(QLabel* label) {
        const QRegularExpressionMatch href =
            QRegularExpression(QStringLiteral("href=\"([^\"]*)\"")).match(label->text());
        if (!href.hasMatch())
            return false;
        emit label->linkActivated(href.captured(1));
        return true;
    }
};

TEST_F(InfoPanels, TheVersionPanelShowsItsTextsAndLinksAndPlaysTheIconGame) {
    MakeWindow();
    int r = 99;
    Panel().SetRandomSource([&r] { return r; });
    // The start panel's picture opens the home page.
    QTest::mouseClick(Find<QLabel>("Image1"), Qt::LeftButton);
    OpenVersionPanel();
    EXPECT_EQ(Text("lblDescription"), "P2Pファイル転送ツール");
    EXPECT_EQ(Text("lblVersion"), "Version " + std::string(FWP_PROJECT_VERSION) + ".0");
    EXPECT_EQ(Text("lblCopyright"), "Copyright (C) 2026 Fernwaypost developers");
    EXPECT_EQ(Text("lblPluginApi"), "Plugin API Version 0.1.0");
    // The links go to the desktop's handlers: the mail program and the browser.
    for (const char* link : {"lblMail", "lblHP"}) {
        auto* label = Find<QLabel>(link);
        EXPECT_EQ(label->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_TRUE(ActivateLink(label)) << link;
    }
    EXPECT_EQ(urls.Urls,
              (std::vector<std::string>{"http://fernwaypost.invalid/", "mailto:support@fernwaypost.invalid",
                                        "http://fernwaypost.invalid/"}));
    EXPECT_EQ(Timer()->interval(), 300);
    EXPECT_TRUE(Timer()->isActive());
    Click("Button8");
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlStart"));
    EXPECT_FALSE(Timer()->isActive());

    // Each tick of the timer moves the icon up by 10, and left by r - 30.
    OpenVersionPanel();
    struct TStep {
        QPoint From;
        QPoint To;
    };
    std::vector<TStep> steps;
    QPoint last = Icon()->pos();
    const auto connection = QObject::connect(Timer(), &QTimer::timeout, [&] {
        steps.push_back({last, Icon()->pos()});
        last = Icon()->pos();
    });
    ASSERT_TRUE(RunUntil([&] { return steps.size() >= 3; }, 20s));
    QObject::disconnect(connection);
    for (const TStep& step : steps)
        EXPECT_EQ(step.To, step.From + QPoint(-69, -10));

    // Catching it stops it with a box, once per showing; showing the panel again starts the game again.
    for (std::size_t showing = 1; showing <= 2; ++showing) {
        SCOPED_TRACE(showing);
        EXPECT_TRUE(Timer()->isActive());
        EXPECT_TRUE(Icon()->isEnabled());
        QTest::mouseClick(Icon(), Qt::LeftButton);
        QTest::mouseClick(Icon(), Qt::LeftButton);
        ASSERT_EQ(dialogs.Boxes.size(), showing);
        EXPECT_EQ(LastBox().Text, "つかまっちった(*´д｀*)");
        EXPECT_EQ(LastBox().Title, "Fernwaypost");
        EXPECT_EQ(LastBox().Icon, TBoxIcon::biInformation);
        EXPECT_FALSE(Timer()->isActive());
        EXPECT_FALSE(Icon()->isEnabled());
        Click("Button8");
        OpenVersionPanel();
    }
    Timer()->stop();

    // In a large window the texts stand in the middle.
    window->resize(1280, 800);
    QApplication::processEvents();
    const QWidget* content = Find<QWidget>("pnlVerContent");
    const int middle = content->mapTo(&Panel(), content->rect().center()).x();
    EXPECT_NEAR(middle, Panel().width() / 2, 40);

    // Past the left edge it comes back at the right, past the top at the bottom.
    const int width = Find<QWidget>("pnlVer")->width();
    const int height = Find<QWidget>("pnlVer")->height();
    Icon()->move(50, 100);
    Panel().Wander();
    EXPECT_EQ(Icon()->pos(), QPoint(-19, 90));
    Panel().Wander();
    EXPECT_EQ(Icon()->pos(), QPoint(width, 80));
    r = 30;
    Icon()->move(50, -15);
    Panel().Wander();
    EXPECT_EQ(Icon()->pos(), QPoint(50, -25));
    Panel().Wander();
    EXPECT_EQ(Icon()->pos(), QPoint(50, height));
    // r = 0 takes it 30 to the right.
    r = 0;
    Panel().Wander();
    EXPECT_EQ(Icon()->pos(), QPoint(80, height - 10));
}

TEST_F(InfoPanels, TheHelpPanelShowsThePagesThatComeWithTheProgram) {
    MakeWindow();
    auto* tutorial = Find<QAction>("Tutorial1");
    EXPECT_EQ(tutorial->shortcut(), QKeySequence(Qt::Key_F1));
    tutorial->trigger();
    ASSERT_EQ(CurrentPanel(), Find<QWidget>("pnlHelp"));
    auto* browser = Find<QTextBrowser>("WebBrowser1");
    EXPECT_EQ(U(browser->documentTitle()), "Fernwaypost の使い方");

    // Every page of the table of contents opens, has its own title and leads back.
    const std::vector<std::pair<std::string, std::string>> contents{
        {"wait.html", "相手の接続を待つ（サーバー）"},
        {"connect.html", "相手に接続する（クライアント）"},
        {"transfer.html", "ファイルを送る・受け取る"},
        {"resume.html", "途中から受け取る（リジューム）と再接続"},
        {"chat.html", "メッセージを送る（IM）と通信ログ"},
        {"settings.html", "設定"},
        {"plugins.html", "プラグイン"},
        {"commandline.html", "コマンドラインからの起動"}};
    const QString index = browser->toHtml();
    for (const auto& [page, title] : contents) {
        SCOPED_TRACE(page);
        EXPECT_TRUE(index.contains(Q("href=\"" + page + "\"")));
        emit browser->anchorClicked(QUrl(Q(page)));
        EXPECT_EQ(U(browser->documentTitle()), title);
        EXPECT_GT(browser->toPlainText().size(), 200);
        EXPECT_TRUE(browser->toHtml().contains(QStringLiteral("href=\"index.html\"")));
        emit browser->anchorClicked(QUrl(QStringLiteral("index.html")));
        EXPECT_EQ(U(browser->documentTitle()), "Fernwaypost の使い方");
    }
    EXPECT_TRUE(urls.Urls.empty());

    // "戻る" and "目次" move through the pages seen.
    emit browser->anchorClicked(QUrl(QStringLiteral("settings.html")));
    Click("btHelpBack");
    EXPECT_EQ(U(browser->documentTitle()), "Fernwaypost の使い方");
    emit browser->anchorClicked(QUrl(QStringLiteral("chat.html")));
    Click("btHelpHome");
    EXPECT_EQ(U(browser->documentTitle()), "Fernwaypost の使い方");

    // The online help opens in the desktop's browser.
    EXPECT_TRUE(ActivateLink(Find<QLabel>("lblOnlineHelp")));
    EXPECT_EQ(urls.Urls, std::vector<std::string>{"http://fernwaypost.invalid/help/"});

    Click("Button4");
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlStart"));
    // "使い方" on the start panel opens it too, on the table of contents.
    emit browser->anchorClicked(QUrl(QStringLiteral("resume.html")));
    ClickIn("tsSelect", "plButton4");
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlHelp"));
    EXPECT_EQ(U(browser->documentTitle()), "Fernwaypost の使い方");
}

// The version file on a loopback server with the date the test gives it.
class VersionCheck : public InfoPanels {
protected:
    VersionCheck() {
        // Local time is GMT, so the executable's day is the one written here.
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        server.Server().Get("/history.txt",
                            [this](const httplib::Request& request, httplib::Response& response) {
                                const std::lock_guard lock(mutex);
                                agents.push_back(request.get_header_value("User-Agent"));
                                response.set_header("Last-Modified", lastModified);
                                response.set_content("history", "text/plain");
                            });
    }
    ~VersionCheck() override {
        ::unsetenv("TZ");
        ::tzset();
    }
    // A program file written at this time (GMT).
    std::filesystem::path ProgramFile(int year, int month, int day, int hour) {
        const auto path = box.WriteFile("bin/fernwaypost", "program");
        SetFileTimeUtc(path, year, month, day, hour);
        return path;
    }
    void Check() { Find<QAction>("C1")->trigger(); }
    void SetLastModified(const std::string& date) {
        const std::lock_guard lock(mutex);
        lastModified = date;
    }
    std::vector<std::string> Agents() {
        const std::lock_guard lock(mutex);
        return agents;
    }
    std::mutex mutex;
    std::string lastModified;
    std::vector<std::string> agents;
    TLoopbackHttpServer server;
};

TEST_F(VersionCheck, OnlyALaterDayInJapanCountsAsANewVersionAndAnUnreachableServerIsAnError) {
    MakeWindow();
    window->SetVersionFileUrl(server.URL("/history.txt"));
    EXPECT_EQ(Find<QAction>("C1")->shortcut(), QKeySequence(Qt::Key_F11));
    const struct {
        const char* LastModified;
        int Built[4];
        bool Newer;
    } cases[] = {
        // The same day as the program file.
        {"Mon, 31 Aug 2026 10:00:00 GMT", {2026, 8, 31, 12}, false},
        // The next day.
        {"Tue, 01 Sep 2026 10:00:00 GMT", {2026, 8, 31, 12}, true},
        // 20:00 GMT on the 31st is already the 1st of September in Japan.
        {"Mon, 31 Aug 2026 20:00:00 GMT", {2026, 8, 31, 23}, true},
        // A program file of a later day.
        {"Mon, 31 Aug 2026 10:00:00 GMT", {2026, 9, 1, 0}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.LastModified);
        SetLastModified(c.LastModified);
        window->SetProgramFile(ProgramFile(c.Built[0], c.Built[1], c.Built[2], c.Built[3]));
        dialogs.Boxes.clear();
        dialogs.Answers.push_back(TBoxAnswer::baNo);
        Check();
        ASSERT_EQ(dialogs.Boxes.size(), 1u);
        EXPECT_EQ(LastBox().Title, "確認");
        if (c.Newer) {
            EXPECT_EQ(LastBox().Text, "新しいバージョンがリリースされています。ホームページを表示しますか？");
            EXPECT_EQ(LastBox().Buttons, TBoxButtons::bbYesNo);
        } else {
            EXPECT_EQ(LastBox().Text, "現在新しいバージョンはリリースされていません。");
            EXPECT_EQ(LastBox().Buttons, TBoxButtons::bbOk);
            dialogs.Answers.clear();
        }
    }
    EXPECT_TRUE(urls.Urls.empty());
    ASSERT_FALSE(Agents().empty());
    EXPECT_EQ(Agents().back(), "Fernwaypost GetVersion/1.0");

    // Yes opens the home page.
    SetLastModified("Tue, 01 Sep 2026 10:00:00 GMT");
    window->SetProgramFile(ProgramFile(2026, 8, 31, 12));
    dialogs.Answers.push_back(TBoxAnswer::baYes);
    Check();
    EXPECT_EQ(urls.Urls, std::vector<std::string>{"http://fernwaypost.invalid/"});

    // A server that cannot be reached is reported under the program's title.
    window->SetVersionFileUrl("http://127.0.0.1:" + std::to_string(FreePort()) + "/history.txt");
    dialogs.Boxes.clear();
    Check();
    ASSERT_EQ(dialogs.Boxes.size(), 1u);
    EXPECT_EQ(LastBox().Title, "Fernwaypost");
    EXPECT_EQ(LastBox().Icon, TBoxIcon::biError);
}

}  // namespace
}  // namespace fwp::test
