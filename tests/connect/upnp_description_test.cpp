// The description, answer and URL rules of the mapper, checked on texts
// alone: nothing here touches a socket.
#include "connect/natpmp.h"
#include "connect/upnp.h"
#include "connect/upnp_wire.h"

#include <cstdlib>
#include <optional>
#include <string>

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "tests/connect/loopback_gateway.h"

namespace fwp {
namespace {

using test::GatewayDescriptionXml;

constexpr std::string_view Location = "http://192.168.0.1:2869/upnphost/udhisapi.dll?content=uuid:1";

TEST(UPnPDescription, ControlURLIsURLBaseOrElseTheLocationsHostAndPortWithTheControlPathAppended) {
    constexpr std::string_view IP = "urn:schemas-upnp-org:service:WANIPConnection:1";
    constexpr std::string_view PPP = "urn:schemas-upnp-org:service:WANPPPConnection:1";
    constexpr std::string_view IP2 = "urn:schemas-upnp-org:service:WANIPConnection:2";
    struct TCase {
        std::string_view urlBase;
        std::string_view control;
        std::string_view expected;
        std::string_view serviceType = IP;
    };
    const TCase cases[] = {
        // Without URLBase only the location's host and port count, not its path.
        {"", "/upnp/control/WANIPConn1", "http://192.168.0.1:2869/upnp/control/WANIPConn1"},
        // One trailing slash of URLBase is dropped.
        {"<URLBase>http://10.0.0.1:5000/</URLBase>", "/ctl/IPConn", "http://10.0.0.1:5000/ctl/IPConn"},
        {"<URLBase>http://10.0.0.1:5000</URLBase>", "/ctl/IPConn", "http://10.0.0.1:5000/ctl/IPConn"},
        {"<URLBase>http://10.0.0.1:5000//</URLBase>", "/ctl/IPConn", "http://10.0.0.1:5000//ctl/IPConn"},
        {"<URLBase>\n  http://10.0.0.1:5000/\n</URLBase>", "/ctl/IPConn", "http://10.0.0.1:5000/ctl/IPConn"},
        // An empty control URL is no failure: the base alone remains.
        {"<URLBase>http://10.0.0.1:5000/</URLBase>", "", "http://10.0.0.1:5000"},
        // The control URL is appended as it is, even when it is not relative.
        {"", "ctl", "http://192.168.0.1:2869ctl"},
        {"", "/ppp", "http://192.168.0.1:2869/ppp", PPP},
        {"", "/ctl/IPConn", "http://192.168.0.1:2869/ctl/IPConn", IP2},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.urlBase);
        std::string controlURL;
        std::string serviceType;
        EXPECT_TRUE(upnp::ParseDeviceDescription(
            Location, GatewayDescriptionXml(test.urlBase, test.control, test.serviceType), controlURL,
            serviceType));
        EXPECT_EQ(controlURL, test.expected);
        EXPECT_EQ(serviceType, test.serviceType);
    }
}

TEST(UPnPDescription, ConnectionServiceIsFoundWhenAnotherServiceIsListedFirst) {
    struct TCase {
        std::string_view firstType;
        std::string_view control;
        std::string_view type;
    };
    const TCase cases[] = {
        // A firewall service first: the connection device's PPP service is next.
        {"urn:schemas-upnp-org:service:WANIPv6FirewallControl:1", "http://192.168.0.1:2869/second",
         "urn:schemas-upnp-org:service:WANPPPConnection:1"},
        {"urn:schemas-upnp-org:service:WANEthernetLinkConfig:1", "http://192.168.0.1:2869/second",
         "urn:schemas-upnp-org:service:WANPPPConnection:1"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.firstType);
        std::string controlURL;
        std::string serviceType;
        EXPECT_TRUE(upnp::ParseDeviceDescription(Location, GatewayDescriptionXml("", "/fw", test.firstType),
                                                 controlURL, serviceType));
        EXPECT_EQ(controlURL, test.control);
        EXPECT_EQ(serviceType, test.type);
    }
    // A WANIPConnection service anywhere goes before a PPP one.
    std::string xml = GatewayDescriptionXml("", "/fw", "urn:schemas-upnp-org:service:DeviceProtection:1");
    const std::string ppp = "urn:schemas-upnp-org:service:WANPPPConnection:1";
    xml.replace(xml.find(ppp), ppp.size(), "urn:schemas-upnp-org:service:WANIPConnection:2");
    std::string controlURL;
    std::string serviceType;
    EXPECT_TRUE(upnp::ParseDeviceDescription(Location, xml, controlURL, serviceType));
    EXPECT_EQ(serviceType, "urn:schemas-upnp-org:service:WANIPConnection:2");
}

TEST(UPnPDescription, MissingStepOfThePathOrTextThatIsNotXmlFindsNothing) {
    // The description with the first element of that name after marker
    // renamed, so that the XML stays well formed and only that step is missing.
    const auto without = [](std::string_view element, std::string_view marker) {
        std::string text = GatewayDescriptionXml("", "/ctl");
        const std::size_t openAt = text.find("<" + std::string(element) + ">", text.find(marker));
        text.insert(text.find("</" + std::string(element) + ">", openAt) + 2, "x");
        text.insert(openAt + 1, "x");
        return text;
    };
    constexpr std::string_view WANDevice = "WANDevice:1</deviceType>";
    constexpr std::string_view ConnectionDevice = "WANConnectionDevice:1</deviceType>";
    const std::string cases[] = {
        "<html><body>404 Not Found</body></html",
        "",
        "not xml at all",
        without("deviceList", WANDevice),
        without("serviceList", ConnectionDevice),
        // The second service of the connection device still has both.
        without("controlURL", ConnectionDevice),
        without("serviceType", ConnectionDevice),
    };
    for (const std::string& xml : cases) {
        SCOPED_TRACE(xml.substr(0, 120));
        std::string controlURL = "stale";
        std::string serviceType = "stale";
        EXPECT_FALSE(upnp::ParseDeviceDescription(Location, xml, controlURL, serviceType));
        EXPECT_EQ(controlURL, "");
        EXPECT_EQ(serviceType, "");
    }
}

TEST(UPnPDescription, ControlURLSplitsIntoHostPortAndAShortPath) {
    upnp::TControlTarget target = upnp::SplitControlURL("http://10.0.0.138/upnp/control?svc=1");
    EXPECT_EQ(target.Host, "10.0.0.138");
    EXPECT_EQ(target.Port, "80");
    EXPECT_EQ(target.Path, "/upnp/control?svc=1");

    const std::string longPath = "/" + std::string(300, 'p');
    target = upnp::SplitControlURL("http://10.0.0.138:49152" + longPath);
    EXPECT_EQ(target.Port, "49152");
    EXPECT_EQ(target.Path, longPath.substr(0, 255));
}

TEST(UPnPDescription, LocationComesFromTheFirstLocationLineInAnyCase) {
    struct TCase {
        std::string_view answer;
        std::string_view location;
    };
    const TCase cases[] = {
        {"HTTP/1.1 200 OK\r\nLOCATION: http://192.168.0.1:2869/d.xml\r\nST: upnp:rootdevice\r\n\r\n",
         "http://192.168.0.1:2869/d.xml"},
        {"HTTP/1.1 200 OK\r\nLOCATION:http://192.168.0.1/d.xml\r\n\r\n", "http://192.168.0.1/d.xml"},
        {"HTTP/1.1 200 OK\nlocation: \t http://192.168.0.1/d.xml \t\nLocation: http://other/\n",
         "http://192.168.0.1/d.xml"},
        {"HTTP/1.1 200 OK\rLocAtIoN:http://a/b\r", "http://a/b"},
        {"HTTP/1.1 200 OK\r\nX-Location: http://a/b\r\nST: upnp:rootdevice\r\n\r\n", ""},
        {"HTTP/1.1 200 OK\r\nLOCATIO\r\n\r\n", ""},
        {"", ""},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.answer);
        EXPECT_EQ(upnp::LocationFromAnswer(test.answer), test.location);
    }
}

