// The router's answer to a SOAP action. A router of the fuzzer's own on a
// loopback port gives the input as its answer to every request, and the real
// mapper asks it for the external address, which tries every header style
// and both bodies while the answer is not a success.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "connect/upnp.h"

namespace {

class TAnsweringRouter {
public:
    TAnsweringRouter() {
        m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_listenFd, 8) != 0 ||
            ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            std::abort();
        m_port = ntohs(address.sin_port);
        std::thread([this] { Serve(); }).detach();
    }

    int Port() const { return m_port; }
    void SetAnswer(std::string answer) {
        const std::lock_guard lock(m_mutex);
        m_answer = std::move(answer);
    }

private:
    // One connection at a time: take the request, answer, end the answer,
    // and wait for the mapper to close its end, so that no reset cuts off
    // what it has not read yet.
    void Serve() {
        for (;;) {
            const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            char request[4096];
            [[maybe_unused]] const ssize_t got = ::recv(fd, request, sizeof request, 0);
            std::string answer;
            {
                const std::lock_guard lock(m_mutex);
                answer = m_answer;
            }
            for (std::size_t sent = 0; sent < answer.size();) {
                const ssize_t n = ::send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += static_cast<std::size_t>(n);
            }
            ::shutdown(fd, SHUT_WR);
            while (::recv(fd, request, sizeof request, 0) > 0) {
            }
            ::close(fd);
        }
    }

    int m_listenFd = -1;
    int m_port = 0;
    std::mutex m_mutex;
    std::string m_answer;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TAnsweringRouter router;
    router.SetAnswer(std::string(reinterpret_cast<const char*>(data), size));
    fwp::TUPnPOptions options;
    options.ReplyWait = std::chrono::milliseconds(5000);
    options.ConnectWait = std::chrono::milliseconds(5000);
    options.InternalClient = "127.0.0.1";
    fwp::TUPnPController controller(options);
    controller.SetService("http://127.0.0.1:" + std::to_string(router.Port()) + "/ctl/IPConn",
                          "urn:schemas-upnp-org:service:WANIPConnection:1");
    controller.GetExternalIPAddress();
    return 0;
}
