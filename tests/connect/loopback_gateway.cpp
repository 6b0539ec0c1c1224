#include "tests/connect/loopback_gateway.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

namespace fwp::test {
namespace {

constexpr std::string_view DrainMarker = "FWP-TEST-DRAIN";

}  // namespace

bool IsCompleteRequest(std::string_view request) {
    // The header ends at an empty line; all three header styles end it with LF.
    const std::size_t blank = request.find("\n\n");
    const std::size_t blankCrLf = request.find("\n\r\n");
    const std::size_t headerEnd = std::min(blank == std::string_view::npos ? blank : blank + 2,
                                           blankCrLf == std::string_view::npos ? blankCrLf : blankCrLf + 3);
    if (headerEnd == std::string_view::npos)
        return false;
    constexpr std::string_view Name = "\nContent-Length: ";
    std::size_t length = 0;
    if (const std::size_t at = request.substr(0, headerEnd).find(Name); at != std::string_view::npos)
        std::from_chars(request.data() + at + Name.size(), request.data() + headerEnd, length);
    return request.size() >= headerEnd + length;
}

std::string GatewayDescriptionXml(std::string_view urlBaseLine, std::string_view controlURL,
                                  std::string_view serviceType) {
    return R"(<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
)" + std::string(urlBaseLine) +
           R"(
<device>
<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
<friendlyName>Loopback Gateway</friendlyName>
<serviceList>
<service>
<serviceType>urn:schemas-upnp-org:service:Layer3Forwarding:1</serviceType>
<serviceId>urn:upnp-org:serviceId:L3Forwarding1</serviceId>
<controlURL>/upnp/control/L3F</controlURL>
</service>
</serviceList>
<deviceList>
<device>
<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>
<serviceList>
<service>
<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>
<controlURL>/upnp/control/WANCommonIFC1</controlURL>
</service>
</serviceList>
<deviceList>
<device>
<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>
<serviceList>
<service>
<serviceType>)" +
           std::string(serviceType) +
           R"(</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>
<controlURL>)" +
           std::string(controlURL) +
           R"(</controlURL>
<eventSubURL>/upnp/event/WANIPConn1</eventSubURL>
<SCPDURL>/WANIPCn.xml</SCPDURL>
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

