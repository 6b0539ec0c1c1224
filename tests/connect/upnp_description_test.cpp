// The description, answer and URL rules of the mapper, checked on texts
// alone: nothing here touches a socket.
#include "connect/upnp_wire.h"

#include <string>

#include <arpa/inet.h>

#include <gtest/gtest.h>

namespace fwp {
namespace {

// A description in the shape routers send, with the URLBase line and the
// WAN connection service's control URL to be filled in.
std::string Description(std::string_view urlBaseLine, std::string_view controlURL,
                        std::string_view serviceType = "urn:schemas-upnp-org:service:WANIPConnection:1") {
    return std::string(R"(<?xml version="1.0" encoding="utf-8"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
)") + std::string(urlBaseLine) +
           R"(
<device>
<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
<deviceList>
<device>
<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>
<deviceList>
<device>
<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>
<serviceList>
<service>
<serviceType>)" +
           std::string(serviceType) + R"(</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>
<controlURL>)" +
           std::string(controlURL) + R"(</controlURL>
</service>
<service>
<serviceType>urn:schemas-upnp-org:service:WANPPPConnection:1</serviceType>
<controlURL>/second</controlURL>
</service>
</serviceList>
</device>
</deviceList>
</device>
</deviceList>
</device>
</root>
)";
}

TEST(UPnPDescription, WithoutURLBaseTheLocationsHostAndPortAreTheBase) {
    std::string controlURL;
    std::string serviceType;
    ASSERT_TRUE(upnp::ParseDeviceDescription("http://192.168.0.1:2869/upnphost/udhisapi.dll?content=uuid:1",
                                             Description("", "/upnp/control/WANIPConn1"), controlURL,
                                             serviceType));
    EXPECT_EQ(controlURL, "http://192.168.0.1:2869/upnp/control/WANIPConn1");
    EXPECT_EQ(serviceType, "urn:schemas-upnp-org:service:WANIPConnection:1");

    // The SOAP requests then go to that host, port and path.
    const upnp::TControlTarget target = upnp::SplitControlURL(controlURL);
    EXPECT_EQ(target.Host, "192.168.0.1");
    EXPECT_EQ(target.Port, "2869");
    EXPECT_EQ(target.Path, "/upnp/control/WANIPConn1");
    const std::string header = upnp::SOAPHeader(3, target, serviceType, "GetExternalIPAddress", 10);
    EXPECT_EQ(header,
              "POST /upnp/control/WANIPConn1 HTTP/1.1\r\n"
              "soapaction: urn:schemas-upnp-org:service:WANIPConnection:1#GetExternalIPAddress\r\n"
              "Host: 192.168.0.1:2869\r\n"
              "Content-Length: 10\r\n");
}

TEST(UPnPDescription, URLBaseIsUsedWithOneTrailingSlashDroppedAndTheServiceTypeAsWritten) {
    constexpr std::string_view IP = "urn:schemas-upnp-org:service:WANIPConnection:1";
    constexpr std::string_view PPP = "urn:schemas-upnp-org:service:WANPPPConnection:1";
    struct TCase {
        std::string_view urlBase;
        std::string_view control;
        std::string_view expected;
        std::string_view serviceType = IP;
    };
    const TCase cases[] = {
        {"<URLBase>http://10.0.0.1:5000/</URLBase>", "/ctl/IPConn", "http://10.0.0.1:5000/ctl/IPConn"},
        {"<URLBase>http://10.0.0.1:5000</URLBase>", "/ctl/IPConn", "http://10.0.0.1:5000/ctl/IPConn"},
        {"<URLBase>http://10.0.0.1:5000//</URLBase>", "/ctl/IPConn", "http://10.0.0.1:5000//ctl/IPConn"},
        {"<URLBase>\n  http://10.0.0.1:5000/\n</URLBase>", "/ctl/IPConn", "http://10.0.0.1:5000/ctl/IPConn"},
        // An empty control URL is no failure: the base alone remains.
        {"<URLBase>http://10.0.0.1:5000/</URLBase>", "", "http://10.0.0.1:5000"},
        // The control URL is appended as it is, even when it is not relative.
        {"", "ctl", "http://192.168.0.1:2869ctl"},
        {"", "/ppp", "http://192.168.0.1:2869/ppp", PPP},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.urlBase);
        std::string controlURL;
        std::string serviceType;
        EXPECT_TRUE(upnp::ParseDeviceDescription("http://192.168.0.1:2869/desc.xml",
                                                 Description(test.urlBase, test.control, test.serviceType),
                                                 controlURL, serviceType));
        EXPECT_EQ(controlURL, test.expected);
        EXPECT_EQ(serviceType, test.serviceType);
    }
}

TEST(UPnPDescription, MissingStepOfThePathOrTextThatIsNotXmlFindsNothing) {
    const std::string good = Description("", "/ctl");
    const auto without = [&](std::string_view element) {
        std::string text = good;
        const std::string open = "<" + std::string(element) + ">";
        const std::string close = "</" + std::string(element) + ">";
        // Renames the first element of that name to close, so the XML stays
        // well formed and only the name is missing.
        const std::size_t closeAt = text.find(close);
        const std::size_t openAt = text.rfind(open, closeAt);
        text.replace(closeAt, close.size(), "</x" + close.substr(2));
        text.replace(openAt, open.size(), "<x" + open.substr(1));
        return text;
    };
    const std::string cases[] = {
        "<html><body>404 Not Found</body></html",
        "",
        "not xml at all",
        without("deviceList"),
        without("serviceList"),
        without("controlURL"),
        without("serviceType"),
        // Only two device levels: the WAN connection device is missing.
        R"(<root><device><deviceList><device><serviceList><service><serviceType>t</serviceType>)"
        R"(<controlURL>/c</controlURL></service></serviceList></device></deviceList></device></root>)",
    };
    for (const std::string& xml : cases) {
        SCOPED_TRACE(xml.substr(0, 120));
        std::string controlURL = "stale";
        std::string serviceType = "stale";
        EXPECT_FALSE(
            upnp::ParseDeviceDescription("http://192.168.0.1:2869/desc.xml", xml, controlURL, serviceType));
        EXPECT_EQ(controlURL, "");
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

}  // namespace
}  // namespace fwp
