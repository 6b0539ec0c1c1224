// fwpost as a user runs it: real processes on loopback.
#include <sys/resource.h>

#include <csignal>

#include <gtest/gtest.h>

#include "tests/connect/easy_service_fixture.h"
#include "tests/connect/loopback_gateway.h"
#include "tests/support/process.h"
#include "tests/support/proxy.h"
#include "tests/support/raw_peer.h"
#include "tests/support/sandbox.h"

namespace fwp::test {
namespace {

const std::string FwpostPath = BinaryPath("fwpost");

// Settings of the test's own, so that no config.ini of the machine counts.
class Fwpost : public ::testing::Test {
protected:
    void SetUp() override {
        config = box.WriteFile("config.ini", "[Config]\r\nReconnect=1\r\n").string();
        in = box.Folder("in");
        out = box.Folder("out");
    }
    std::unique_ptr<TProcess> Listen(std::vector<std::string> args,
                                     std::function<void()> beforeExec = nullptr) {
        args.insert(args.begin(), {"listen", "-p", "0", "-c", config});
        auto process =
            std::make_unique<TProcess>(FwpostPath, args, box.Root().string(), std::move(beforeExec));
        const auto line = process->WaitForLine("listening ");
        port = line ? std::stoi(line->substr(10)) : 0;
        return process;
    }
    std::unique_ptr<TProcess> Connect(std::vector<std::string> args, int toPort = 0) {
        args.insert(args.begin(),
                    {"connect", "127.0.0.1", "-p", std::to_string(toPort ? toPort : port), "-c", config});
        return std::make_unique<TProcess>(FwpostPath, args, box.Root().string());
    }
    static bool HasLine(TProcess& process, const std::string& line) {
        for (const auto& l : process.Lines())
            if (l == line)
                return true;
        return false;
    }

    TSandbox box;
    std::string config;
    std::filesystem::path in;
    std::filesystem::path out;
    int port = 0;
};

TEST_F(Fwpost, FilesAndMessagesGoBothWaysWithEachPacketType) {
    for (const char* type : {"direct", "compress", "crypt"}) {
        SCOPED_TRACE(type);
        const auto a = box.WriteRandomFile(std::string("out/a-") + type + ".bin", 300'000, 1);
        const auto b = box.WriteRandomFile(std::string("out/b-") + type + ".bin", 1, 2);
        auto listener = Listen({"-y", "-d", in.string(), "-t", type, "-b", "65536"});
        ASSERT_NE(port, 0);
        auto connector = Connect(
            {"-y", "-d", in.string(), "-t", type, "-b", "65536", "-s", "こんにちは", a.string(), b.string()});
        EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
        EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
        EXPECT_TRUE(HasLine(*connector, "connected 127.0.0.1"));
        EXPECT_TRUE(HasLine(*connector, "done " + a.filename().string() + " 転送完了"));
        EXPECT_TRUE(HasLine(*listener, "offer " + a.filename().string() + " 300000"));
        EXPECT_TRUE(HasLine(*listener, "done " + b.filename().string() + " 転送完了"));
        EXPECT_TRUE(HasLine(*listener, "message こんにちは"));
        EXPECT_EQ(ReadAll(in / a.filename()), ReadAll(a));
        EXPECT_EQ(ReadAll(in / b.filename()), ReadAll(b));
    }
}

TEST_F(Fwpost, OffersAreDeniedWithoutATerminalAndTheSenderFails) {
    const auto a = box.WriteRandomFile("out/a.bin", 1000, 1);
    auto listener = Listen({});
    auto connector = Connect({a.string()});
    EXPECT_EQ(connector->Wait(), 1);
    EXPECT_EQ(listener->Wait(), 0);
    EXPECT_TRUE(HasLine(*connector, "done a.bin 拒否"));
    EXPECT_TRUE(HasLine(*listener, "offer a.bin 1000"));
    EXPECT_FALSE(std::filesystem::exists(in / "a.bin"));
}

TEST_F(Fwpost, OffersAreAskedOnATerminal) {
    const auto a = box.WriteRandomFile("out/a.bin", 1000, 1);
    const auto b = box.WriteRandomFile("out/b.bin", 2000, 2);
    TProcess listener(FwpostPath, {"listen", "-p", "0", "-c", config, "-d", in.string()}, box.Root().string(),
                      nullptr, true);
    const auto line = listener.WaitForLine("listening ");
    ASSERT_TRUE(line);
    auto connector = Connect({a.string(), b.string()}, std::stoi(line->substr(10)));
    ASSERT_TRUE(listener.WaitForLine("offer a.bin 1000"));
    listener.WriteInput("y\n");
    ASSERT_TRUE(listener.WaitForLine("offer b.bin 2000"));
    listener.WriteInput("n\n");
    EXPECT_EQ(connector->Wait(), 1);
    EXPECT_EQ(listener.Wait(), 0);
    EXPECT_TRUE(HasLine(*connector, "done a.bin 転送完了"));
    EXPECT_TRUE(HasLine(*connector, "done b.bin 拒否"));
    EXPECT_EQ(ReadAll(in / "a.bin"), ReadAll(a));
    EXPECT_FALSE(std::filesystem::exists(in / "b.bin"));
    EXPECT_NE(listener.ErrorOutput().find("a.bin (1000 B) を受信しますか？ [y/N]"), std::string::npos);
}

TEST_F(Fwpost, SettingsComeFromTheConfigFileUnlessAFlagSaysOtherwise) {
    config =
        box.WriteFile("auto.ini", "[Config]\r\nAutoReceive=1\r\nReceiveTo=" + in.string() + "\r\n").string();
    const auto a = box.WriteRandomFile("out/a.bin", 5000, 1);
    auto listener = Listen({});
    auto connector = Connect({a.string()});
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0);
    EXPECT_EQ(ReadAll(in / "a.bin"), ReadAll(a));
}

TEST_F(Fwpost, UsageErrorsAndFailedStartsExitWithTwo) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"connect"},
                                               {"listen", "--packet-type", "zip"},
                                               {"listen", "-c", box.Path("missing.ini").string()}}) {
        TProcess process(FwpostPath, args, box.Root().string());
        EXPECT_EQ(process.Wait(), 2);
    }
    TProcess help(FwpostPath, {"--help"});
    EXPECT_EQ(help.Wait(), 0);
    ASSERT_FALSE(help.Lines().empty());
    EXPECT_EQ(help.Lines()[0], "usage:");
}

