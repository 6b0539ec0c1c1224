#include "connect/upnp_wire.h"

#include <vector>

#include <arpa/inet.h>

#include <pugixml.hpp>

#include "common/numbers.h"

namespace fwp::upnp {
namespace {

constexpr std::string_view SSDPGroup = "239.255.255.250";
constexpr std::uint16_t SSDPPort = 1900;

constexpr std::string_view SearchRequest =
    "M-SEARCH * HTTP/1.1\r\n"
    "MX: 3\r\n"
    "HOST: 239.255.255.250:1900\r\n"
    "MAN: \"ssdp:discover\"\r\n"
    "ST: upnp:rootdevice\r\n"
    "\r\n";

constexpr std::string_view CrLf = "\r\n";
constexpr std::string_view Lf = "\n";
constexpr std::string_view XmlDeclaration = "<?xml version=\"1.0\"?>";
constexpr std::string_view EnvelopeStart =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
constexpr std::string_view BodyStart = "<SOAP-ENV:Body>";
constexpr std::string_view BodyEnd = "</SOAP-ENV:Body>";
constexpr std::string_view EnvelopeEnd = "</SOAP-ENV:Envelope>";
constexpr std::string_view WANIPConnection1 = "urn:schemas-upnp-org:service:WANIPConnection:1";

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Drops control characters and blanks from both ends.
std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

// The part of a URL after "scheme://" up to the next "/".
std::string_view HostAndPort(std::string_view url) {
    const std::string_view rest = url.size() > 7 ? url.substr(7) : std::string_view();
    return rest.substr(0, rest.find('/'));
}

// An element's text: all the text inside it, without the white space around
// it, as an XML DOM gives it.
std::string ElementText(pugi::xml_node element) {
    struct TCollect : pugi::xml_tree_walker {
        std::string Text;
        bool for_each(pugi::xml_node& node) override {
            if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
                Text += node.value();
            return true;
        }
    } collect;
    element.traverse(collect);
    return std::string(TrimBlanks(collect.Text));
}

// The first service element of the description with both a control URL and
// a connection service type, WANIPConnection before WANPPPConnection.
pugi::xml_node ConnectionService(pugi::xml_node root) {
    for (const std::string_view kind :
         {std::string_view(":service:WANIPConnection:"), std::string_view(":service:WANPPPConnection:")}) {
        for (const pugi::xpath_node& found : root.select_nodes("//service")) {
            const pugi::xml_node service = found.node();
            const std::string type = ElementText(service.child("serviceType"));
            if (service.child("controlURL") && type.find(kind) != std::string::npos)
                return service;
        }
    }
    return {};
}

std::string ActionStart(std::string_view action, std::string_view serviceType) {
    return "<m:" + std::string(action) + " xmlns:m=\"" + std::string(serviceType) + "\">";
}

std::string Plain(std::string_view name, std::string_view value) {
    return "<" + std::string(name) + ">" + std::string(value) + "</" + std::string(name) + ">";
}

// An element with its data type declared, as some routers want.
std::string Typed(std::string_view name, std::string_view type, std::string_view value) {
    return "<" + std::string(name) + " xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"" +
           std::string(type) + "\">" + std::string(value) + "</" + std::string(name) + ">";
}

std::string Lines(const std::vector<std::string>& lines, std::string_view end) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += end;
    }
    return text;
}

}  // namespace

TSearchTarget SearchTargetFrom(const char* variable) {
    TSearchTarget target;
    target.Address.sin_family = AF_INET;
    if (!variable) {
        ::inet_pton(AF_INET, std::string(SSDPGroup).c_str(), &target.Address.sin_addr);
        target.Address.sin_port = htons(SSDPPort);
        target.Send = true;
        return target;
    }
    const std::string_view value(variable);
    const std::size_t colon = value.rfind(':');
    if (value == "off" || colon == std::string_view::npos)
        return target;
    const std::string host(value.substr(0, colon));
    const std::optional<std::int32_t> port = ParseInt32(value.substr(colon + 1));
    if (!port || *port < 1 || *port > 65535 ||
        ::inet_pton(AF_INET, host.c_str(), &target.Address.sin_addr) != 1)
        return target;
    target.Address.sin_port = htons(static_cast<std::uint16_t>(*port));
    target.Send = true;
    return target;
}

std::string SearchDatagram() {
    return std::string(SearchRequest) + std::string(SearchRequest);
}

