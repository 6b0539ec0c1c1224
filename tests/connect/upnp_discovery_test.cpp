#include "connect/upnp.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/connect/loopback_gateway.h"
#include "tests/connect/tcp_server.h"

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
    EXPECT_EQ(controller.ServiceType(), TLoopbackGateway::ServiceType);

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

TEST_F(Discovery, EveryDiscoveryReplacesTheControlURLAndAFailedOneLeavesItEmpty) {
    const std::string answer = gateway.GatewayAnswer();
    struct TCase {
        const char* name;
        std::vector<std::string> answers;
        std::string description;
        std::string controlURL;  // empty: nothing found
    };
    const TCase cases[] = {
        {"URLBase names the SOAP server", {answer}, gateway.GatewayDescription(), gateway.ControlURL()},
        {"an error page", {answer}, "<html><body>404 Not Found</body></html>", ""},
        {"no URLBase: the location's host",
         {answer},
         test::GatewayDescriptionXml("", TLoopbackGateway::ControlPath),
         "http://" + gateway.DescriptionHostAndPort() + std::string(TLoopbackGateway::ControlPath)},
        {"no answer to the search", {}, gateway.GatewayDescription(), ""},
    };
    // One controller for all, so that each failure comes after a success.
    TUPnPController controller(Patient());
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        gateway.SetAnswers(c.answers);
        gateway.SetDescription(c.description);
        controller.Options().SearchWait = c.answers.empty() ? 200ms : 20s;
        EXPECT_EQ(controller.Discover(), !c.controlURL.empty());
        EXPECT_EQ(controller.ControlURL(), c.controlURL);
        EXPECT_EQ(controller.ServiceType(), c.controlURL.empty() ? "" : TLoopbackGateway::ServiceType);
    }
}

TEST_F(Discovery, TakenPortMovesTheSearchSocketUpward) {
    // Hold a UDP port, then ask the mapper to start its search there.
    const test::TClosedPort taken(SOCK_DGRAM);
    ASSERT_LT(taken.Port(), 65000);
    gateway.SetAnswers({gateway.GatewayAnswer()});
    TUPnPOptions options = Patient();
    options.FirstLocalPort = taken.Port();
    TUPnPController controller(options);
    EXPECT_TRUE(controller.Discover());
    const auto searches = gateway.Searches();
    ASSERT_FALSE(searches.empty());
    // The next port, unless something else holds that one too.
    EXPECT_GT(searches[0].SourcePort, taken.Port());
    EXPECT_LE(searches[0].SourcePort, taken.Port() + 64);
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
