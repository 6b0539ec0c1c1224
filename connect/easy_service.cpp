#include "connect/easy_service.h"

#include <vector>

#include "common/codec.h"
#include "common/numbers.h"
#include "connect/url_encode.h"

namespace fwp {
namespace {

// A reply with this text means the script is gone or has moved.
constexpr std::string_view ScriptMissing = "404 Not Found";

TNotice ServiceGoneNotice() {
    return {"簡易接続サービスを利用できません。最新バージョンを入手してください。", "エラー",
            TNoticeKind::nkError};
}

std::string EncodeName(std::string_view utf8Name) {
    return URLEncode(codec::Utf8ToCp932(utf8Name));
}

// Lines end at CR LF, LF or a lone CR.
std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
    return lines;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// The value of the first "name=value" line whose name matches regardless of
// case; lines without "=" have no name.
std::optional<std::string> FindValue(const std::vector<std::string>& lines, std::string_view name) {
    for (const std::string& line : lines) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos && EqualsNoCase(std::string_view(line).substr(0, equals), name))
            return line.substr(equals + 1);
    }
    return std::nullopt;
}

}  // namespace

std::string TEasyServiceClient::Request(const std::string& query) const {
    return HttpGet(m_serviceURL + query, std::string(EasyServiceAgent), m_limits);
}

TEasyServiceResult TEasyServiceClient::EasyServiceOpen(std::string_view user, int port, std::string_view ip) {
    if (!m_registeredUser.empty()) {
        EasyServiceClose(m_registeredUser);
        m_registeredUser.clear();
    }
    const std::string body = Request("?mode=open&user=" + EncodeName(user) + "&port=" + std::to_string(port) +
                                     "&ip=" + URLEncode(ip));
    if (body.find(ScriptMissing) != std::string::npos)
        return {false, ServiceGoneNotice()};
    if (!body.starts_with("200"))
        return {};
    m_registeredUser = user;
    return {true, std::nullopt};
}

TEasyServiceResult TEasyServiceClient::EasyServiceGet(std::string_view user, std::string& ip, int& port) {
    return ReadLookupReply(Request("?mode=get&user=" + EncodeName(user)), ip, port);
}

TEasyServiceResult ReadLookupReply(std::string_view body, std::string& ip, int& port) {
    // The reply may write "name = value" as well as "name=value". The lines
    // are joined again before the replacement, so it never spans two lines.
    std::string text;
    for (const std::string& line : SplitLines(body))
        text += line + "\r\n";
    ReplaceAll(text, " = ", "=");
    const std::vector<std::string> lines = SplitLines(text);
    if (text.find(ScriptMissing) != std::string::npos)
        return {false, ServiceGoneNotice()};

    ip = FindValue(lines, "ip").value_or(std::string());
    const std::optional<std::string> portText = FindValue(lines, "port");
    const std::optional<std::int32_t> portValue = portText ? ParseInt32(*portText) : std::nullopt;
    if (!portValue)
        return {};
    port = *portValue;
    return {true, std::nullopt};
}

std::optional<bool> TEasyServiceClient::EasyServiceProbe(int port) const {
    std::string text;
    for (const std::string& line : SplitLines(Request("?mode=probe&port=" + std::to_string(port))))
        text += line + "\r\n";
    ReplaceAll(text, " = ", "=");
    const std::optional<std::string> reachable = FindValue(SplitLines(text), "reachable");
    if (reachable == "yes")
        return true;
    if (reachable == "no")
        return false;
    return std::nullopt;
}

TEasyServiceResult TEasyServiceClient::EasyServiceRelay(std::string_view user, bool waiting,
                                                        std::string& relay, std::string& token) const {
    std::string text;
    const std::string body =
        Request(std::string(waiting ? "?mode=relaywait" : "?mode=relay") + "&user=" + EncodeName(user));
    for (const std::string& line : SplitLines(body))
        text += line + "\r\n";
    ReplaceAll(text, " = ", "=");
    const std::vector<std::string> lines = SplitLines(text);
    const std::optional<std::string> relayValue = FindValue(lines, "relay");
    const std::optional<std::string> tokenValue = FindValue(lines, "token");
    if (!body.starts_with("200") || !relayValue || !tokenValue || tokenValue->empty())
        return {};
    relay = *relayValue;
    token = *tokenValue;
    return {true, std::nullopt};
}

void TEasyServiceClient::EasyServiceClose(std::string_view user) {
    Request("?mode=close&user=" + EncodeName(user));
}

void TEasyServiceClient::CloseRegistration() {
    if (m_registeredUser.empty())
        return;
    EasyServiceClose(m_registeredUser);
    m_registeredUser.clear();
}

}  // namespace fwp
