#include "server/rendezvous_server.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/listener.h"
#include "server/reachability_probe.h"

namespace fwp::server {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view MappedIPv4Prefix = "::ffff:";
// Sockets kept free of connections for the storage, the log, the
// reachability checks and the like.
constexpr rlim_t ReservedSockets = 256;
// Reachability checks running at once; one more is refused with a 503.
constexpr int MaxProbes = 128;
constexpr auto ProbeLimit = std::chrono::seconds(3);

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

}  // namespace

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

namespace {

// The last value of the request's X-Forwarded-For headers.
MHD_Result KeepForwardedFor(void* last, MHD_ValueKind, const char* key, const char* value) {
    if (key && value && ::strcasecmp(key, "X-Forwarded-For") == 0)
        *static_cast<std::string*>(last) = value;
    return MHD_YES;
}

std::string PeerAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

// As many connections as the process may open sockets for, less a reserve.
unsigned ConnectionLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return 10'000;
    return static_cast<unsigned>(std::clamp<rlim_t>(files.rlim_cur, 2 * ReservedSockets, 1'000'000) -
                                 ReservedSockets);
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

// One request from its request line to its end.
struct TRendezvousServer::TRequest {
    std::string Target;  // as it came, nothing decoded
    Clock::time_point Start = Clock::now();
    std::string Client;
    std::string Method;
    bool HeadersRead = false;
    bool Probing = false;          // parked while its reachability check runs
    std::optional<TReply> Probed;  // the check's reply, set before the connection is resumed
    int Status = 0;                // 0 until a reply is queued
};

struct TRendezvousServer::TCallbacks {
    // Called with the raw request target, before the headers are read: the
    // request's state starts here, so the query reaches the service byte for byte.
    static void* OnRequestLine(void*, const char* uri, MHD_Connection*) {
        auto* request = new TRequest;
        request->Target = uri ? uri : "";
        return request;
    }

    static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                                const char*, const char*, std::size_t* uploadSize, void** context) {
        auto* server = static_cast<TRendezvousServer*>(self);
        auto* request = static_cast<TRequest*>(*context);
        if (!request)
            *context = request = new TRequest;
        if (request->Probing) {
            if (!request->Probed)
                return MHD_YES;
            request->Probing = false;
            return server->Queue(connection, *request, *request->Probed) ? MHD_YES : MHD_NO;
        }
        // The first call comes with the headers. The reply waits for the
        // call after the whole request has been read: a reply queued before
        // that makes the library close the connection, and a second request
        // sent along with the first would be lost.
        if (!request->HeadersRead || *uploadSize != 0 || request->Status != 0) {
            request->HeadersRead = true;
            *uploadSize = 0;  // a body of a GET is read and dropped
            return MHD_YES;
        }
        return server->Answer(connection, *request, url ? url : "", method ? method : "") ? MHD_YES : MHD_NO;
    }

    static void OnCompleted(void* self, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
        auto* request = static_cast<TRequest*>(*context);
        *context = nullptr;
        if (!request)
            return;
        if (request->Status != 0)
            static_cast<TRendezvousServer*>(self)->Log(*request);
        delete request;
    }
};

TRendezvousServer::TRendezvousServer(const TServerOptions& options, TRegistry& registry, std::FILE* log,
                                     TRelay* relay)
    : m_options(options),
      m_service(registry, TServiceSettings{options.Ttl, options.RateLimit}, relay),
      m_log(log) {}

TRendezvousServer::~TRendezvousServer() {
    if (m_daemon)
        MHD_stop_daemon(m_daemon);
    if (m_listenSocket >= 0)
        ::close(m_listenSocket);
}

bool TRendezvousServer::Answer(MHD_Connection* connection, TRequest& request, const std::string& path,
                               const std::string& method) {
    request.Client = ClientAddress(connection);
    request.Method = method;
    const bool read = method == "GET" || method == "HEAD";
    if (path == m_options.Path) {
        if (!read)
            return Queue(connection, request, {405, "405 Method Not Allowed\r\n", std::nullopt, std::nullopt},
                         true);
        const TReply reply = m_service.Handle(request.Target, request.Client, WallClockMs(), MonotonicNow());
        if (reply.Probe)
            return StartProbe(connection, request, *reply.Probe);
        return Queue(connection, request, reply);
    }
    if (path == "/healthz" && read)
        return Queue(connection, request, m_service.Health(MonotonicNow()));
    return Queue(connection, request, {404, "404 Not Found\r\n", std::nullopt, std::nullopt});
}

