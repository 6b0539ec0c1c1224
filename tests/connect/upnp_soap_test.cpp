#include "connect/upnp.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/connect/loopback_gateway.h"
#include "tests/connect/tcp_server.h"

namespace fwp {
namespace {

using namespace std::chrono_literals;
using test::TLoopbackGateway;

// The request bytes below are written out from the router protocol's
// description by hand: three header styles, each followed by one LF and the
// body. The control URL is the gateway's http://127.0.0.1:PORT/upnp/control/WANIPConn1.

std::string Style1(std::uint16_t port, std::string_view action, std::string_view body) {
    return "POST /upnp/control/WANIPConn1 HTTP/1.1\n"
           "Content-Type: text/xml; charset=\"utf-8\"\n"
           "Accept: */*\n"
           "SOAPAction: \"urn:schemas-upnp-org:service:WANIPConnection:1#" +
           std::string(action) +
           "\"\n"
           "User-Agent: Mozilla/4.0 (compatible; UPnP/1.0; Windows 9x)\n"
           "Host: 127.0.0.1:" +
           std::to_string(port) +
           "\n"
           "Content-Length: " +
           std::to_string(body.size()) +
           "\n"
           "Connection: Close\n"
           "Pragma: no-cache\n"
           "\n" +
           std::string(body);
}

std::string Style2(std::uint16_t port, std::string_view action, std::string_view body) {
    return "POST /upnp/control/WANIPConn1 HTTP/1.1\n"
           "Accept: */*\n"
           "Accept-Language: ja\n"
           "soapaction: urn:schemas-upnp-org:service:WANIPConnection:1#" +
           std::string(action) +
           "\n"
           "Accept-Encoding: gzip, deflate\n"
           "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)\n"
           "Host: 127.0.0.1:" +
           std::to_string(port) +
           "\n"
           "Content-Length: " +
           std::to_string(body.size()) +
           "\n"
           "Connection: Close\n"
           "Cache-Control: no-cache\n"
           "\n" +
           std::string(body);
}

std::string Style3(std::uint16_t port, std::string_view action, std::string_view body) {
    return "POST /upnp/control/WANIPConn1 HTTP/1.1\r\n"
           "soapaction: urn:schemas-upnp-org:service:WANIPConnection:1#" +
           std::string(action) +
           "\r\n"
           "Host: 127.0.0.1:" +
           std::to_string(port) +
           "\r\n"
           "Content-Length: " +
           std::to_string(body.size()) +
           "\r\n"
           "\n" +
           std::string(body);
}

constexpr std::string_view G1 =
    "<?xml version=\"1.0\"?>\r\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><SOAP-ENV:Body>"
    "<m:GetExternalIPAddress xmlns:m=\"urn:schemas-upnp-org:service:WANIPConnection:1\"/>"
    "</SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n";

constexpr std::string_view G2 =
    "<?xml version=\"1.0\"?>\r\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
    "<SOAP-ENV:Body>\r\n"
    "<m:GetExternalIPAddress xmlns:m=\"urn:schemas-upnp-org:service:WANIPConnection:1\">\r\n"
    "</m:GetExternalIPAddress>\r\n"
    "</SOAP-ENV:Body>\r\n"
    "</SOAP-ENV:Envelope>\r\n";

// AddPortMapping(50000, 4006, UDP) for 192.168.0.10.
constexpr std::string_view A1 = R"(<?xml version="1.0"?>
<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">
<SOAP-ENV:Body>
<m:AddPortMapping xmlns:m="urn:schemas-upnp-org:service:WANIPConnection:1">
<NewRemoteHost></NewRemoteHost>
<NewExternalPort>50000</NewExternalPort>
<NewProtocol>UDP</NewProtocol>
<NewInternalPort>4006</NewInternalPort>
<NewInternalClient>192.168.0.10</NewInternalClient>
<NewEnabled>1</NewEnabled>
<NewPortMappingDescription>Vellbrun UPnP Component</NewPortMappingDescription>
<NewLeaseDuration>0</NewLeaseDuration>
</m:AddPortMapping>
</SOAP-ENV:Body>
</SOAP-ENV:Envelope>
)";

constexpr std::string_view A2 = R"(<?xml version="1.0"?>
<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><SOAP-ENV:Body><m:AddPortMapping xmlns:m="urn:schemas-upnp-org:service:WANIPConnection:1"><NewEnabled>1</NewEnabled><NewExternalPort>50000</NewExternalPort><NewInternalClient>192.168.0.10</NewInternalClient><NewInternalPort>4006</NewInternalPort><NewLeaseDuration>0</NewLeaseDuration><NewPortMappingDescription>UPnP by Tamsquill</NewPortMappingDescription><NewProtocol>UDP</NewProtocol><NewRemoteHost></NewRemoteHost></m:AddPortMapping></SOAP-ENV:Body></SOAP-ENV:Envelope>
)";