TEST_F(Fwpost, RefusedConnectionAndForeignProtocolEndWithTwoAndAMessage) {
    int freePort = 0;
    {
        TRawPeer probe;
        freePort = probe.Listen();
    }
    TProcess refused(FwpostPath, {"connect", "127.0.0.1", "-p", std::to_string(freePort), "-c", config},
                     box.Root().string());
    EXPECT_EQ(refused.Wait(), 2);
    EXPECT_NE(refused.ErrorOutput().find("接続に失敗しました。"), std::string::npos);

    TRawPeer foreign;
    const int foreignPort = foreign.Listen();
    TProcess process(FwpostPath, {"connect", "127.0.0.1", "-p", std::to_string(foreignPort), "-c", config},
                     box.Root().string());
    ASSERT_TRUE(foreign.Accept());
    foreign.SendLines({"Other Protocol 1.0", "127.0.0.1"});
    EXPECT_EQ(process.Wait(), 2);
    EXPECT_NE(process.ErrorOutput().find("プロトコルのバージョンが違います。"), std::string::npos)
        << process.ErrorOutput();
}

TEST_F(Fwpost, FullDiskEndsWithReceiverErrorOnBothExitStatuses) {
    const auto a = box.WriteRandomFile("out/a.bin", 2'000'000, 1);
    auto listener = Listen({"-y", "-d", in.string()}, [] {
        rlimit limit{300'000, 300'000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    auto connector = Connect({"-b", "262144", a.string()});
    EXPECT_EQ(connector->Wait(), 1);
    EXPECT_EQ(listener->Wait(), 1);
    EXPECT_TRUE(HasLine(*listener, "done a.bin 受信側エラー")) << listener->ErrorOutput();
    EXPECT_TRUE(HasLine(*connector, "done a.bin 中断"));
}

TEST_F(Fwpost, InterruptClosesTheSessionInOrder) {
    const auto a = box.WriteRandomFile("out/a.bin", 3'000'000, 1);
    auto listener = Listen({"-y", "-d", in.string()});
    // Limited, so that the transfer is still running when the signal comes.
    auto connector = Connect({"-b", "8192", "--limit-rate", "1M", a.string()});
    ASSERT_TRUE(listener->WaitForLine("offer a.bin"));
    listener->Signal(SIGINT);
    EXPECT_EQ(listener->Wait(), 1);
    EXPECT_EQ(connector->Wait(), 1);
    EXPECT_TRUE(HasLine(*listener, "done a.bin 中断"));
    EXPECT_TRUE(HasLine(*connector, "done a.bin 中断"));
    EXPECT_TRUE(HasLine(*connector, "disconnected"));
}

TEST_F(Fwpost, ChatLinesArriveInOrderWhileAFileIsOnItsWay) {
    const auto a = box.WriteRandomFile("out/a.bin", 12'000'000, 3);
    auto listener = Listen({"-y", "-d", in.string(), "-q"});
    // Limited to about four seconds, so that the lines are sent while the file moves.
    auto connector = Connect({"--chat", "--limit-rate", "3M", "-q", a.string()});
    ASSERT_TRUE(listener->WaitForLine("offer a.bin"));
    connector->WriteInput("一行目\nsecond line\r\n\nthird\n");
    connector->CloseInput();
    for (const char* line : {"message 一行目", "message second line", "message third"})
        EXPECT_TRUE(listener->WaitForLine(line)) << line;
    EXPECT_TRUE(listener->WaitForLine("done a.bin 転送完了"));
    // The end of the input did not end the session; the end of its transfer did.
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    std::vector<std::string> messages;
    for (const auto& line : listener->Lines())
        if (line.starts_with("message "))
            messages.push_back(line);
    EXPECT_EQ(messages, (std::vector<std::string>{"message 一行目", "message second line", "message third"}));
    EXPECT_EQ(ReadAll(in / "a.bin"), ReadAll(a));
}

TEST_F(Fwpost, LimitRateIsNotExceeded) {
    const auto a = box.WriteRandomFile("out/a.bin", 10 << 20, 4);
    auto listener = Listen({"-y", "-d", in.string(), "-q"});
    auto connector = Connect({"--limit-rate", "1M", "-q", a.string()});
    ASSERT_TRUE(listener->WaitForLine("offer a.bin"));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(listener->WaitForLine("done a.bin", 60s));
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Ten seconds at the limit; a loaded machine may only make it slower.
    EXPECT_GE(seconds, 9.0);
    EXPECT_LE(seconds, 40.0);
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(ReadAll(in / "a.bin"), ReadAll(a));
}

TEST_F(Fwpost, CutLinkIsRebuiltAndTheFilesEndUpIdentical) {
    const auto up = box.WriteRandomFile("out/up.bin", 4'000'000, 1);
    const auto down = box.WriteRandomFile("out/down.bin", 2'000'000, 2);
    // Limited, so that the cut comes in the middle of both transfers.
    auto listener =
        Listen({"-y", "-d", in.string(), "-b", "131072", "-q", "--limit-rate", "1M", down.string()});
    TForwardingProxy proxy(port);
    auto connector = Connect(
        {"-y", "-d", in.string(), "-b", "131072", "-q", "--limit-rate", "1M", up.string()}, proxy.Port());
    // Cut once a good part has gone through.
    for (int i = 0; i < 2000 && proxy.BytesForwarded() < 1'000'000; ++i)
        std::this_thread::sleep_for(5ms);
    proxy.Cut();
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_TRUE(HasLine(*connector, "reconnected"));
    EXPECT_GE(proxy.Connections(), 2);
    EXPECT_EQ(ReadAll(in / "up.bin"), ReadAll(up));
    EXPECT_EQ(ReadAll(in / "down.bin"), ReadAll(down));
}

TEST_F(Fwpost, PeersFindEachOtherThroughTheEasyConnectionService) {
    TFakeEasyService service;
    service.SetReply("open", 200, "200 OK");
    service.SetReply("close", 200, "200 OK");
    const auto a = box.WriteRandomFile("out/a.bin", 20'000, 1);
    auto listener = Listen({"-y", "-d", in.string(), "--register", "alice", "--service-url", service.URL()});
    ASSERT_NE(port, 0);
    service.SetReply("get", 200, "IP = 127.0.0.1\r\nPort = " + std::to_string(port) + "\r\n");
    TProcess connector(
        FwpostPath, {"connect", "--user", "alice", "-c", config, "--service-url", service.URL(), a.string()},
        box.Root().string());
    EXPECT_EQ(connector.Wait(), 0) << connector.ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_TRUE(HasLine(*listener, "registered alice"));
    EXPECT_TRUE(HasLine(connector, "found alice 127.0.0.1 " + std::to_string(port)));
    EXPECT_EQ(ReadAll(in / "a.bin"), ReadAll(a));
    std::vector<std::string> targets;
    for (const auto& request : service.Requests()) {
        targets.push_back(request.Target.substr(request.Target.find('?')));
        EXPECT_EQ(request.UserAgent, "fwpost/1.0");
    }
    const std::vector<std::string> expected = {
        "?mode=open&user=alice&port=" + std::to_string(port) + "&ip=",
        "?mode=get&user=alice",
        "?mode=close&user=alice",
    };
    EXPECT_EQ(targets, expected);
}

TEST_F(Fwpost, TakenNameAndUnknownNameAreToldClearly) {
    TFakeEasyService service;
    service.SetReply("open", 200, "409 name in use");
    auto listener = Listen({"--register", "bob", "--service-url", service.URL()});
    EXPECT_EQ(listener->Wait(), 2);
    EXPECT_NE(listener->ErrorOutput().find("簡単接続サービスの登録に失敗しました。"), std::string::npos);

    service.SetReply("get", 200, "error = unknown\r\n");
    TProcess connector(FwpostPath,
                       {"connect", "--user", "nobody", "-c", config, "--service-url", service.URL()},
                       box.Root().string());
    EXPECT_EQ(connector.Wait(), 2);
    EXPECT_NE(connector.ErrorOutput().find("相手の接続先が見つかりませんでした。"), std::string::npos);
    int gets = 0;
    for (const auto& request : service.Requests())
        gets += request.Target.find("mode=get") != std::string::npos;
    EXPECT_EQ(gets, 5);
}

TEST_F(Fwpost, RouterPortIsMappedWhileTheSessionLastsAndCanBeManagedByHand) {
    TLoopbackGateway gateway;
    gateway.SetAnswers({gateway.GatewayAnswer()});
    gateway.SetSOAPPolicy([](const std::string& request) -> std::optional<TLoopbackGateway::TSOAPAnswer> {
        std::string body = "<s:Envelope><s:Body><u:Response></u:Response></s:Body></s:Envelope>\r\n";
        if (request.find("GetExternalIPAddress") != std::string::npos)
            body = "<NewExternalIPAddress>203.0.113.7</NewExternalIPAddress>\r\n";
        return TLoopbackGateway::TSOAPAnswer{
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, true};
    });
    const std::string target = gateway.SearchTarget();
    const auto toGateway = [target] { ::setenv("FWP_SSDP_TARGET", target.c_str(), 1); };
    const auto a = box.WriteRandomFile("out/a.bin", 1000, 1);
    auto listener = Listen({"-y", "-d", in.string(), "--upnp"}, toGateway);
    ASSERT_NE(port, 0);
    auto connector = Connect({a.string()});
    EXPECT_EQ(connector->Wait(), 0);
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_TRUE(HasLine(*listener, "mapped " + std::to_string(port)));
    EXPECT_TRUE(HasLine(*listener, "external-address 203.0.113.7"));
    EXPECT_TRUE(HasLine(*listener, "unmapped " + std::to_string(port)));

    TProcess show(FwpostPath, {"upnp"}, box.Root().string(), toGateway);
    EXPECT_EQ(show.Wait(), 0);
    EXPECT_TRUE(HasLine(show, "control-url " + gateway.ControlURL()));
    TProcess add(FwpostPath, {"upnp", "add", "4006"}, box.Root().string(), toGateway);
    EXPECT_EQ(add.Wait(), 0);
    EXPECT_TRUE(HasLine(add, "mapped 4006"));
    TProcess remove(FwpostPath, {"upnp", "delete", "4006"}, box.Root().string(), toGateway);
    EXPECT_EQ(remove.Wait(), 0);
    int adds = 0;
    int deletes = 0;
    for (const auto& request : gateway.SOAPRequests()) {
        adds += request.find("#AddPortMapping") != std::string::npos;
        deletes += request.find("#DeletePortMapping") != std::string::npos;
    }
    EXPECT_EQ(adds, 2);
    EXPECT_EQ(deletes, 2);
    TProcess none(FwpostPath, {"upnp"}, box.Root().string());  // the search is off: no router
    EXPECT_EQ(none.Wait(), 2);
}

}  // namespace
}  // namespace fwp::test
