#include "tests/connect/http_server.h"

#include <chrono>
#include <stdexcept>

#include <httplib.h>

namespace fwp::test {

TLoopbackHttpServer::TLoopbackHttpServer() : m_server(std::make_unique<httplib::Server>()) {
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0)
        throw std::runtime_error("cannot start the loopback HTTP server");
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() is ignored until the server runs, so wait for that here; it
    // takes no longer than starting a thread.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!m_server->is_running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            m_thread.detach();
            throw std::runtime_error("the loopback HTTP server did not start");
        }
        std::this_thread::yield();
    }
}

TLoopbackHttpServer::~TLoopbackHttpServer() {
    m_server->stop();
    m_thread.join();
}

}  // namespace fwp::test