constexpr std::string_view A3 = R"(<?xml version="1.0"?>
<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><SOAP-ENV:Body><m:AddPortMapping xmlns:m="urn:schemas-upnp-org:service:WANIPConnection:1"><NewEnabled xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="ui2">1</NewEnabled><NewExternalPort xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="ui2">50000</NewExternalPort><NewInternalClient xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="string">192.168.0.10</NewInternalClient><NewInternalPort xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="ui2">4006</NewInternalPort><NewLeaseDuration xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="ui2">0</NewLeaseDuration><NewPortMappingDescription xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="string">ploven</NewPortMappingDescription><NewProtocol xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="string">UDP</NewProtocol><NewRemoteHost xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="string"></NewRemoteHost></m:AddPortMapping></SOAP-ENV:Body></SOAP-ENV:Envelope>
)";

// AddPortMapping(4006, 4006, TCP) for 192.168.0.10.
constexpr std::string_view A1Tcp = R"(<?xml version="1.0"?>
<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">
<SOAP-ENV:Body>
<m:AddPortMapping xmlns:m="urn:schemas-upnp-org:service:WANIPConnection:1">
<NewRemoteHost></NewRemoteHost>
<NewExternalPort>4006</NewExternalPort>
<NewProtocol>TCP</NewProtocol>
<NewInternalPort>4006</NewInternalPort>
<NewInternalClient>192.168.0.10</NewInternalClient>
<NewEnabled>1</NewEnabled>
<NewPortMappingDescription>Vellbrun UPnP Component</NewPortMappingDescription>
<NewLeaseDuration>0</NewLeaseDuration>
</m:AddPortMapping>
</SOAP-ENV:Body>
</SOAP-ENV:Envelope>
)";

// DeletePortMapping(4006, TCP).
constexpr std::string_view D1 =
    "<?xml version=\"1.0\"?>\r\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
    "<SOAP-ENV:Body>\r\n"
    "<m:DeletePortMapping xmlns:m=\"urn:schemas-upnp-org:service:WANIPConnection:1\">\r\n"
    "<NewExternalPort xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" "
    "dt:dt=\"ui2\">4006</NewExternalPort>\r\n"
    "<NewProtocol xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"string\">TCP</NewProtocol>\r\n"
    "<NewRemoteHost xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"string\"></NewRemoteHost>\r\n"
    "</m:DeletePortMapping>\r\n"
    "</SOAP-ENV:Body>\r\n"
    "</SOAP-ENV:Envelope>\r\n";

constexpr std::string_view D2 =
    "<?xml version=\"1.0\"?>\r\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
    "<SOAP-ENV:Body>\r\n"
    "<m:DeletePortMapping xmlns:m=\"urn:schemas-upnp-org:service:WANIPConnection:1\">\r\n"
    "<NewRemoteHost></NewRemoteHost>\r\n"
    "<NewExternalPort>4006</NewExternalPort>\r\n"
    "<NewProtocol>TCP</NewProtocol>\r\n"
    "</m:DeletePortMapping>\r\n"
    "</SOAP-ENV:Body>\r\n"
    "</SOAP-ENV:Envelope>";

// Answers as routers write them.
std::string Ok(std::string_view body) {
    return "HTTP/1.1 200 OK\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nServer: Loopback UPnP/1.0\r\n\r\n" + std::string(body);
}

std::string AddressAnswer(std::string_view address) {
    return Ok(
        "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
        "<u:GetExternalIPAddressResponse xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">"
        "<NewExternalIPAddress>" +
        std::string(address) +
        "</NewExternalIPAddress></u:GetExternalIPAddressResponse></s:Body></s:Envelope>\r\n");
}

