#include "connect/upnp.h"

#include <chrono>
#include <cstdlib>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/connect/loopback_gateway.h"

namespace fwp {
namespace {

using namespace std::chrono_literals;
using test::TLoopbackGateway;

// The search request, written out: five header lines and the empty line, each
// ended by CR LF, and the whole request twice in one datagram.
constexpr std::string_view OneSearch =
    "M-SEARCH * HTTP/1.1\r\n"
    "MX: 3\r\n"
    "HOST: 239.255.255.250:1900\r\n"
    "MAN: \"ssdp:discover\"\r\n"
    "ST: upnp:rootdevice\r\n"
    "\r\n";

// Every test here searches only the gateway it runs on loopback.
class Discovery : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("FWP_SSDP_TARGET", gateway.SearchTarget().c_str(), 1); }
    void TearDown() override { ::setenv("FWP_SSDP_TARGET", "off", 1); }

    // Waits long enough for a loaded machine; an answer ends the wait at once.
    static TUPnPOptions Patient() {
        TUPnPOptions options;
        options.SearchWait = 20s;
        return options;
    }

    TLoopbackGateway gateway;
};

TEST_F(Discovery, SearchIsOneRequestWrittenTwiceAndFindsTheGateway) {
    gateway.SetAnswers({gateway.GatewayAnswer()});
    TUPnPController controller(Patient());
    ASSERT_TRUE(controller.Discover());
    EXPECT_EQ(controller.ControlURL(), gateway.ControlURL());
    EXPECT_EQ(controller.ServiceType(), "urn:schemas-upnp-org:service:WANIPConnection:1");

    const auto searches = gateway.Searches();
    ASSERT_FALSE(searches.empty());
    for (const TLoopbackGateway::TSearch& search : searches) {
        EXPECT_EQ(search.Datagram.size(), 202u);
        EXPECT_EQ(search.Datagram, std::string(OneSearch) + std::string(OneSearch));
    }
    EXPECT_EQ(gateway.DescriptionFetches(), 1);
    EXPECT_EQ(gateway.LastDescriptionAgent(), "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)");
}

TEST_F(Discovery, FirstAnswerWithoutLocationEndsTheSearchEvenIfAGatewayAnswersNext) {
    gateway.SetAnswers({"HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nSERVER: Printer/1.0 UPnP/1.0\r\n\r\n",
                        gateway.GatewayAnswer()});
    TUPnPController controller(Patient());
    EXPECT_FALSE(controller.Discover());
    EXPECT_EQ(controller.ControlURL(), "");
    EXPECT_EQ(gateway.DescriptionFetches(), 0);
}

TEST_F(Discovery, LocationAndDescriptionLeadToTheControlURL) {
    std::string noURLBase = gateway.GatewayDescription();
    const std::size_t start = noURLBase.find("<URLBase>");
    noURLBase.erase(start, noURLBase.find("</URLBase>") + 10 - start);
    const std::string capitals =
        "HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nLOCATION:" + gateway.DescriptionURL() + "\r\n\r\n";
    struct TCase {
        const char* name;
        std::string answer;
        std::string description;
        std::string controlURL;  // empty: nothing found
    };
    const TCase cases[] = {
        {"location in capitals without a blank", capitals, gateway.GatewayDescription(),
         gateway.ControlURL()},
        {"no URLBase: the location's host", gateway.GatewayAnswer(), noURLBase,
         "http://" + gateway.DescriptionHostAndPort() + "/upnp/control/WANIPConn1"},
        {"an error page", gateway.GatewayAnswer(), "<html><body>404 Not Found</body></html>", ""},
        {"a device that is no gateway", gateway.GatewayAnswer(), "<root><device/></root>", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        gateway.SetAnswers({c.answer});
        gateway.SetDescription(c.description);
        TUPnPController controller(Patient());
        EXPECT_EQ(controller.Discover(), !c.controlURL.empty());
        EXPECT_EQ(controller.ControlURL(), c.controlURL);
    }
}

TEST_F(Discovery, FailedDiscoveryForgetsAnEarlierGateway) {
    gateway.SetAnswers({gateway.GatewayAnswer()});
    TUPnPOptions options = Patient();
    TUPnPController controller(options);
    ASSERT_TRUE(controller.Discover());
    gateway.SetAnswers({});
    controller.Options().SearchWait = 200ms;
    EXPECT_FALSE(controller.Discover());
    EXPECT_EQ(controller.ControlURL(), "");
}

TEST_F(Discovery, TakenPortMovesTheSearchSocketUpward) {
    // Hold a UDP port, then ask the mapper to start its search there.
    const int held = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(held, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(held, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::uint16_t taken = ntohs(address.sin_port);
    ASSERT_LT(taken, 65000);

    gateway.SetAnswers({gateway.GatewayAnswer()});
    TUPnPOptions options = Patient();
    options.FirstLocalPort = taken;
    TUPnPController controller(options);
    EXPECT_TRUE(controller.Discover());
    const auto searches = gateway.Searches();
    ASSERT_FALSE(searches.empty());
    // The next port, unless something else holds that one too.
    EXPECT_GT(searches[0].SourcePort, taken);
    EXPECT_LE(searches[0].SourcePort, taken + 64);
    ::close(held);
}

TEST_F(Discovery, SearchSwitchedOffSendsNothingAndDoesNotWait) {
    ::setenv("FWP_SSDP_TARGET", "off", 1);
    gateway.SetAnswers({gateway.GatewayAnswer()});
    TUPnPOptions options;
    options.SearchWait = 60s;
    TUPnPController controller(options);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(controller.Discover());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_TRUE(gateway.Searches().empty());
}

}  // namespace
}  // namespace fwp