TEST(UPnPDescription, SearchTargetVariableChoosesWhereTheSearchGoes) {
    EXPECT_FALSE(upnp::SearchTargetFrom("off").Send);
    for (const char* unreadable : {"", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                                   "localhost:1900", "OFF", "::1:1900"}) {
        SCOPED_TRACE(unreadable);
        EXPECT_FALSE(upnp::SearchTargetFrom(unreadable).Send);
    }
    const upnp::TSearchTarget group = upnp::SearchTargetFrom(nullptr);
    EXPECT_TRUE(group.Send);
    EXPECT_EQ(ntohl(group.Address.sin_addr.s_addr), 0xEFFFFFFAu);  // 239.255.255.250
    EXPECT_EQ(ntohs(group.Address.sin_port), 1900);
    const upnp::TSearchTarget local = upnp::SearchTargetFrom("127.0.0.1:40123");
    EXPECT_TRUE(local.Send);
    EXPECT_EQ(ntohl(local.Address.sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(ntohs(local.Address.sin_port), 40123);
}

TEST(NatPmpGateway, VariablesChooseWhereRequestsGoAndAPointedSearchKeepsThemHome) {
    struct TCase {
        const char* search;   // FWP_SSDP_TARGET, nullptr for unset
        const char* gateway;  // FWP_NATPMP_GATEWAY, nullptr for unset
        std::optional<in_addr_t> expected;
    };
    const TCase cases[] = {
        {nullptr, nullptr, 0},  // the default gateway
        {"off", nullptr, std::nullopt},
        {"127.0.0.1:1900", nullptr, std::nullopt},
        {"off", "192.0.2.1", htonl(0xC0000201)},
        {nullptr, "off", std::nullopt},
        {nullptr, "gateway", std::nullopt},
        {nullptr, "0.0.0.0", std::nullopt},
        {nullptr, "2001:db8::1", std::nullopt},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.search ? c.search : "-") + " " + (c.gateway ? c.gateway : "-"));
        c.search ? ::setenv("FWP_SSDP_TARGET", c.search, 1) : ::unsetenv("FWP_SSDP_TARGET");
        c.gateway ? ::setenv("FWP_NATPMP_GATEWAY", c.gateway, 1) : ::unsetenv("FWP_NATPMP_GATEWAY");
        EXPECT_EQ(NatPmpGatewayFromEnvironment(), c.expected);
    }
    ::setenv("FWP_SSDP_TARGET", "off", 1);
    ::unsetenv("FWP_NATPMP_GATEWAY");
}

TEST(LocalAddress, OnlyAddressesThatReachBeyondTheSiteCountAsGlobalIPv6) {
    for (const char* global : {"2001:db8::1", "2a00:1450:4001:80b::200e", "2001:db8:0:1::abcd"})
        EXPECT_TRUE(IsGlobalIPv6Address(global)) << global;
    for (const char* other :
         {"::1", "::", "fe80::1", "fd12:3456::1", "fc00::1", "ff02::1", "::ffff:192.0.2.1", "fec0::1",
          "192.0.2.1", "", "2001:db8::1::2", "[2001:db8::1]"})
        EXPECT_FALSE(IsGlobalIPv6Address(other)) << other;
}

}  // namespace
}  // namespace fwp