const std::string Refused =
    "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

const std::string Fault =
    Ok("<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><s:Fault>"
       "<faultstring>UPnPError</faultstring><detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">"
       "<errorCode>718</errorCode><errorDescription>ConflictInMappingEntry</errorDescription>"
       "</UPnPError></detail></s:Fault></s:Body></s:Envelope>");

bool EndsWith(std::string_view text, std::string_view end) {
    return text.ends_with(end);
}

// A controller pointed at the loopback gateway's WAN connection service.
class Soap : public ::testing::Test {
protected:
    Soap() : controller(Options(10s)) {
        controller.SetService(gateway.ControlURL(), std::string(TLoopbackGateway::ServiceType));
    }

    static TUPnPOptions Options(std::chrono::milliseconds replyWait) {
        TUPnPOptions options;
        options.ReplyWait = replyWait;
        options.InternalClient = "192.168.0.10";
        return options;
    }

    // Each attempt against a silent router ends after this short wait.
    void ExpectSilence() {
        controller.Options().ReplyWait = 100ms;
        gateway.SetSOAPPolicy([](const std::string&) { return std::nullopt; });
    }

    std::uint16_t Port() const { return gateway.ControlPort(); }

    TLoopbackGateway gateway;
    TUPnPController controller;
};

TEST_F(Soap, ExternalAddressFromTheFirstStyle) {
    gateway.SetSOAPPolicy(
        [](const std::string&) { return TLoopbackGateway::TSOAPAnswer{AddressAnswer("203.0.113.7")}; });
    EXPECT_EQ(controller.GetExternalIPAddress(), "203.0.113.7");
    EXPECT_EQ(gateway.SOAPRequests(), (std::vector<std::string>{Style1(Port(), "GetExternalIPAddress", G1)}));
}

TEST_F(Soap, RouterThatUnderstandsOnlyTheSecondStyle) {
    gateway.SetSOAPPolicy([](const std::string& request) {
        const bool second = request.find("\nAccept-Language: ja\n") != std::string::npos;
        return TLoopbackGateway::TSOAPAnswer{second ? AddressAnswer("198.51.100.20") : Refused};
    });
    EXPECT_EQ(controller.GetExternalIPAddress(), "198.51.100.20");
    EXPECT_EQ(gateway.SOAPRequests(), (std::vector<std::string>{Style1(Port(), "GetExternalIPAddress", G1),
                                                                Style2(Port(), "GetExternalIPAddress", G1)}));
}

TEST_F(Soap, RouterThatUnderstandsOnlyTheThirdStyle) {
    gateway.SetSOAPPolicy([](const std::string& request) {
        const bool third = request.starts_with("POST /upnp/control/WANIPConn1 HTTP/1.1\r\n");
        return TLoopbackGateway::TSOAPAnswer{third ? Ok("<x>ok</x>") : Refused};
    });
    EXPECT_TRUE(controller.AddPortMapping(4006, 4006, 0));
    EXPECT_EQ(gateway.SOAPRequests(), (std::vector<std::string>{Style1(Port(), "AddPortMapping", A1Tcp),
                                                                Style2(Port(), "AddPortMapping", A1Tcp),
                                                                Style3(Port(), "AddPortMapping", A1Tcp)}));
}

TEST_F(Soap, ExternalAddressFallsBackToTheSecondBody) {
    // First answers that carry no dotted address: an empty element, a word,
    // no element at all, an element never closed.
    const std::string firstAnswers[] = {AddressAnswer(""), AddressAnswer("unknown"), Ok("<x>ok</x>"),
                                        Ok("<NewExternalIPAddress>192.0.2.1")};
    for (const std::string& firstAnswer : firstAnswers) {
        SCOPED_TRACE(firstAnswer);
        TLoopbackGateway router;
        controller.SetService(router.ControlURL(), std::string(TLoopbackGateway::ServiceType));
        router.SetSOAPPolicy([&](const std::string& request) {
            return TLoopbackGateway::TSOAPAnswer{EndsWith(request, G1) ? firstAnswer
                                                                       : AddressAnswer("192.0.2.44")};
        });
        EXPECT_EQ(controller.GetExternalIPAddress(), "192.0.2.44");
        const std::uint16_t port = router.ControlPort();
        EXPECT_EQ(router.SOAPRequests(),
                  (std::vector<std::string>{Style1(port, "GetExternalIPAddress", G1),
                                            Style1(port, "GetExternalIPAddress", G2)}));
    }
}

