#include "connect/easy_service.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/connect/easy_service_fixture.h"
#include "tests/connect/tcp_server.h"

namespace fwp {
namespace {

using test::TFakeEasyService;

constexpr std::string_view ApachePage =
    "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\n<html><head>\n<title>404 Not Found</title>\n"
    "</head><body>\n<h1>Not Found</h1>\n</body></html>\n";

std::vector<std::string> Targets(const TFakeEasyService& service) {
    std::vector<std::string> targets;
    for (const TFakeEasyService::TRequest& request : service.Requests())
        targets.push_back(request.Target);
    return targets;
}

void ExpectServiceGoneNotice(const TEasyServiceResult& result) {
    EXPECT_FALSE(result);
    ASSERT_TRUE(result.Notice);
    EXPECT_EQ(result.Notice->Text, "簡易接続サービスを利用できません。最新バージョンを入手してください。");
    EXPECT_EQ(result.Notice->Title, "エラー");
    EXPECT_EQ(result.Notice->Kind, TNoticeKind::nkError);
}

TEST(EasyService, EachRegistrationClosesThePreviousOneAndTheEndClosesTheLastOnce) {
    TFakeEasyService service;
    service.SetReply("open", 200, "200 OK\nregistered\n");
    service.SetReply("get", 200, "ip=10.0.0.5\nport=4006\n");
    service.SetReply("close", 200, "whatever the script says");
    TEasyServiceClient client(service.URL());
    client.CloseRegistration();  // nothing registered: no request
    const TEasyServiceResult result = client.EasyServiceOpen("alice", 4006, "203.0.113.5");
    EXPECT_TRUE(result);
    EXPECT_FALSE(result.Notice);
    EXPECT_EQ(client.RegisteredUser(), "alice");
    // Names go out as escaped CP932; an unknown address goes out empty.
    ASSERT_TRUE(client.EasyServiceOpen("太郎 x", 4007, ""));
    EXPECT_EQ(client.RegisteredUser(), "太郎 x");
    std::string ip;
    int port = 0;
    EXPECT_TRUE(client.EasyServiceGet("a&b=c", ip, port));
    // A refused registration leaves none registered.
    service.SetReply("open", 200, "409 name taken");
    EXPECT_FALSE(client.EasyServiceOpen("carol", 4006, ""));
    EXPECT_EQ(client.RegisteredUser(), "");
    service.SetReply("open", 200, "200");
    ASSERT_TRUE(client.EasyServiceOpen("bob", 4006, ""));
    client.CloseRegistration();
    client.CloseRegistration();
    EXPECT_EQ(client.RegisteredUser(), "");
    EXPECT_EQ(Targets(service), (std::vector<std::string>{
                                    "/easy.cgi?mode=open&user=alice&port=4006&ip=203.0.113.5",
                                    "/easy.cgi?mode=close&user=alice",
                                    "/easy.cgi?mode=open&user=%91%BE%98Y%20x&port=4007&ip=",
                                    "/easy.cgi?mode=get&user=a&b=c",
                                    "/easy.cgi?mode=close&user=%91%BE%98Y%20x",
                                    "/easy.cgi?mode=open&user=carol&port=4006&ip=",
                                    "/easy.cgi?mode=open&user=bob&port=4006&ip=",
                                    "/easy.cgi?mode=close&user=bob",
                                }));
    for (const TFakeEasyService::TRequest& request : service.Requests())
        EXPECT_EQ(request.UserAgent, "fwpost/1.0");
}

TEST(EasyService, OpenSucceedsOnlyWhenTheReplyStartsWith200) {
    struct TCase {
        int status;
        std::string_view body;
        bool registered;
    };
    const TCase cases[] = {
        {200, "200", true},     {200, "200 registered, welcome", true},
        {200, "OK 200", false}, {200, " 200", false},
        {200, "", false},       {500, "500 taken", false},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.body);
        TFakeEasyService service;
        service.SetReply("open", test.status, std::string(test.body));
        TEasyServiceClient client(service.URL());
        const TEasyServiceResult result = client.EasyServiceOpen("alice", 4006, "");
        EXPECT_EQ(static_cast<bool>(result), test.registered);
        EXPECT_FALSE(result.Notice);
        EXPECT_EQ(client.RegisteredUser(), test.registered ? "alice" : "");
    }
}

TEST(EasyService, MissingScriptGivesTheServiceGoneBox) {
    TFakeEasyService service;
    service.SetReply("open", 404, std::string(ApachePage));
    service.SetReply("get", 404, std::string(ApachePage));
    TEasyServiceClient client(service.URL());
    ExpectServiceGoneNotice(client.EasyServiceOpen("alice", 4006, ""));
    EXPECT_EQ(client.RegisteredUser(), "");
    std::string ip;
    int port = 0;
    ExpectServiceGoneNotice(client.EasyServiceGet("alice", ip, port));
    // The text decides, even after a 200 at the start.
    service.SetReply("open", 200, "200 but 404 Not Found");
    ExpectServiceGoneNotice(client.EasyServiceOpen("alice", 4006, ""));
}

TEST(EasyService, NetworkFailureReachesTheCallerAndKeepsTheRegisteredName) {
    TFakeEasyService service;
    service.SetReply("open", 200, "200");
    TEasyServiceClient client(service.URL());
    ASSERT_TRUE(client.EasyServiceOpen("alice", 4006, ""));
    // The service moves away to a port where nothing listens.
    const test::TClosedPort closed;
    client.SetServiceURL(closed.URL("/easy.cgi"));
    try {
        client.EasyServiceOpen("bob", 4006, "");
        ADD_FAILURE() << "no error";
    } catch (const THttpError& error) {
        EXPECT_STREQ(error.what(), "InternetOpenUrl エラー");
    }
    EXPECT_EQ(client.RegisteredUser(), "alice");
    EXPECT_THROW(client.CloseRegistration(), THttpError);
    EXPECT_EQ(client.RegisteredUser(), "alice");
}

TEST(EasyService, GetReadsIpAndPortLinesInAnyCaseOrderAndSpacing) {
    struct TCase {
        std::string_view body;
        bool found;
        std::string_view ip;
        int port;
    };
    const TCase cases[] = {
        {"ip=10.0.0.5\nport=4006\n", true, "10.0.0.5", 4006},
        {"IP = 10.0.0.5\r\nPort = 4006\r\n", true, "10.0.0.5", 4006},
        {"port=4006\r\nip=10.0.0.5", true, "10.0.0.5", 4006},
        {"200 OK\nname=alice\nip=192.0.2.1\nip=192.0.2.2\nport=1\n", true, "192.0.2.1", 1},
        {"port = 4006\rip = 10.0.0.5\r", true, "10.0.0.5", 4006},
        {"port=4006\n", true, "", 4006},
        {"ip=10.0.0.5\nport=abc\n", false, "10.0.0.5", 0},
        {"ip=10.0.0.5\nport=\n", false, "10.0.0.5", 0},
        {"ip=10.0.0.5\nport=40 06\n", false, "10.0.0.5", 0},
        {"ip=10.0.0.5\nport 4006\n", false, "10.0.0.5", 0},
        {"", false, "", 0},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.body);
        TFakeEasyService service;
        service.SetReply("get", 200, std::string(test.body));
        TEasyServiceClient client(service.URL());
        std::string ip = "unchanged";
        int port = 0;
        const TEasyServiceResult result = client.EasyServiceGet("bob", ip, port);
        EXPECT_EQ(static_cast<bool>(result), test.found);
        EXPECT_FALSE(result.Notice);
        if (test.found) {
            EXPECT_EQ(ip, test.ip);
            EXPECT_EQ(port, test.port);
        }
        EXPECT_EQ(Targets(service), std::vector<std::string>{"/easy.cgi?mode=get&user=bob"});
    }
}

TEST(EasyService, AProbeIsAnsweredByTheReachableLineAndNothingWithoutOne) {
    struct TCase {
        int status;
        std::string_view body;
        std::optional<bool> reachable;
    };
    const TCase cases[] = {
        {200, "200 OK\r\nreachable = yes\r\n", true},
        {200, "200 OK\r\nreachable = no\r\n", false},
        {200, "Reachable=yes\n", true},
        {200, "200 OK\r\nreachable = maybe\r\n", std::nullopt},
        // A service that does not offer the check.
        {400, "400 Unknown mode\r\n", std::nullopt},
        {200, "", std::nullopt},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.body);
        TFakeEasyService service;
        service.SetReply("probe", test.status, std::string(test.body));
        const TEasyServiceClient client(service.URL());
        EXPECT_EQ(client.EasyServiceProbe(4006), test.reachable);
        EXPECT_EQ(Targets(service), std::vector<std::string>{"/easy.cgi?mode=probe&port=4006"});
    }
}

}  // namespace
}  // namespace fwp
