#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fwp::test {

// Forwards TCP connections from a loopback port to another loopback port,
// and can cut every connection it carries, as a broken link would.
class TForwardingProxy {
public:
    explicit TForwardingProxy(int targetPort);
    ~TForwardingProxy();
    TForwardingProxy(const TForwardingProxy&) = delete;
    TForwardingProxy& operator=(const TForwardingProxy&) = delete;

    int Port() const { return m_port; }
    // Closes both ends of every connection carried so far.
    void Cut();
    // While paused, no new connection is let through (they are closed at once).
    void SetRefusing(bool refusing) { m_refusing = refusing; }
    // Flips one bit of the first byte the connecting side sends once this
    // many bytes have been forwarded in all, as a meddler on the path would.
    void FlipBitAfter(std::uint64_t bytes) { m_flipAt = bytes; }
    // Keeps a copy of every byte forwarded from here on, both ways, so a
    // test can look for what must never cross the link in clear.
    void SetRecording(bool recording) { m_recording = recording; }
    std::string Recorded() const;
    int Connections() const { return m_connections; }
    std::uint64_t BytesForwarded() const { return m_bytes; }

private:
    void Run();

    struct TPair {
        int A;
        int B;
    };
    int m_targetPort;
    int m_listenFd = -1;
    int m_port = 0;
    int m_wakeFd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_cut{false};
    std::atomic<bool> m_refusing{false};
    std::atomic<int> m_connections{0};
    std::atomic<std::uint64_t> m_bytes{0};
    std::atomic<std::uint64_t> m_flipAt{UINT64_MAX};
    std::atomic<bool> m_recording{false};
    mutable std::mutex m_recordMutex;
    std::string m_recorded;
    std::thread m_thread;
};

}  // namespace fwp::test
