#include "connect/upnp.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/connect/loopback_gateway.h"
#include "tests/connect/tcp_server.h"

namespace fwp {
namespace {

using namespace std::chrono_literals;
using test::TLoopbackGateway;

// The request bytes below are written out by hand: four header styles, each
// followed by its empty line and the body. The control URL is the gateway's
// http://127.0.0.1:PORT/upnp/control/WANIPConn1; "@A", "@P" and "@L" stand for
// the action, the port and the body's length.
constexpr std::string_view StyleHeaders[] = {
    "POST /upnp/control/WANIPConn1 HTTP/1.1\r\n"
    "Host: 127.0.0.1:@P\r\n"
    "Content-Type: text/xml; charset=\"utf-8\"\r\n"
    "SOAPAction: \"urn:schemas-upnp-org:service:WANIPConnection:1#@A\"\r\n"
    "Content-Length: @L\r\n"
    "Connection: close\r\n",

    "POST /upnp/control/WANIPConn1 HTTP/1.1\n"
    "Content-Type: text/xml; charset=\"utf-8\"\n"
    "Accept: */*\n"
    "SOAPAction: \"urn:schemas-upnp-org:service:WANIPConnection:1#@A\"\n"
    "User-Agent: Mozilla/4.0 (compatible; UPnP/1.0; Windows 9x)\n"
    "Host: 127.0.0.1:@P\n"
    "Content-Length: @L\n"
    "Connection: Close\n"
    "Pragma: no-cache\n",

    "POST /upnp/control/WANIPConn1 HTTP/1.1\n"
    "Accept: */*\n"
    "Accept-Language: ja\n"
    "soapaction: urn:schemas-upnp-org:service:WANIPConnection:1#@A\n"
    "Accept-Encoding: gzip, deflate\n"
    "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)\n"
    "Host: 127.0.0.1:@P\n"
    "Content-Length: @L\n"
    "Connection: Close\n"
    "Cache-Control: no-cache\n",

    "POST /upnp/control/WANIPConn1 HTTP/1.1\r\n"
    "soapaction: urn:schemas-upnp-org:service:WANIPConnection:1#@A\r\n"
    "Host: 127.0.0.1:@P\r\n"
    "Content-Length: @L\r\n",
};

std::string Replaced(std::string text, std::string_view what, std::string_view with) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

// The request of header style 0 to 3. The header of CR LF lines ends in an
// empty CR LF line, the header of LF lines in an empty LF line.
std::string Request(int style, std::uint16_t port, std::string_view action, std::string_view body) {
    std::string header = Replaced(std::string(StyleHeaders[style]), "@A", action);
    header = Replaced(Replaced(header, "@P", std::to_string(port)), "@L", std::to_string(body.size()));
    return header + (style == 1 || style == 2 ? "\n" : "\r\n") + std::string(body);
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

// AddPortMapping(4006, 4006, TCP) for 192.168.0.10: A1 with two values changed.
const std::string A1Tcp =
    Replaced(Replaced(std::string(A1), "<NewExternalPort>50000<", "<NewExternalPort>4006<"), "UDP", "TCP");

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

    std::uint16_t Port() const { return gateway.ControlPort(); }

    TLoopbackGateway gateway;
    TUPnPController controller;
};

TEST_F(Soap, RouterThatUnderstandsOneHeaderStyleIsAskedInEveryStyleUpToItThenInItFirst) {
    for (int understood = 0; understood <= 3; ++understood) {
        SCOPED_TRACE(understood);
        TLoopbackGateway router;
        // A fresh controller: one remembers what its router took.
        TUPnPController fresh(Options(10s));
        const std::uint16_t port = router.ControlPort();
        fresh.SetService(router.ControlURL(), std::string(TLoopbackGateway::ServiceType));
        router.SetSOAPPolicy([&](const std::string& request) {
            const bool known = request == Request(understood, port, "GetExternalIPAddress", G1) ||
                               request == Request(understood, port, "AddPortMapping", A1Tcp);
            return TLoopbackGateway::TSOAPAnswer{known ? AddressAnswer("203.0.113.7") : Refused};
        });
        EXPECT_EQ(fresh.GetExternalIPAddress(), "203.0.113.7");
        EXPECT_TRUE(fresh.AddPortMapping(4006, 4006, 0));
        std::vector<std::string> expected;
        for (int style = 0; style <= understood; ++style)
            expected.push_back(Request(style, port, "GetExternalIPAddress", G1));
        expected.push_back(Request(understood, port, "AddPortMapping", A1Tcp));
        EXPECT_EQ(router.SOAPRequests(), expected);
    }
}

TEST_F(Soap, ExternalAddressFallsBackToTheSecondBody) {
    // First answers that carry no dotted address: an empty element, a word,
    // no element at all, an element never closed.
    const std::string firstAnswers[] = {AddressAnswer(""), AddressAnswer("unknown"), Ok("<x>ok</x>"),
                                        Ok("<NewExternalIPAddress>192.0.2.1")};
    for (const std::string& firstAnswer : firstAnswers) {
        SCOPED_TRACE(firstAnswer);
        TLoopbackGateway router;
        // A fresh controller: one remembers what its router took.
        TUPnPController fresh(Options(10s));
        fresh.SetService(router.ControlURL(), std::string(TLoopbackGateway::ServiceType));
        router.SetSOAPPolicy([&](const std::string& request) {
            return TLoopbackGateway::TSOAPAnswer{request.ends_with(G1) ? firstAnswer
                                                                       : AddressAnswer("192.0.2.44")};
        });
        EXPECT_EQ(fresh.GetExternalIPAddress(), "192.0.2.44");
        const std::uint16_t port = router.ControlPort();
        EXPECT_EQ(router.SOAPRequests(),
                  (std::vector<std::string>{Request(0, port, "GetExternalIPAddress", G1),
                                            Request(0, port, "GetExternalIPAddress", G2)}));
    }
}

TEST_F(Soap, SilentRouterGetsEveryBodyInEveryStyleAndNoHang) {
    struct TCase {
        const char* action;
        std::function<bool(TUPnPController&)> call;
        std::vector<std::string_view> bodies;
    };
    const TCase cases[] = {
        // Twelve mapping requests.
        {"AddPortMapping", [](TUPnPController& c) { return c.AddPortMapping(50000, 4006, 1); }, {A1, A2, A3}},
        {"DeletePortMapping", [](TUPnPController& c) { return c.DeletePortMapping(4006, 0); }, {D1, D2}},
        {"GetExternalIPAddress",
         [](TUPnPController& c) { return !c.GetExternalIPAddress().empty(); },
         {G1, G2}},
    };
    // Each attempt against a router that never answers ends after this short wait.
    controller.Options().ReplyWait = 100ms;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.action);
        TLoopbackGateway router;  // without a policy it keeps silent
        controller.SetService(router.ControlURL(), std::string(TLoopbackGateway::ServiceType));
        EXPECT_FALSE(c.call(controller));
        std::vector<std::string> expected;
        for (std::string_view body : c.bodies) {
            for (int style = 0; style <= 3; ++style)
                expected.push_back(Request(style, router.ControlPort(), c.action, body));
        }
        EXPECT_EQ(router.SOAPRequests(), expected);
    }
}

