// The window started from the command line: the usage, the unattended
// server and client starts against a real easy connection service on
// loopback (fwpost-rendezvous, or a fake one that answers as the test says)
// with fwpost as the peer, and the program's end when such a start fails.
#include <cstdlib>

#include <QLabel>
#include <QStringList>

#include <gtest/gtest.h>

#include "tests/connect/easy_service_fixture.h"
#include "tests/support/process.h"
#include "tests/ui/window_fixture.h"
#include "ui/application.h"

namespace fwp::test {
namespace {

// fwpost-rendezvous on a free loopback port with its registrations in memory.
class TRendezvous {
public:
    TRendezvous()
        : m_process(BinaryPath("fwpost-rendezvous"), {"--listen", "127.0.0.1:0", "--db", ":memory:"}) {
        if (const auto line = m_process.WaitForLine("listening ")) {
            const std::size_t colon = line->find(':');
            m_port = std::atoi(line->c_str() + colon + 1);
        }
    }
    bool Started() const { return m_port != 0; }
    std::string URL() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/easy.cgi"; }
    // True once the log shows a request whose target starts with target.
    bool Served(const std::string& target) {
        while (m_process.ReadLine(5ms)) {
        }
        for (const auto& line : m_process.Lines())
            if (line.find("\"GET " + target) != std::string::npos &&
                line.find("\" 200 ") != std::string::npos)
                return true;
        return false;
    }

private:
    TProcess m_process;
    int m_port = 0;
};

class WindowCommandLine : public TWindowTest {
protected:
    // Runs the program's course with these arguments; the message loop is
    // played by loopBody, and only runs when the start lets it.
    int Run(const QStringList& arguments, const std::function<void()>& loopBody = nullptr) {
        return RunProgram(*window, arguments, [&] {
            loopEntered = true;
            if (loopBody)
                loopBody();
            return 0;
        });
    }
    std::string WaitMessage() { return U(Find<QLabel>("lblMsg")->text()); }
    // The queries the fake service was sent, in order.
    static std::vector<std::string> Queries(const TFakeEasyService& service) {
        std::vector<std::string> queries;
        for (const auto& request : service.Requests())
            queries.push_back(request.Target.substr(request.Target.find('?')));
        return queries;
    }
    // fwpost with settings of its own in the sandbox.
    std::unique_ptr<TProcess> Fwpost(std::vector<std::string> args) {
        box.WriteFile("fwpost.ini", "[Config]\r\nUseUPnP=0\r\n");
        args.insert(args.end(), {"-c", box.Path("fwpost.ini").string(), "-q", "-d", box.Folder("fwpost-in")});
        return std::make_unique<TProcess>(BinaryPath("fwpost"), args);
    }
    bool loopEntered = false;
};

TEST(WindowUsage, HelpPrintsTheUsageWithoutADisplay) {
    TProcess program(BinaryPath("fernwaypost"), {"--help"}, "", [] {
        // Nothing to show a window on.
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            ::unsetenv(name);
    });
    ASSERT_EQ(program.Wait(), 0) << program.ErrorOutput();
    ASSERT_FALSE(program.Lines().empty());
    EXPECT_EQ(program.Lines()[0], "Usage: fernwaypost [/server NAME | /client NAME | /session | --help]");
    EXPECT_TRUE(
        SawLine(program, "  --server NAME, --client NAME and --session are the same as the slash forms."));
}

TEST_F(WindowCommandLine, ServerStartRegistersWaitsAndTakesThePeerThatLooksItUp) {
    TRendezvous service;
    ASSERT_TRUE(service.Started());
    CreateWindow([&](TConfig& settings) {
        settings.EasyServiceURL = service.URL();
        settings.Port = FreePort();
    });
    std::unique_ptr<TProcess> peer;
    std::string shownWhileWaiting;
    When([&] { return Listening() && service.Served("/easy.cgi?mode=open"); },
         [&] {
             shownWhileWaiting = WaitMessage();
             peer = Fwpost({"connect", "--user", "alice", "--service-url", service.URL()});
         });
    bool connectedInLoop = false;
    const int status = Run({QStringLiteral("/server"), QStringLiteral("alice")}, [&] {
        connectedInLoop = window->Controller().Mode() == TWindowMode::mdConnected &&
                          CurrentPanel() == Find<QWidget>("pnlTransfer");
        window->close();
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(loopEntered);
    EXPECT_TRUE(connectedInLoop);
    EXPECT_EQ(shownWhileWaiting, "相手の接続を待っています...");
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_TRUE(
        service.Served("/easy.cgi?mode=open&user=alice&port=" + std::to_string(config->Port) + "&ip="));
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(peer->WaitForLine("found alice 127.0.0.1 " + std::to_string(config->Port)));
    // The end of the program removes the registration and writes the settings.
    EXPECT_TRUE(RunUntil([&] { return service.Served("/easy.cgi?mode=close&user=alice"); }, 10s));
    EXPECT_TRUE(std::filesystem::exists(box.Path("config.ini")));
    EXPECT_EQ(peer->Wait(), 0);
}

TEST_F(WindowCommandLine, ClientStartFindsThePeerAndConnects) {
    TRendezvous service;
    ASSERT_TRUE(service.Started());
    const int port = FreePort();
    auto peer =
        Fwpost({"listen", "-p", std::to_string(port), "--register", "bob", "--service-url", service.URL()});
    ASSERT_TRUE(peer->WaitForLine("registered bob"));
    CreateWindow([&](TConfig& settings) { settings.EasyServiceURL = service.URL(); });
    std::vector<std::string> messages;
    bool connectedInLoop = false;
    const int status = Run({QStringLiteral("--client"), QStringLiteral("bob")}, [&] {
        connectedInLoop = window->Controller().Mode() == TWindowMode::mdConnected;
        messages.push_back(WaitMessage());
        window->close();
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(connectedInLoop);
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_TRUE(service.Served("/easy.cgi?mode=get&user=bob"));
    EXPECT_EQ(messages,
              std::vector<std::string>{"127.0.0.1:" + std::to_string(port) + " へ接続しています..."});
    EXPECT_TRUE(peer->WaitForLine("connected "));
    EXPECT_EQ(peer->Wait(), 0);
}

TEST_F(WindowCommandLine, CancellingTheServersWaitEndsTheProgramWithoutTheLoop) {
    TFakeEasyService service;
    service.SetReply("open", 200, "200 OK");
    service.SetReply("close", 200, "200 OK");
    CreateWindow([&](TConfig& settings) {
        settings.EasyServiceURL = service.URL();
        settings.Port = FreePort();
    });
    When([&] { return window->Controller().Mode() == TWindowMode::mdWaiting && !WaitMessage().empty(); },
         [&] { Click("Button3"); });
    EXPECT_EQ(Run({QStringLiteral("/server"), QStringLiteral("bob")}), 1);
    EXPECT_FALSE(loopEntered);
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_EQ(Queries(service),
              (std::vector<std::string>{"?mode=open&user=bob&port=" + std::to_string(config->Port) + "&ip=",
                                        "?mode=close&user=bob"}));
    const std::string saved = ReadAll(box.Path("config.ini"));
    EXPECT_NE(saved.find("FirstRunning=0\r\n"), std::string::npos) << saved;
}

// Five failed lookups of the client start, or a refused registration of the server start.
TEST_F(WindowCommandLine, AFailedUnattendedStartShowsItsBoxAndEndsTheProgram) {
    TFakeEasyService service;
    service.SetReply("get", 410, "410 Unknown user");
    service.SetReply("open", 409, "409 Name taken");
    CreateWindow([&](TConfig& settings) { settings.EasyServiceURL = service.URL(); });
    window->Controller().LookupPacing().Interval = 10ms;
    std::string waitingWith;
    dialogs.WhileOpen = [&] {
        if (CurrentPage() == Find<QWidget>("tsWait"))
            waitingWith = WaitMessage();
    };
    EXPECT_EQ(Run({QStringLiteral("/client"), QStringLiteral("carol")}), 1);
    EXPECT_FALSE(loopEntered);
    EXPECT_EQ(Queries(service), std::vector<std::string>(5, "?mode=get&user=carol"));
    ExpectBox("相手の接続先が見つかりませんでした。", "エラー", TBoxIcon::biError);
    EXPECT_EQ(waitingWith, "簡単接続サービスに接続中...");

    window.reset();
    dialogs.WhileOpen = nullptr;
    dialogs.Boxes.clear();
    CreateWindow([&](TConfig& settings) { settings.EasyServiceURL = service.URL(); });
    EXPECT_EQ(Run({QStringLiteral("--server"), QStringLiteral("dave")}), 1);
    EXPECT_FALSE(loopEntered);
    ASSERT_FALSE(dialogs.Boxes.empty());
    EXPECT_EQ(LastBox().Text, "簡単接続サービスの登録に失敗しました。");
    EXPECT_EQ(LastBox().Title, "失敗");
}

TEST_F(WindowCommandLine, AnythingElseRunsTheLoopOnTheStartPanel) {
    for (const QStringList& arguments :
         {QStringList{QStringLiteral("/session")}, QStringList{QStringLiteral("hello")}, QStringList{}}) {
        SCOPED_TRACE(U(arguments.join(u' ')));
        CreateWindow();
        loopEntered = false;
        QWidget* page = nullptr;
        EXPECT_EQ(Run(arguments, [&] { page = CurrentPage(); }), 0);
        EXPECT_TRUE(loopEntered);
        EXPECT_EQ(page, Find<QWidget>("tsSelect"));
        EXPECT_TRUE(dialogs.Boxes.empty());
        window.reset();
    }
}

}  // namespace
}  // namespace fwp::test
