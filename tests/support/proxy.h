#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fwp::test {

// What the proxy does to one direction of a connection once a given number
// of bytes of that direction has gone through.
enum class TProxyFault : std::uint8_t {
    pfCut,    // close both ends of the connection, as a broken link
    pfStall,  // forward nothing more that way until Release (the connection stays open)
    pfDelay,  // hold the rest back for a while, then go on
    pfDrop,   // swallow everything after it without closing
    pfFlip,   // flip one bit of the next byte and go on, as a meddler on the path would
};

enum class TProxyDirection : std::uint8_t {
    pdUp,    // from the connecting side to the target
    pdDown,  // from the target back
};

// Forwards TCP connections from a loopback port to another loopback port,
// and can break them as a bad link would: cut every connection at once, or
// cut, stall, delay or drop one direction at an exact byte count.
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
    // Arms one fault: the first connection on which that direction reaches
    // atByte bytes (counted from the connection's start) gets exactly that
    // many through, then the fault. Call before the bytes flow.
    void Arm(TProxyDirection direction, std::uint64_t atByte, TProxyFault fault,
             std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    // The armed fault has happened.
    bool Fired() const { return m_fired; }
    // Lets a stalled direction go on.
    void Release() { m_release = true; }
    // Keeps a copy of every byte forwarded from here on, both ways, so a
    // test can look for what must never cross the link in clear.
    void SetRecording(bool recording) { m_recording = recording; }
    std::string Recorded() const;
    int Connections() const { return m_connections; }
    // Connections closed at once while refusing.
    int Refused() const { return m_refused; }
    std::uint64_t BytesForwarded() const { return m_bytes; }

private:
    void Run();
    void Wake();

    struct TFault {
        bool Armed = false;
        TProxyDirection Direction = TProxyDirection::pdUp;
        std::uint64_t AtByte = 0;
        TProxyFault Kind = TProxyFault::pfCut;
        std::chrono::milliseconds Delay{0};
    };

    int m_targetPort;
    int m_listenFd = -1;
    int m_port = 0;
    int m_wakeFd = -1;
    std::mutex m_mutex;
    TFault m_fault;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_cut{false};
    std::atomic<bool> m_refusing{false};
    std::atomic<bool> m_fired{false};
    std::atomic<bool> m_release{false};
    std::atomic<int> m_connections{0};
    std::atomic<int> m_refused{0};
    std::atomic<std::uint64_t> m_bytes{0};
    std::atomic<bool> m_recording{false};
    mutable std::mutex m_recordMutex;
    std::string m_recorded;
    std::thread m_thread;
};

}  // namespace fwp::test
