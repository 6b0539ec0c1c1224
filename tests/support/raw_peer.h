#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fwp::test {

using namespace std::chrono_literals;

// A hand-driven peer on a plain blocking socket: the test writes the bytes
// itself (well-formed or hostile) and reads what the engine answers.
class TRawPeer {
public:
    TRawPeer() = default;
    ~TRawPeer();
    TRawPeer(const TRawPeer&) = delete;
    TRawPeer& operator=(const TRawPeer&) = delete;

    // Connects to 127.0.0.1:port.
    bool Connect(int port);
    // Listens on a free loopback port; Accept then waits for the engine.
    int Listen();
    bool Accept(std::chrono::milliseconds limit = 10s);

    // The handshake as a well-behaved peer does it; bufSize is what it announces.
    bool Handshake(std::int32_t bufSize = 32768, std::string_view address = "127.0.0.1");

    void Send(std::string_view bytes);
    void SendLines(std::initializer_list<std::string_view> lines);
    // The next line without CR LF, or nothing when none came in time.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = 5s);
    std::optional<std::string> ReadBytes(std::size_t count, std::chrono::milliseconds limit = 5s);
    // Reads lines until one equals line; false when it did not come.
    bool ExpectLine(std::string_view line, std::chrono::milliseconds limit = 5s);
    // Reads messages until the command with that id and returns the lines after it
    // (count of them); skips everything else, including data payloads.
    std::optional<std::string> WaitForCommand(std::string_view command, std::chrono::milliseconds limit = 5s);
    // True when the engine closed the connection (end of stream) within limit.
    bool PeerClosed(std::chrono::milliseconds limit = 5s);
    void Close();
    int Fd() const { return m_fd; }

private:
    bool FillBuffer(std::chrono::milliseconds limit);

    int m_listenFd = -1;
    int m_fd = -1;
    std::string m_buffer;
    bool m_eof = false;
};

}  // namespace fwp::test