std::string LocationFromAnswer(std::string_view answer) {
    constexpr std::string_view Name = "location:";
    std::size_t start = 0;
    while (start < answer.size()) {
        std::size_t end = answer.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = answer.size();
        const std::string_view line = answer.substr(start, end - start);
        bool named = line.size() >= Name.size();
        for (std::size_t i = 0; named && i < Name.size(); ++i)
            named = LowerAscii(line[i]) == Name[i];
        if (named)
            return std::string(TrimBlanks(line.substr(Name.size())));
        start = end + 1;
    }
    return {};
}

bool ParseDeviceDescription(std::string_view location, std::string_view xml, std::string& controlURL,
                            std::string& serviceType) {
    controlURL.clear();
    serviceType.clear();
    pugi::xml_document document;
    if (!document.load_buffer(xml.data(), xml.size()))
        return false;
    const pugi::xml_node root = document.document_element();
    if (!root)
        return false;

    std::string base;
    if (const pugi::xml_node urlBase = root.child("URLBase"))
        base = ElementText(urlBase);
    else
        base = "http://" + std::string(HostAndPort(location));
    if (!base.empty() && base.back() == '/')
        base.pop_back();

    // The first service of the WAN connection device, which sits two levels
    // down: root device, WAN device, WAN connection device.
    pugi::xml_node node = root;
    for (const char* name :
         {"device", "deviceList", "device", "deviceList", "device", "serviceList", "service"}) {
        node = node.child(name);
        if (!node)
            return false;
    }
    pugi::xml_node control = node.child("controlURL");
    pugi::xml_node type = node.child("serviceType");
    if (!control || !type)
        return false;
    if (!IsConnectionService(ElementText(type))) {
        const pugi::xml_node service = ConnectionService(root);
        if (!service)
            return false;
        control = service.child("controlURL");
        type = service.child("serviceType");
    }
    controlURL = base + ElementText(control);
    serviceType = ElementText(type);
    return true;
}

TControlTarget SplitControlURL(std::string_view controlURL) {
    constexpr std::size_t MaxPathChars = 255;
    TControlTarget target;
    const std::string_view hostAndPort = HostAndPort(controlURL);
    const std::size_t pathStart = 7 + hostAndPort.size();
    if (pathStart < controlURL.size())
        target.Path = controlURL.substr(pathStart, MaxPathChars);
    const std::size_t colon = hostAndPort.find(':');
    target.Host = hostAndPort.substr(0, colon);
    target.Port = colon == std::string_view::npos ? "80" : hostAndPort.substr(colon + 1);
    return target;
}

bool IsConnectionService(std::string_view serviceType) {
    return serviceType.starts_with("urn:schemas-upnp-org:service:WANIPConnection:") ||
           serviceType.starts_with("urn:schemas-upnp-org:service:WANPPPConnection:");
}

std::string SOAPRequest(int style, const TControlTarget& target, std::string_view serviceType,
                        std::string_view action, std::string_view body) {
    const std::string_view emptyLine = (style == 1 || style == 2) ? Lf : CrLf;
    return SOAPHeader(style, target, serviceType, action, body.size()) + std::string(emptyLine) +
           std::string(body);
}

std::string SOAPHeader(int style, const TControlTarget& target, std::string_view serviceType,
                       std::string_view action, std::size_t bodyLength) {
    const std::string requestLine = "POST " + target.Path + " HTTP/1.1";
    const std::string soapAction = std::string(serviceType) + "#" + std::string(action);
    const std::string host = "Host: " + target.Host + ":" + target.Port;
    const std::string length = "Content-Length: " + std::to_string(bodyLength);
    switch (style) {
        case StandardStyle:
            return Lines({requestLine, host, "Content-Type: text/xml; charset=\"utf-8\"",
                          "SOAPAction: \"" + soapAction + "\"", length, "Connection: close"},
                         CrLf);
        case 1:
            return Lines({requestLine, "Content-Type: text/xml; charset=\"utf-8\"", "Accept: */*",
                          "SOAPAction: \"" + soapAction + "\"",
                          "User-Agent: Mozilla/4.0 (compatible; UPnP/1.0; Windows 9x)", host, length,
                          "Connection: Close", "Pragma: no-cache"},
                         Lf);
        case 2:
            return Lines({requestLine, "Accept: */*", "Accept-Language: ja", "soapaction: " + soapAction,
                          "Accept-Encoding: gzip, deflate",
                          "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)", host, length,
                          "Connection: Close", "Cache-Control: no-cache"},
                         Lf);
        default:
            return Lines({requestLine, "soapaction: " + soapAction, host, length}, CrLf);
    }
}

