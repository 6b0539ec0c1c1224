// fwpost as a user runs it: real processes on loopback.
#include <sys/resource.h>

#include <csignal>

#include <gtest/gtest.h>

#include "engine/address.h"
#include "tests/connect/easy_service_fixture.h"
#include "tests/connect/loopback_gateway.h"
#include "tests/support/loopback.h"
#include "tests/cli/fwpost_fixture.h"
#include "tests/support/process.h"
#include "tests/support/proxy.h"
#include "tests/support/raw_peer.h"
#include "tests/support/sandbox.h"

namespace fwp::test {
namespace {

const std::string FwpostPath = BinaryPath("fwpost");

class Fwpost : public TFwpostTest {};

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

TEST_F(Fwpost, FilesGoOverIPv6AndEachSideNamesTheOther) {
    if (!LoopbackHasIPv6())
        GTEST_SKIP() << "no IPv6 loopback here";
    const auto a = box.WriteRandomFile("out/a6.bin", 100'000, 3);
    auto listener = Listen({"-y", "-d", in.string()});
    ASSERT_NE(port, 0);
    auto connector = Connect({a.string()}, 0, nullptr, "::1");
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_TRUE(HasLine(*connector, "connected ::1"));
    EXPECT_TRUE(HasLine(*listener, "connected ::1"));
    EXPECT_EQ(ReadAll(in / a.filename()), ReadAll(a));
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
    // The listener's reachability check runs beside the rest, in no fixed
    // order; this service does not offer it, so nothing is shown for it.
    std::vector<std::string> targets;
    int probes = 0;
    for (const auto& request : service.Requests()) {
        const std::string query = request.Target.substr(request.Target.find('?'));
        if (query == "?mode=probe&port=" + std::to_string(port))
            ++probes;
        else
            targets.push_back(query);
        EXPECT_EQ(request.UserAgent, "fwpost/1.0");
    }
    const std::vector<std::string> expected = {
        "?mode=open&user=alice&port=" + std::to_string(port) + "&ip=",
        "?mode=get&user=alice",
        "?mode=close&user=alice",
    };
    EXPECT_EQ(targets, expected);
    EXPECT_EQ(probes, 1);
    EXPECT_FALSE(HasLine(*listener, "reachable yes") || HasLine(*listener, "reachable no"));
}

TEST_F(Fwpost, AListenerRegisteredWithTheServiceHearsItIsReachableAndStillTakesItsPeer) {
    TProcess service(BinaryPath("fwpost-rendezvous"), {"--listen", "127.0.0.1:0", "--db", ":memory:"});
    const auto started = service.WaitForLine("listening ");
    ASSERT_TRUE(started) << service.ErrorOutput();
    // "listening 127.0.0.1:PORT /easy.cgi"
    const std::string url = "http://" + started->substr(10, started->find(' ', 10) - 10) + "/easy.cgi";
    const auto a = box.WriteRandomFile("out/a.bin", 20'000, 1);
    auto listener = Listen({"-y", "-d", in.string(), "--register", "alice", "--service-url", url});
    ASSERT_NE(port, 0);
    // The service's check connects to the listener, which must go on waiting.
    EXPECT_EQ(listener->WaitForLine("reachable "), "reachable yes") << listener->ErrorOutput();
    TProcess connector(FwpostPath,
                       {"connect", "--user", "alice", "-c", config, "--service-url", url, a.string()},
                       box.Root().string());
    EXPECT_EQ(connector.Wait(), 0) << connector.ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_EQ(ReadAll(in / "a.bin"), ReadAll(a));
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

// The bytes each side sends in the handshake: banner, address and buffer size lines.
std::uint64_t HandshakeBytes(const std::string& bufferSize) {
    return std::string("Fernwaypost Protocol Version 0.90\r\n").size() + LocalHostAddr().size() + 2 +
           bufferSize.size() + 2;
}

TEST_F(Fwpost, APeerThatVanishesInsideAMessageIsNoticedAtOnce) {
    const auto a = box.WriteRandomFile("out/a.bin", 200'000, 1);
    auto listener = Listen({"-y", "-d", in.string(), "-q"});
    {
        TRawPeer raw;
        ASSERT_TRUE(raw.Connect(port));
        ASSERT_TRUE(raw.Handshake());
        raw.Send("#TRANSDA");
    }
    ASSERT_TRUE(listener->WaitForLine("reconnecting")) << listener->ErrorOutput();
    // The listener waits for its peer again, and a sender gets in.
    auto connector = Connect({"-q", a.string()});
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_TRUE(ReadAll(in / "a.bin") == ReadAll(a));
}

TEST_F(Fwpost, ACutBeforeTheOfferWentOutLosesNothing) {
    const auto a = box.WriteRandomFile("out/a.bin", 300'000, 1);
    const std::uint64_t handshake = HandshakeBytes("65536");
    // Inside the first message after the handshake, and inside the offer behind it.
    for (const std::uint64_t cutAt : {handshake + 5, handshake + 31 + 20}) {
        SCOPED_TRACE(cutAt);
        std::filesystem::remove(in / "a.bin");
        auto listener = Listen({"-y", "-d", in.string(), "-q", "-b", "65536"});
        TForwardingProxy proxy(port);
        proxy.Arm(TProxyDirection::pdUp, cutAt, TProxyFault::pfCut);
        auto connector = Connect({"-q", "-b", "65536", a.string()}, proxy.Port());
        EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
        EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
        EXPECT_TRUE(proxy.Fired());
        EXPECT_TRUE(HasLine(*connector, "reconnected"));
        EXPECT_TRUE(HasLine(*connector, "done a.bin 転送完了"));
        EXPECT_TRUE(ReadAll(in / "a.bin") == ReadAll(a));
    }
}

TEST_F(Fwpost, ASenderThatReconnectsToARestartedReceiverOffersItsFileAgain) {
    const auto a = box.WriteRandomFile("out/a.bin", 3'000'000, 1);
    auto first = Listen({"-y", "-d", in.string(), "-q"});
    const int listenPort = port;
    TForwardingProxy proxy(listenPort);
    proxy.Arm(TProxyDirection::pdUp, 1'000'000, TProxyFault::pfStall);
    auto connector = Connect({"-q", "-b", "65536", a.string()}, proxy.Port());
    for (int i = 0; i < 4000 && !proxy.Fired(); ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(proxy.Fired());
    first->Signal(SIGKILL);
    first->Wait();
    ASSERT_TRUE(connector->WaitForLine("reconnecting"));
    TProcess second(FwpostPath,
                    {"listen", "-p", std::to_string(listenPort), "-c", config, "-y", "-d", in.string(), "-q"},
                    box.Root().string());
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(second.Wait(), 0) << second.ErrorOutput();
    EXPECT_TRUE(HasLine(*connector, "done a.bin 転送完了"));
    EXPECT_TRUE(HasLine(second, "offer a.bin 3000000"));
    EXPECT_TRUE(ReadAll(in / "a.bin") == ReadAll(a));
}

TEST_F(Fwpost, ASenderStartedAgainAfterACrashResumesIntoTheRunningReceiver) {
    const auto a = box.WriteRandomFile("out/a.bin", 3'000'000, 1);
    auto listener = Listen({"-y", "-d", in.string(), "-q"});
    // Slowed down, so that the file is on its way when the sender dies.
    auto crashed = Connect({"-q", "-b", "65536", "--limit-rate", "1M", a.string()});
    const auto arrived = [&] {
        std::error_code ec;
        const auto size = std::filesystem::file_size(in / "a.bin", ec);
        return !ec && size >= 500'000;
    };
    for (int i = 0; i < 4000 && !arrived(); ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(arrived());
    crashed->Signal(SIGKILL);
    crashed->Wait();
    ASSERT_TRUE(listener->WaitForLine("reconnecting"));
    auto again = Connect({"-q", "-b", "65536", a.string()});
    EXPECT_EQ(again->Wait(), 0) << again->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_TRUE(HasLine(*again, "done a.bin 転送完了"));
    EXPECT_TRUE(HasLine(*listener, "done a.bin 中断"));
    EXPECT_TRUE(HasLine(*listener, "done a.bin 転送完了"));
    EXPECT_TRUE(ReadAll(in / "a.bin") == ReadAll(a));
}

TEST_F(Fwpost, StrayConnectionsNeitherEndNorDisturbAListener) {
    const auto a = box.WriteRandomFile("out/a.bin", 100'000, 1);
    auto listener = Listen({"-y", "-d", in.string(), "-q"});
    {
        TRawPeer closesAtOnce;
        ASSERT_TRUE(closesAtOnce.Connect(port));
    }
    {
        TRawPeer speaksSomethingElse;
        ASSERT_TRUE(speaksSomethingElse.Connect(port));
        speaksSomethingElse.SendLines({"GET / HTTP/1.0", ""});
        EXPECT_TRUE(speaksSomethingElse.PeerClosed(20s));
    }
    auto connector = Connect({"-q", "--stay", a.string()});
    ASSERT_TRUE(connector->WaitForLine("done a.bin"));
    // A second peer while the session runs is turned away; the session goes on.
    TRawPeer second;
    ASSERT_TRUE(second.Connect(port));
    EXPECT_TRUE(second.PeerClosed(20s));
    connector->Signal(SIGINT);
    EXPECT_EQ(connector->Wait(), 0) << connector->ErrorOutput();
    EXPECT_EQ(listener->Wait(), 0) << listener->ErrorOutput();
    EXPECT_TRUE(HasLine(*connector, "done a.bin 転送完了"));
    EXPECT_TRUE(ReadAll(in / "a.bin") == ReadAll(a));
}

TEST_F(Fwpost, TheHandshakeAnnouncesTheConfiguredBufferSize) {
    auto listener = Listen({"-b", "262144"});
    TRawPeer raw;
    ASSERT_TRUE(raw.Connect(port));
    raw.SendLines({"Fernwaypost Protocol Version 0.90", "127.0.0.1"});
    ASSERT_TRUE(raw.ReadLine());
    ASSERT_TRUE(raw.ReadLine());
    raw.SendLines({"262144"});
    EXPECT_EQ(raw.ReadLine(), "262144");
    raw.Close();
    listener->Signal(SIGINT);
    listener->Wait();
}

}  // namespace
}  // namespace fwp::test
