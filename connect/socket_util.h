// Internal to connect/.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>

// The little socket code the UPnP mapper needs: descriptors that close
// themselves, the machine's IPv4 addresses, a TCP connect with a time limit,
// and a line reader for HTTP answers.
namespace fwp::net {

class TFd {
public:
    TFd() = default;
    explicit TFd(int fd) : m_fd(fd) {}
    ~TFd() { Reset(); }
    TFd(TFd&& other) noexcept : m_fd(other.Release()) {}
    TFd& operator=(TFd&& other) noexcept;
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release();
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

struct TLocalAddress {
    in_addr Address{};
    bool Loopback = false;
    bool Multicast = false;  // the interface can send multicast
};

// The IPv4 addresses of the interfaces that are up, in the system's order.
// Empty when the list cannot be read.
std::vector<TLocalAddress> LocalIPv4Addresses();

std::string DottedAddress(in_addr address);

// True when fd has data (or an end) to read within wait.
bool WaitReadable(int fd, std::chrono::milliseconds wait);

// Connects to host:port over TCP (IPv4); gives up after wait. Returns an
// invalid descriptor on failure.
TFd ConnectTcp(const std::string& host, std::uint16_t port, std::chrono::milliseconds wait);

// Writes all of data, waiting at most wait for room each time. Never raises
// SIGPIPE.
bool SendAll(int fd, std::string_view data, std::chrono::milliseconds wait);

enum class TReadResult : std::uint8_t {
    rrLine,      // a line was read
    rrEnd,       // the peer closed, went silent past the wait, or failed; nothing left
    rrOverflow,  // the answer grew past its size limit
};

// Reads an HTTP answer line by line. A line ends at LF; a CR right before the
// LF is dropped. Each wait for more data lasts at most wait, and all reading
// ends at deadline. At most maxBytes are read in all.
class TLineReader {
public:
    TLineReader(int fd, std::chrono::milliseconds wait, std::chrono::steady_clock::time_point deadline,
                std::size_t maxBytes)
        : m_fd(fd), m_wait(wait), m_deadline(deadline), m_maxBytes(maxBytes) {}

    // Reads the next line. When limit is given, the line also ends after that
    // many bytes, so nothing past the end of a counted body is consumed.
    // consumed tells how many bytes the line took, its line end included.
    // A last line cut off by the end of the data is still returned as rrLine.
    TReadResult ReadLine(std::string& line, std::size_t& consumed, std::size_t limit = SIZE_MAX);

private:
    // Receives more bytes into m_buffer; false at the end of the data.
    bool Receive();

    int m_fd;
    std::chrono::milliseconds m_wait;
    std::chrono::steady_clock::time_point m_deadline;
    std::size_t m_maxBytes;
    std::size_t m_received = 0;
    bool m_ended = false;
    bool m_overflow = false;
    std::string m_buffer;
};

}  // namespace fwp::net