TEST_F(Soap, SilentRouterGetsNineMappingRequestsAndNoHang) {
    ExpectSilence();
    EXPECT_FALSE(controller.AddPortMapping(50000, 4006, 1));
    const std::vector<std::string> expected = {
        Style1(Port(), "AddPortMapping", A1), Style2(Port(), "AddPortMapping", A1),
        Style3(Port(), "AddPortMapping", A1), Style1(Port(), "AddPortMapping", A2),
        Style2(Port(), "AddPortMapping", A2), Style3(Port(), "AddPortMapping", A2),
        Style1(Port(), "AddPortMapping", A3), Style2(Port(), "AddPortMapping", A3),
        Style3(Port(), "AddPortMapping", A3),
    };
    EXPECT_EQ(gateway.SOAPRequests(), expected);
}

TEST_F(Soap, SilentRouterGetsBothDeleteBodiesInAllStyles) {
    ExpectSilence();
    EXPECT_FALSE(controller.DeletePortMapping(4006, 0));
    const std::vector<std::string> expected = {
        Style1(Port(), "DeletePortMapping", D1), Style2(Port(), "DeletePortMapping", D1),
        Style3(Port(), "DeletePortMapping", D1), Style1(Port(), "DeletePortMapping", D2),
        Style2(Port(), "DeletePortMapping", D2), Style3(Port(), "DeletePortMapping", D2),
    };
    EXPECT_EQ(gateway.SOAPRequests(), expected);
}

TEST_F(Soap, SilentRouterGivesNoExternalAddressAfterBothBodies) {
    ExpectSilence();
    EXPECT_EQ(controller.GetExternalIPAddress(), "");
    const std::vector<std::string> expected = {
        Style1(Port(), "GetExternalIPAddress", G1), Style2(Port(), "GetExternalIPAddress", G1),
        Style3(Port(), "GetExternalIPAddress", G1), Style1(Port(), "GetExternalIPAddress", G2),
        Style2(Port(), "GetExternalIPAddress", G2), Style3(Port(), "GetExternalIPAddress", G2),
    };
    EXPECT_EQ(gateway.SOAPRequests(), expected);
}

TEST_F(Soap, ProtocolOtherThanTcpOrUdpSendsNothing) {
    gateway.SetSOAPPolicy([](const std::string&) { return TLoopbackGateway::TSOAPAnswer{Ok("")}; });
    EXPECT_FALSE(controller.AddPortMapping(4006, 4006, 2));
    EXPECT_FALSE(controller.AddPortMapping(4006, 4006, -1));
    EXPECT_FALSE(controller.DeletePortMapping(4006, 2));
    EXPECT_TRUE(gateway.SOAPRequests().empty());
}

TEST_F(Soap, ErrorInAnAnswerWith200MovesOnToTheNextBody) {
    gateway.SetSOAPPolicy([](const std::string& request) {
        const bool first = request.find("Vellbrun UPnP Component") != std::string::npos;
        return TLoopbackGateway::TSOAPAnswer{first ? Fault : Ok("<u:AddPortMappingResponse/>")};
    });
    EXPECT_TRUE(controller.AddPortMapping(50000, 4006, 1));
    EXPECT_EQ(gateway.SOAPRequests(), (std::vector<std::string>{Style1(Port(), "AddPortMapping", A1),
                                                                Style1(Port(), "AddPortMapping", A2)}));
}

TEST_F(Soap, StatusOf2xxOtherThan200TriesEveryStyleAndStillCounts) {
    gateway.SetSOAPPolicy(
        [](const std::string&) { return TLoopbackGateway::TSOAPAnswer{"HTTP/1.1 204 No Content\r\n\r\n"}; });
    EXPECT_TRUE(controller.DeletePortMapping(4006, 0));
    EXPECT_EQ(gateway.SOAPRequests(), (std::vector<std::string>{Style1(Port(), "DeletePortMapping", D1),
                                                                Style2(Port(), "DeletePortMapping", D1),
                                                                Style3(Port(), "DeletePortMapping", D1)}));
}

