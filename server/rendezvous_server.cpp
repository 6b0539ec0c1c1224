#include "server/rendezvous_server.h"

#include <chrono>
#include <ctime>
#include <thread>

#include <httplib.h>

namespace fwp::server {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view MappedIPv4Prefix = "::ffff:";
// A client gets this many requests on one connection before it is closed,
// so that one client cannot hold a thread for ever.
constexpr std::size_t KeepAliveRequests = 1000;

// When the request now being served on this thread came in, for the log line.
thread_local Clock::time_point RequestStart;

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::chrono::microseconds MonotonicNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
}

// The request target as it can go into a log line: bytes that are not
// printable ASCII, and the quote and backslash, become \xNN, so no name can
// break the line or forge another.
std::string Printable(std::string_view text) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
            out += "\\x";
            out += Hex[byte >> 4];
            out += Hex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

std::string UtcTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    return text;
}

// The reasons of the statuses httplib answers with by itself.
std::string_view ReasonPhrase(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 416:
            return "Range Not Satisfiable";
        case 417:
            return "Expectation Failed";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        default:
            return status < 500 ? "Client Error" : "Server Error";
    }
}

void SetReply(httplib::Response& response, const TReply& reply) {
    response.status = reply.Status;
    response.set_header("Cache-Control", "no-store");
    if (reply.RetryAfter)
        response.set_header("Retry-After", std::to_string(reply.RetryAfter->count()));
    response.set_content(reply.Body, "text/plain");
}

// Literal text for httplib's route patterns, which are regular expressions:
// every character but letters, digits and "/" goes into a bracket of its own.
std::string LiteralPattern(std::string_view path) {
    std::string pattern;
    for (const char c : path) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/';
        if (plain) {
            pattern += c;
        } else if (c == '\\' || c == ']' || c == '^') {
            pattern += std::string("[\\") + c + "]";
        } else {
            pattern += std::string("[") + c + "]";
        }
    }
    return pattern;
}

}  // namespace

std::string ClientAddressOf(const std::string& peer, const std::string& forwardedFor, bool trustProxy) {
    if (trustProxy && !forwardedFor.empty()) {
        const std::size_t comma = forwardedFor.rfind(',');
        const std::string_view last =
            Trim(comma == std::string::npos ? std::string_view(forwardedFor)
                                            : std::string_view(forwardedFor).substr(comma + 1));
        if (!last.empty())
            return std::string(last);
    }
    if (peer.starts_with(MappedIPv4Prefix) && peer.find('.') != std::string::npos)
        return peer.substr(MappedIPv4Prefix.size());
    return peer;
}

TRendezvousServer::TRendezvousServer(const TServerOptions& options, TRegistry& registry, std::FILE* log)
    : m_options(options),
      m_service(registry, TServiceSettings{options.Ttl, options.RateLimit}),
      m_http(std::make_unique<httplib::Server>()),
      m_log(log) {
    const int threads = options.Threads;
    m_http->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
    m_http->set_keep_alive_max_count(KeepAliveRequests);
    m_http->set_tcp_nodelay(true);

    m_http->set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
        RequestStart = Clock::now();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    m_http->Get(
        LiteralPattern(options.Path), [this](const httplib::Request& request, httplib::Response& response) {
            SetReply(response,
                     m_service.Handle(request.target, ClientAddress(request), WallClockMs(), MonotonicNow()));
        });
    m_http->Get("/healthz", [this](const httplib::Request&, httplib::Response& response) {
        SetReply(response, m_service.Health());
    });
    const auto notAllowed = [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Allow", "GET, HEAD");
        SetReply(response, {405, "405 Method Not Allowed\r\n", std::nullopt});
    };
    const std::string pattern = LiteralPattern(options.Path);
    m_http->Post(pattern, notAllowed);
    m_http->Put(pattern, notAllowed);
    m_http->Patch(pattern, notAllowed);
    m_http->Delete(pattern, notAllowed);
    m_http->Options(pattern, notAllowed);
    // Every error reply of httplib's own (a wrong path above all) gets a body
    // in the same form as the service's: the status and its reason.
    const httplib::Server::HandlerWithResponse onError = [](const httplib::Request&,
                                                            httplib::Response& response) {
        if (!response.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        response.set_content(
            std::to_string(response.status) + " " + std::string(ReasonPhrase(response.status)) + "\r\n",
            "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    };
    m_http->set_error_handler(onError);
    m_http->set_logger([this](const httplib::Request& request, const httplib::Response& response) {
        Log(request, response);
    });
}

TRendezvousServer::~TRendezvousServer() = default;

std::string TRendezvousServer::ClientAddress(const httplib::Request& request) const {
    const std::size_t forwarded = request.get_header_value_count("X-Forwarded-For");
    const std::string forwardedFor =
        forwarded > 0 ? request.get_header_value("X-Forwarded-For", forwarded - 1) : std::string();
    return ClientAddressOf(request.remote_addr, forwardedFor, m_options.TrustProxy);
}

void TRendezvousServer::Log(const httplib::Request& request, const httplib::Response& response) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - RequestStart).count();
    char took[32];
    std::snprintf(took, sizeof took, "%.3fms", ms);
    const std::string line = UtcTimestamp() + " " + Printable(ClientAddress(request)) + " \"" +
                             Printable(request.method) + " " + Printable(request.target) + "\" " +
                             std::to_string(response.status) + " " + took + "\n";
    const std::lock_guard lock(m_logMutex);
    std::fputs(line.c_str(), m_log);
    std::fflush(m_log);
}

int TRendezvousServer::Bind() {
    if (m_options.Listen.Port == 0)
        return m_http->bind_to_any_port(m_options.Listen.Host);
    return m_http->bind_to_port(m_options.Listen.Host, m_options.Listen.Port) ? m_options.Listen.Port : 0;
}

bool TRendezvousServer::Run() {
    bool ok = true;
    if (!m_stopping)
        ok = m_http->listen_after_bind();
    m_runEnded = true;
    return ok;
}

void TRendezvousServer::Stop() {
    m_stopping = true;
    // httplib ignores a stop before its loop runs, so wait for that first.
    while (!m_http->is_running() && !m_runEnded)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_http->stop();
}

}  // namespace fwp::server