TLoopbackGateway::TLoopbackGateway()
    : m_soap([this](TServerConnection& connection) { HandleSOAP(connection); }) {
    m_udpFd = BindLoopback(SOCK_DGRAM, m_udpPort);
    if (m_udpFd < 0 || ::pipe2(m_stopPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot start the SSDP responder");
    m_responder = std::thread([this] { RunResponder(); });

    m_http.Server().Get("/rootDesc.xml",
                        [this](const httplib::Request& request, httplib::Response& response) {
                            const std::lock_guard lock(m_mutex);
                            ++m_descriptionFetches;
                            m_lastAgent = request.get_header_value("User-Agent");
                            response.set_content(m_description, "text/xml");
                        });
    m_description = GatewayDescription();
}

TLoopbackGateway::~TLoopbackGateway() {
    const char stop = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_stopPipe[1], &stop, 1);
    m_responder.join();
    ::close(m_udpFd);
    ::close(m_stopPipe[0]);
    ::close(m_stopPipe[1]);
}

std::string TLoopbackGateway::SearchTarget() const {
    return "127.0.0.1:" + std::to_string(m_udpPort);
}

void TLoopbackGateway::SetAnswers(std::vector<std::string> answers) {
    const std::lock_guard lock(m_mutex);
    m_answers = std::move(answers);
}

std::vector<TLoopbackGateway::TSearch> TLoopbackGateway::Searches() {
    // A marker datagram queues behind every search already sent.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(m_udpPort);
    std::unique_lock lock(m_mutex);
    const int seen = m_markersSeen;
    lock.unlock();
    EXPECT_EQ(::sendto(fd, DrainMarker.data(), DrainMarker.size(), 0,
                       reinterpret_cast<const sockaddr*>(&address), sizeof address),
              static_cast<ssize_t>(DrainMarker.size()));
    ::close(fd);
    lock.lock();
    EXPECT_TRUE(m_changed.wait_for(lock, TServerConnection::Patience, [&] { return m_markersSeen > seen; }));
    return m_searches;
}

std::string TLoopbackGateway::GatewayAnswer() const {
    return "HTTP/1.1 200 OK\r\n"
           "CACHE-CONTROL: max-age=120\r\n"
           "ST: upnp:rootdevice\r\n"
           "USN: uuid:5c1f3a2e-0000-4000-8000-000000000001::upnp:rootdevice\r\n"
           "EXT:\r\n"
           "SERVER: Linux/5.10 UPnP/1.0 LoopbackGateway/1.0\r\n"
           "LOCATION: " +
           DescriptionURL() + "\r\n\r\n";
}

std::string TLoopbackGateway::DescriptionURL() const {
    return "http://" + DescriptionHostAndPort() + "/rootDesc.xml";
}

std::string TLoopbackGateway::DescriptionHostAndPort() const {
    return m_http.HostAndPort();
}

void TLoopbackGateway::SetDescription(std::string xml) {
    const std::lock_guard lock(m_mutex);
    m_description = std::move(xml);
}

std::string TLoopbackGateway::GatewayDescription() const {
    return GatewayDescriptionXml("<URLBase>" + ControlBase() + "/</URLBase>", ControlPath);
}

int TLoopbackGateway::DescriptionFetches() const {
    const std::lock_guard lock(m_mutex);
    return m_descriptionFetches;
}

std::string TLoopbackGateway::LastDescriptionAgent() const {
    const std::lock_guard lock(m_mutex);
    return m_lastAgent;
}

std::string TLoopbackGateway::ControlURL() const {
    return ControlBase() + std::string(ControlPath);
}

std::string TLoopbackGateway::ControlBase() const {
    return "http://127.0.0.1:" + std::to_string(m_soap.Port());
}

void TLoopbackGateway::SetSOAPPolicy(TSOAPPolicy policy) {
    const std::lock_guard lock(m_mutex);
    m_policy = std::move(policy);
}

std::vector<std::string> TLoopbackGateway::SOAPRequests() {
    m_soap.Drain();
    const std::lock_guard lock(m_mutex);
    return m_soapRequests;
}

void TLoopbackGateway::HandleSOAP(TServerConnection& connection) {
    if (connection.ReadUntil(IsCompleteRequest)) {
        TSOAPPolicy policy;
        {
            const std::lock_guard lock(m_mutex);
            policy = m_policy;
        }
        const std::optional<TSOAPAnswer> answer = policy ? policy(connection.Received()) : std::nullopt;
        if (answer) {
            connection.Send(answer->Bytes);
            if (answer->Close)
                connection.ShutdownSend();
        }
    }
    // Whatever comes until the client hangs up belongs to the record too.
    connection.ReadToEnd();
    const std::lock_guard lock(m_mutex);
    m_soapRequests.push_back(connection.Received());
}

void TLoopbackGateway::RunResponder() {
    while (WaitReadable(m_udpFd, m_stopPipe[0], Forever)) {
        char datagram[65536];
        sockaddr_in source{};
        socklen_t size = sizeof source;
        const ssize_t got =
            ::recvfrom(m_udpFd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&source), &size);
        if (got < 0)
            continue;
        const std::string received(datagram, static_cast<std::size_t>(got));
        const std::lock_guard lock(m_mutex);
        if (received == DrainMarker) {
            ++m_markersSeen;
            m_changed.notify_all();
            continue;
        }
        m_searches.push_back({received, ntohs(source.sin_port)});
        for (const std::string& answer : m_answers)
            ::sendto(m_udpFd, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&source),
                     size);
    }
}

}  // namespace fwp::test