TEST_F(Soap, EveryBodyNamesTheServiceItIsSentTo) {
    for (const std::string_view type : {"urn:schemas-upnp-org:service:WANIPConnection:2",
                                        "urn:schemas-upnp-org:service:WANPPPConnection:1"}) {
        SCOPED_TRACE(type);
        TLoopbackGateway router;
        controller.SetService(router.ControlURL(), std::string(type));
        router.SetSOAPPolicy(
            [](const std::string&) { return TLoopbackGateway::TSOAPAnswer{AddressAnswer("192.0.2.44")}; });
        EXPECT_EQ(controller.GetExternalIPAddress(), "192.0.2.44");
        EXPECT_TRUE(controller.AddPortMapping(4006, 4006, 0));
        EXPECT_TRUE(controller.DeletePortMapping(4006, 0));
        const std::vector<std::string> requests = router.SOAPRequests();
        ASSERT_EQ(requests.size(), 3u);
        for (const std::string& request : requests) {
            SCOPED_TRACE(request);
            const std::size_t action = request.find("SOAPAction: \"" + std::string(type) + "#");
            EXPECT_NE(action, std::string::npos);
            EXPECT_NE(request.find("xmlns:m=\"" + std::string(type) + "\""), std::string::npos);
            EXPECT_EQ(request.find("WANIPConnection:1"), std::string::npos);
        }
    }
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
    EXPECT_EQ(gateway.SOAPRequests(), (std::vector<std::string>{Request(0, Port(), "AddPortMapping", A1),
                                                                Request(0, Port(), "AddPortMapping", A2)}));
    // The body the router took goes first next time.
    EXPECT_TRUE(controller.AddPortMapping(50000, 4006, 1));
    EXPECT_EQ(gateway.SOAPRequests().back(), Request(0, Port(), "AddPortMapping", A2));
    EXPECT_EQ(gateway.SOAPRequests().size(), 3u);
}