TEST_F(Soap, StatusIsReadFromCharacters10To12) {
    struct TCase {
        std::string_view statusLine;
        int status;
    };
    const TCase cases[] = {
        {"HTTP/1.1 404 Not Found", 404},
        {"HTTP/1.0 500 Internal Server Error", 500},
        {"HTTP/1.1 OK", 400},
        {"HTTP/1.1", 400},
        {"", 400},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.statusLine);
        const std::string answer = std::string(test.statusLine) + "\r\nContent-Length: 0\r\n\r\n";
        gateway.SetSOAPPolicy([&](const std::string&) { return TLoopbackGateway::TSOAPAnswer{answer}; });
        const TSOAPReply reply = controller.SendSOAPRequest("GetExternalIPAddress", G1);
        EXPECT_EQ(reply.Status, test.status);
        EXPECT_EQ(reply.Response, "");
    }
}

TEST_F(Soap, ContentLengthEndsTheAnswerOnAConnectionThatStaysOpen) {
    // The last body line has no line end, and more bytes follow the body.
    const std::string body = "<a>1</a>\r\n<b>2</b>";
    gateway.SetSOAPPolicy([&](const std::string&) {
        return TLoopbackGateway::TSOAPAnswer{
            "HTTP/1.1 200 OK\r\ncontent-length:  " + std::to_string(body.size()) + "\r\n\r\n" + body +
                "NOT PART OF THE BODY\r\n",
            false};
    });
    const TSOAPReply reply = controller.SendSOAPRequest("GetExternalIPAddress", G1);
    EXPECT_EQ(reply.Status, 200);
    EXPECT_EQ(reply.Response, "<a>1</a>\r\n<b>2</b>\r\n");
    EXPECT_EQ(gateway.SOAPRequests().size(), 1u);
}

TEST_F(Soap, WithoutContentLengthTheAnswerEndsAtAnEmptyLine) {
    gateway.SetSOAPPolicy([](const std::string&) {
        return TLoopbackGateway::TSOAPAnswer{
            "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nline one\r\nline two\r\n\r\nafter the gap\r\n"};
    });
    const TSOAPReply reply = controller.SendSOAPRequest("GetExternalIPAddress", G1);
    EXPECT_EQ(reply.Status, 200);
    EXPECT_EQ(reply.Response, "line one\r\nline two\r\n");
}

TEST_F(Soap, AnswerPastTheSizeLimitCountsAsNone) {
    controller.Options().MaxReplyBytes = 1024;
    gateway.SetSOAPPolicy([](const std::string&) {
        return TLoopbackGateway::TSOAPAnswer{
            Ok("<NewExternalIPAddress>192.0.2.1</NewExternalIPAddress>" + std::string(4096, ' '))};
    });
    const TSOAPReply reply = controller.SendSOAPRequest("GetExternalIPAddress", G1);
    EXPECT_EQ(reply.Status, 0);
    EXPECT_EQ(reply.Response, "");
    EXPECT_EQ(gateway.SOAPRequests().size(), 3u);
}

TEST_F(Soap, UnreachableRouterGivesNothing) {
    const test::TClosedPort closed;
    controller.SetService(closed.URL("/upnp/control/WANIPConn1"), std::string(TLoopbackGateway::ServiceType));
    const TSOAPReply reply = controller.SendSOAPRequest("GetExternalIPAddress", G1);
    EXPECT_EQ(reply.Status, 0);
    EXPECT_EQ(reply.Response, "");
    EXPECT_EQ(controller.GetExternalIPAddress(), "");
    EXPECT_FALSE(controller.AddPortMapping(4006, 4006, 0));
}

TEST(UPnPController, WithoutAGatewayEveryActionIsEmptyOrFalse) {
    TUPnPController controller;
    EXPECT_EQ(controller.GetExternalIPAddress(), "");
    EXPECT_FALSE(controller.AddPortMapping(4006, 4006, 0));
    EXPECT_FALSE(controller.DeletePortMapping(4006, 0));
}

}  // namespace
}  // namespace fwp