bool TRendezvousServer::StartProbe(MHD_Connection* connection, TRequest& request, const TEndpoint& target) {
    {
        const std::lock_guard lock(m_probeMutex);
        if (m_probes >= MaxProbes)
            return Queue(connection, request,
                         {503, "503 Too many checks at once\r\n", std::nullopt, std::nullopt});
        ++m_probes;
    }
    request.Probing = true;
    MHD_suspend_connection(connection);
    // The request lives until its connection's reply is done, which waits
    // for this thread; the server waits for it before it stops.
    const auto finish = [this, connection, &request](TReply reply) {
        request.Probed = std::move(reply);
        MHD_resume_connection(connection);
        const std::lock_guard lock(m_probeMutex);
        --m_probes;
        m_probeEnded.notify_all();
    };
    try {
        std::thread([finish, target] {
            finish(ReachabilityReply(ProbeListener(target.Ip, target.Port, ProbeLimit)));
        }).detach();
    } catch (const std::system_error&) {
        finish({503, "503 Too many checks at once\r\n", std::nullopt, std::nullopt});
    }
    return true;
}

bool TRendezvousServer::Queue(MHD_Connection* connection, TRequest& request, const TReply& reply,
                              bool allowHeader) {
    MHD_Response* response = MHD_create_response_from_buffer(
        reply.Body.size(), const_cast<char*>(reply.Body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return false;
    MHD_add_response_header(response, "Content-Type", "text/plain");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    if (reply.RetryAfter)
        MHD_add_response_header(response, "Retry-After", std::to_string(reply.RetryAfter->count()).c_str());
    if (allowHeader)
        MHD_add_response_header(response, "Allow", "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.Status), response);
    MHD_destroy_response(response);
    request.Status = reply.Status;
    return queued == MHD_YES;
}

std::string TRendezvousServer::ClientAddress(MHD_Connection* connection) const {
    std::string forwardedFor;
    if (m_options.TrustProxy)
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &KeepForwardedFor, &forwardedFor);
    return ClientAddressOf(PeerAddress(connection), forwardedFor, m_options.TrustProxy);
}

void TRendezvousServer::Log(const TRequest& request) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - request.Start).count();
    char took[32];
    std::snprintf(took, sizeof took, "%.3fms", ms);
    const std::string line = UtcTimestamp() + " " + Printable(request.Client) + " \"" +
                             Printable(request.Method) + " " + Printable(request.Target) + "\" " +
                             std::to_string(request.Status) + " " + took + "\n";
    const std::lock_guard lock(m_logMutex);
    std::fputs(line.c_str(), m_log);
    std::fflush(m_log);
}

int TRendezvousServer::Bind() {
    const TListener listener = ListenOn(m_options.Listen, false);
    m_listenSocket = listener.Fd;
    m_ipv6 = listener.IPv6;
    return listener.Port;
}

bool TRendezvousServer::Run() {
    {
        const std::lock_guard lock(m_stopMutex);
        if (m_stopping)
            return true;
        unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_ALLOW_SUSPEND_RESUME;
        if (m_ipv6)
            flags |= MHD_USE_IPv6;
        const unsigned perAddress =
            static_cast<unsigned>(m_options.MaxConnectionsPerAddress.value_or(m_options.TrustProxy ? 0 : 64));
        m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &TCallbacks::OnRequest, this,               //
                                    MHD_OPTION_LISTEN_SOCKET, m_listenSocket,                               //
                                    MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(m_options.Threads),  //
                                    MHD_OPTION_CONNECTION_LIMIT, ConnectionLimit(),                         //
                                    MHD_OPTION_PER_IP_CONNECTION_LIMIT, perAddress,                         //
                                    MHD_OPTION_CONNECTION_TIMEOUT,
                                    static_cast<unsigned>(m_options.HeaderTimeout.count()),         //
                                    MHD_OPTION_URI_LOG_CALLBACK, &TCallbacks::OnRequestLine, this,  //
                                    MHD_OPTION_NOTIFY_COMPLETED, &TCallbacks::OnCompleted, this,    //
                                    MHD_OPTION_END);
        if (!m_daemon)
            return false;
    }
    {
        std::unique_lock lock(m_stopMutex);
        m_stopped.wait(lock, [this] { return m_stopping; });
    }
    {
        // A parked connection must be resumed before the library may stop.
        std::unique_lock lock(m_probeMutex);
        m_probeEnded.wait(lock, [this] { return m_probes == 0; });
    }
    // Accept nothing new, then let the threads finish what they are answering.
    const MHD_socket listening = MHD_quiesce_daemon(m_daemon);
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    if (listening >= 0 && listening == m_listenSocket) {
        ::close(m_listenSocket);
        m_listenSocket = -1;
    }
    return true;
}

void TRendezvousServer::Stop() {
    const std::lock_guard lock(m_stopMutex);
    m_stopping = true;
    m_stopped.notify_all();
}

}  // namespace fwp::server
