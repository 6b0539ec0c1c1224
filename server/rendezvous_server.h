#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "server/options.h"
#include "server/rendezvous_service.h"

struct MHD_Connection;
struct MHD_Daemon;

namespace fwp::server {

// The service on HTTP: GET on the service's path goes to TRendezvousService,
// GET /healthz reports whether the store takes a write, any other path is a
// 404 whose body says "404 Not Found" (so the client knows the URL is wrong).
// Each request is logged as one line.
//
// Connections are served by a few threads, each waiting on many sockets at
// once (epoll), so a client that connects and then sends nothing or sends
// slowly holds a socket, never a thread. Such a connection is closed after
// the header time-out of silence, and one address may hold only so many
// connections at once. A reachability check, which may take seconds, runs on
// a thread of its own while its connection waits aside.
class TRendezvousServer {
public:
    // relay, if any, answers the relay modes.
    TRendezvousServer(const TServerOptions& options, TRegistry& registry, std::FILE* log,
                      TRelay* relay = nullptr);
    ~TRendezvousServer();
    TRendezvousServer(const TRendezvousServer&) = delete;
    TRendezvousServer& operator=(const TRendezvousServer&) = delete;

    // Binds the listening socket; the port (the chosen one for port 0), or 0 on failure.
    int Bind();
    // Serves until Stop; returns once the requests being handled have been answered.
    bool Run();
    // May be called from any thread, also before Run.
    void Stop();

    struct TRequest;

private:
    struct TCallbacks;  // the functions the HTTP library calls

    bool Answer(MHD_Connection* connection, TRequest& request, const std::string& path,
                const std::string& method);
    bool Queue(MHD_Connection* connection, TRequest& request, const TReply& reply, bool allowHeader = false);
    // Parks the connection and checks target on a thread of its own; the
    // reply follows when the check is done.
    bool StartProbe(MHD_Connection* connection, TRequest& request, const TEndpoint& target);
    std::string ClientAddress(MHD_Connection* connection) const;
    void Log(const TRequest& request);

    TServerOptions m_options;
    TRendezvousService m_service;
    std::FILE* m_log;
    std::mutex m_logMutex;
    int m_listenSocket = -1;
    bool m_ipv6 = false;
    MHD_Daemon* m_daemon = nullptr;
    std::mutex m_stopMutex;
    std::condition_variable m_stopped;
    bool m_stopping = false;
    std::mutex m_probeMutex;
    std::condition_variable m_probeEnded;
    int m_probes = 0;  // checks running now
};

// The address a request came from: the TCP peer, an IPv4 address mapped into
// IPv6 written as plain IPv4; with trustProxy the last entry of the last
// X-Forwarded-For header, which is the one the proxy itself added (entries
// before it come from the client and can be anything).
std::string ClientAddressOf(const std::string& peer, const std::string& forwardedFor, bool trustProxy);

// Now in UTC as the log lines start: "2026-01-02T03:04:05.678Z".
std::string UtcTimestamp();

}  // namespace fwp::server
