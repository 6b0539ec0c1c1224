#include "app/easy_connection.h"

#include <gtest/gtest.h>

#include "tests/connect/easy_service_fixture.h"

namespace fwp {
namespace {

using namespace std::chrono_literals;

TEST(EasyConnection, LookupTriesFiveTimesPausingAfterEachFailure) {
    test::TFakeEasyService service;
    service.SetReply("get", 200, "ip = 10.0.0.5\r\n");  // no port: not found
    TEasyServiceClient client(service.URL());
    std::vector<std::chrono::milliseconds> pauses;
    TLookupPacing pacing;
    pacing.Pause = [&](std::chrono::milliseconds pause) {
        pauses.push_back(pause);
        return true;
    };
    std::string host;
    int port = 0;
    EXPECT_FALSE(LookupEasyConnection(client, "carol", host, port, nullptr, pacing));
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(5, 2000ms));
    EXPECT_EQ(service.Requests().size(), 5u);
}

TEST(EasyConnection, LookupStopsAtTheFirstAnswerWithAPort) {
    test::TFakeEasyService service;
    service.SetReply("get", 200, "");
    TEasyServiceClient client(service.URL());
    int pauses = 0;
    TLookupPacing pacing;
    pacing.Pause = [&](std::chrono::milliseconds) {
        if (++pauses == 2)
            service.SetReply("get", 200, "Port = 4006\r\nIP = 10.0.0.5\r\n");
        return true;
    };
    std::string host;
    int port = 0;
    ASSERT_TRUE(LookupEasyConnection(client, "carol", host, port, nullptr, pacing));
    EXPECT_EQ(host, "10.0.0.5");
    EXPECT_EQ(port, 4006);
    EXPECT_EQ(service.Requests().size(), 3u);
}

TEST(EasyConnection, CancelledPauseEndsTheLookupAndNoticesArePassedOn) {
    test::TFakeEasyService service;
    service.SetReply("get", 404, "<h1>404 Not Found</h1>");
    TEasyServiceClient client(service.URL());
    std::vector<std::string> notices;
    TLookupPacing pacing;
    pacing.Pause = [](std::chrono::milliseconds) { return false; };
    std::string host;
    int port = 0;
    EXPECT_FALSE(LookupEasyConnection(
        client, "carol", host, port, [&](const TNotice& notice) { notices.push_back(notice.Text); }, pacing));
    EXPECT_EQ(service.Requests().size(), 1u);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], "簡易接続サービスを利用できません。最新バージョンを入手してください。");
}

TEST(EasyConnection, RegistrationSucceedsOnlyOnAReplyStartingWith200) {
    test::TFakeEasyService service;
    TEasyServiceClient client(service.URL());
    service.SetReply("open", 200, "200 registered");
    EXPECT_TRUE(RegisterEasyConnection(client, "dave", 4006, "203.0.113.7", nullptr));
    EXPECT_EQ(client.RegisteredUser(), "dave");
    service.SetReply("open", 200, "taken 200");
    EXPECT_FALSE(RegisterEasyConnection(client, "erin", 4006, "", nullptr));
}

}  // namespace
}  // namespace fwp
