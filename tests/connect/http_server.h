#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace httplib {
class Server;
}

namespace fwp::test {

// A cpp-httplib server on 127.0.0.1 with its own thread. Routes may be added
// through Server() at any time; the object returns from its constructor only
// once the server accepts, so stopping it never races with its start.
class TLoopbackHttpServer {
public:
    TLoopbackHttpServer();
    ~TLoopbackHttpServer();
    TLoopbackHttpServer(const TLoopbackHttpServer&) = delete;
    TLoopbackHttpServer& operator=(const TLoopbackHttpServer&) = delete;

    httplib::Server& Server() { return *m_server; }
    int Port() const { return m_port; }
    std::string HostAndPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string URL(std::string_view path) const { return "http://" + HostAndPort() + std::string(path); }

private:
    std::unique_ptr<httplib::Server> m_server;
    int m_port = 0;
    std::thread m_thread;
};

}  // namespace fwp::test