int StatusFromLine(std::string_view statusLine) {
    const std::string_view digits = statusLine.size() > 9 ? statusLine.substr(9, 3) : std::string_view();
    return ParseInt32(digits).value_or(400);
}

std::string BodyG1() {
    return Lines(
        {std::string(XmlDeclaration),
         std::string(EnvelopeStart) + std::string(BodyStart) + "<m:GetExternalIPAddress xmlns:m=\"" +
             std::string(WANIPConnection1) + "\"/>" + std::string(BodyEnd) + std::string(EnvelopeEnd)},
        CrLf);
}

std::string BodyG2(std::string_view serviceType) {
    return Lines({std::string(XmlDeclaration), std::string(EnvelopeStart), std::string(BodyStart),
                  ActionStart("GetExternalIPAddress", serviceType), "</m:GetExternalIPAddress>",
                  std::string(BodyEnd), std::string(EnvelopeEnd)},
                 CrLf);
}

std::string BodyA1(std::string_view serviceType, int external, int internal, std::string_view protocol,
                   std::string_view client) {
    return Lines({std::string(XmlDeclaration), std::string(EnvelopeStart), std::string(BodyStart),
                  ActionStart("AddPortMapping", serviceType), Plain("NewRemoteHost", ""),
                  Plain("NewExternalPort", std::to_string(external)), Plain("NewProtocol", protocol),
                  Plain("NewInternalPort", std::to_string(internal)), Plain("NewInternalClient", client),
                  Plain("NewEnabled", "1"), Plain("NewPortMappingDescription", "Vellbrun UPnP Component"),
                  Plain("NewLeaseDuration", "0"), "</m:AddPortMapping>", std::string(BodyEnd),
                  std::string(EnvelopeEnd)},
                 Lf);
}

std::string BodyA2(std::string_view serviceType, int external, int internal, std::string_view protocol,
                   std::string_view client) {
    return Lines(
        {std::string(XmlDeclaration),
         std::string(EnvelopeStart) + std::string(BodyStart) + ActionStart("AddPortMapping", serviceType) +
             Plain("NewEnabled", "1") + Plain("NewExternalPort", std::to_string(external)) +
             Plain("NewInternalClient", client) + Plain("NewInternalPort", std::to_string(internal)) +
             Plain("NewLeaseDuration", "0") + Plain("NewPortMappingDescription", "UPnP by Tamsquill") +
             Plain("NewProtocol", protocol) + Plain("NewRemoteHost", "") + "</m:AddPortMapping>" +
             std::string(BodyEnd) + std::string(EnvelopeEnd)},
        Lf);
}

std::string BodyA3(std::string_view serviceType, int external, int internal, std::string_view protocol,
                   std::string_view client) {
    return Lines(
        {std::string(XmlDeclaration),
         std::string(EnvelopeStart) + std::string(BodyStart) + ActionStart("AddPortMapping", serviceType) +
             Typed("NewEnabled", "ui2", "1") + Typed("NewExternalPort", "ui2", std::to_string(external)) +
             Typed("NewInternalClient", "string", client) +
             Typed("NewInternalPort", "ui2", std::to_string(internal)) +
             Typed("NewLeaseDuration", "ui2", "0") + Typed("NewPortMappingDescription", "string", "ploven") +
             Typed("NewProtocol", "string", protocol) + Typed("NewRemoteHost", "string", "") +
             "</m:AddPortMapping>" + std::string(BodyEnd) + std::string(EnvelopeEnd)},
        Lf);
}

std::string BodyD1(std::string_view serviceType, int external, std::string_view protocol) {
    return Lines({std::string(XmlDeclaration), std::string(EnvelopeStart), std::string(BodyStart),
                  ActionStart("DeletePortMapping", serviceType),
                  Typed("NewExternalPort", "ui2", std::to_string(external)),
                  Typed("NewProtocol", "string", protocol), Typed("NewRemoteHost", "string", ""),
                  "</m:DeletePortMapping>", std::string(BodyEnd), std::string(EnvelopeEnd)},
                 CrLf);
}

std::string BodyD2(std::string_view serviceType, int external, std::string_view protocol) {
    // The last line has no line end.
    return Lines({std::string(XmlDeclaration), std::string(EnvelopeStart), std::string(BodyStart),
                  ActionStart("DeletePortMapping", serviceType), Plain("NewRemoteHost", ""),
                  Plain("NewExternalPort", std::to_string(external)), Plain("NewProtocol", protocol),
                  "</m:DeletePortMapping>", std::string(BodyEnd)},
                 CrLf) +
           std::string(EnvelopeEnd);
}

}  // namespace fwp::upnp
