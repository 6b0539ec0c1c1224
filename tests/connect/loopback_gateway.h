#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/connect/http_server.h"
#include "tests/connect/tcp_server.h"

namespace fwp::test {

// A home router played on 127.0.0.1: an SSDP responder (UDP), an HTTP server
// for the device description (cpp-httplib) and a raw TCP server for the SOAP
// control URL, which records every request byte for byte. Point the mapper at
// it with FWP_SSDP_TARGET=SearchTarget().
class TLoopbackGateway {
public:
    struct TSearch {
        std::string Datagram;
        std::uint16_t SourcePort = 0;
    };
    // What the router sends back to one SOAP request.
    struct TSOAPAnswer {
        std::string Bytes;
        // Closing ends the answer for the client; otherwise the connection
        // stays open until the client hangs up.
        bool Close = true;
    };
    // Decides the answer from the whole request (header and body); nullopt
    // keeps silent until the client gives up and hangs up.
    using TSOAPPolicy = std::function<std::optional<TSOAPAnswer>(const std::string& request)>;

    static constexpr std::string_view ServiceType = "urn:schemas-upnp-org:service:WANIPConnection:1";
    static constexpr std::string_view ControlPath = "/upnp/control/WANIPConn1";

    TLoopbackGateway();
    ~TLoopbackGateway();
    TLoopbackGateway(const TLoopbackGateway&) = delete;
    TLoopbackGateway& operator=(const TLoopbackGateway&) = delete;

    // SSDP. Each search is answered with these datagrams, in order.
    std::string SearchTarget() const;
    void SetAnswers(std::vector<std::string> answers);
    // The searches received so far, after waiting for those already sent.
    std::vector<TSearch> Searches();
    // An answer whose LOCATION names this gateway's description.
    std::string GatewayAnswer() const;

    // Device description.
    std::string DescriptionURL() const;
    std::string DescriptionHostAndPort() const;
    void SetDescription(std::string xml);
    // GatewayDescriptionXml with a URLBase that points at the SOAP server.
    std::string GatewayDescription() const;
    int DescriptionFetches() const;
    std::string LastDescriptionAgent() const;

    // SOAP.
    std::string ControlURL() const;
    std::string ControlBase() const;
    std::uint16_t ControlPort() const { return m_soap.Port(); }
    void SetSOAPPolicy(TSOAPPolicy policy);
    // Every SOAP connection's bytes, in order, once the client has closed it.
    std::vector<std::string> SOAPRequests();

private:
    void RunResponder();
    void HandleSOAP(TServerConnection& connection);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;

    int m_udpFd = -1;
    int m_stopPipe[2] = {-1, -1};
    std::uint16_t m_udpPort = 0;
    std::vector<std::string> m_answers;
    std::vector<TSearch> m_searches;
    int m_markersSeen = 0;
    std::thread m_responder;

    std::string m_description;
    int m_descriptionFetches = 0;
    std::string m_lastAgent;
    TLoopbackHttpServer m_http;

    TSOAPPolicy m_policy;
    std::vector<std::string> m_soapRequests;
    TLoopbackTcpServer m_soap;
};

// A device description as Internet gateways send it. Services of the root
// device and of the WAN device come before the WAN connection device, whose
// first service is serviceType at controlURL and whose second one is a PPP
// connection. urlBaseLine goes in as it is; an empty one leaves no URLBase.
std::string GatewayDescriptionXml(std::string_view urlBaseLine, std::string_view controlURL,
                                  std::string_view serviceType = TLoopbackGateway::ServiceType);

// True when request is complete: the header, its empty line and as many body
// bytes as its Content-Length says.
bool IsCompleteRequest(std::string_view request);

}  // namespace fwp::test