TEST_F(Soap, StatusOf2xxOtherThan200TriesEveryStyleAndStillCounts) {
    gateway.SetSOAPPolicy(
        [](const std::string&) { return TLoopbackGateway::TSOAPAnswer{"HTTP/1.1 204 No Content\r\n\r\n"}; });
    EXPECT_TRUE(controller.DeletePortMapping(4006, 0));
    EXPECT_EQ(gateway.SOAPRequests(),
              (std::vector<std::string>{
                  Request(0, Port(), "DeletePortMapping", D1), Request(1, Port(), "DeletePortMapping", D1),
                  Request(2, Port(), "DeletePortMapping", D1), Request(3, Port(), "DeletePortMapping", D1)}));
}

TEST_F(Soap, AnswerEndsAtItsLengthOrAnEmptyLineAndOnlyA200EndsTheStyles) {
    controller.Options().MaxReplyBytes = 1024;
    struct TCase {
        const char* name;
        std::string answer;
        bool close;
        int status;
        std::string response;
        std::size_t requests;
    };
    const TCase cases[] = {
        // The last body line has no line end, and more bytes follow the body.
        {"content length on a connection that stays open",
         "HTTP/1.1 200 OK\r\ncontent-length:  18\r\n\r\n<a>1</a>\r\n<b>2</b>NOT PART OF THE BODY\r\n", false,
         200, "<a>1</a>\r\n<b>2</b>\r\n", 1},
        {"no content length",
         "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nline one\r\nline two\r\n\r\nafter the gap\r\n", true, 200,
         "line one\r\nline two\r\n", 1},
        {"past the size limit",
         Ok("<NewExternalIPAddress>192.0.2.1</NewExternalIPAddress>" + std::string(4096, ' ')), true, 0, "",
         4},
        // The status is read from characters 10 to 12.
        {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", true, 404, "", 4},
        {"500 in HTTP/1.0", "HTTP/1.0 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n", true, 500, "",
         4},
        {"no number", "HTTP/1.1 OK\r\nContent-Length: 0\r\n\r\n", true, 400, "", 4},
        {"status line cut short", "HTTP/1.1\r\nContent-Length: 0\r\n\r\n", true, 400, "", 4},
        {"no status line", "\r\nContent-Length: 0\r\n\r\n", true, 400, "", 4},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        gateway.SetSOAPPolicy([&](const std::string&) {
            return TLoopbackGateway::TSOAPAnswer{c.answer, c.close};
        });
        const std::size_t before = gateway.SOAPRequests().size();
        const TSOAPReply reply = controller.SendSOAPRequest("GetExternalIPAddress", G1);
        EXPECT_EQ(reply.Status, c.status);
        EXPECT_EQ(reply.Response, c.response);
        EXPECT_EQ(gateway.SOAPRequests().size() - before, c.requests);
    }
}

TEST_F(Soap, UnreachableOrUnknownRouterGivesNothing) {
    const test::TClosedPort closed;
    controller.SetService(closed.URL("/upnp/control/WANIPConn1"), std::string(TLoopbackGateway::ServiceType));
    const TSOAPReply reply = controller.SendSOAPRequest("GetExternalIPAddress", G1);
    EXPECT_EQ(reply.Status, 0);
    EXPECT_EQ(reply.Response, "");
    TUPnPController undiscovered;  // no control URL at all
    for (TUPnPController* c : {&controller, &undiscovered}) {
        SCOPED_TRACE(c == &controller ? "unreachable" : "undiscovered");
        EXPECT_EQ(c->GetExternalIPAddress(), "");
        EXPECT_FALSE(c->AddPortMapping(4006, 4006, 0));
        EXPECT_FALSE(c->DeletePortMapping(4006, 0));
    }
}

}  // namespace
}  // namespace fwp
