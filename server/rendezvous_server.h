#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "server/options.h"
#include "server/rendezvous_service.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace fwp::server {

// The service on HTTP: GET on the service's path goes to TRendezvousService,
// GET /healthz reports whether the store answers, any other path is a 404
// whose body says "404 Not Found" (so the client knows the URL is wrong).
// Each request is logged as one line.
class TRendezvousServer {
public:
    TRendezvousServer(const TServerOptions& options, TRegistry& registry, std::FILE* log);
    ~TRendezvousServer();
    TRendezvousServer(const TRendezvousServer&) = delete;
    TRendezvousServer& operator=(const TRendezvousServer&) = delete;

    // Binds the listening socket; the port (the chosen one for port 0), or 0 on failure.
    int Bind();
    // Serves until Stop; returns once every request in progress has been answered.
    bool Run();
    // May be called from any thread, also before Run.
    void Stop();

private:
    std::string ClientAddress(const httplib::Request& request) const;
    void Log(const httplib::Request& request, const httplib::Response& response);

    TServerOptions m_options;
    TRendezvousService m_service;
    std::unique_ptr<httplib::Server> m_http;
    std::FILE* m_log;
    std::mutex m_logMutex;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_runEnded{false};
};

// The address a request came from: the TCP peer, an IPv4 address mapped into
// IPv6 written as plain IPv4; with trustProxy the last entry of the last
// X-Forwarded-For header, which is the one the proxy itself added (entries
// before it come from the client and can be anything).
std::string ClientAddressOf(const std::string& peer, const std::string& forwardedFor, bool trustProxy);

}  // namespace fwp::server
