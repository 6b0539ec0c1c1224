#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fwp {

enum class TReadStatus : std::uint8_t {
    rsOk,          // the bytes or the line are there
    rsWouldBlock,  // nothing (complete) yet
    rsClosed,      // the peer closed its end, or the connection failed
    rsTooLong,     // a line grew past its limit
};

// Turns what the socket sends into the bytes on the wire and back, such as an
// encrypted stream. Without one the socket carries the bytes as they are.
class TStreamTransform {
public:
    virtual ~TStreamTransform() = default;
    // How many wire bytes Seal makes of plainBytes.
    virtual std::size_t SealedSize(std::size_t plainBytes) const = 0;
    // Writes the wire form of the pieces, in order, to wire, which holds
    // SealedSize of their total.
    virtual void Seal(std::span<const std::string_view> pieces, char* wire) = 0;
    // Turns the whole units at the front of wire[0, size) into plain bytes in
    // out, as many as fit in outCapacity bytes (size bytes always take them
    // all); a partial unit stays for the next call. False when the wire
    // bytes are corrupt: the connection is then broken.
    virtual bool Open(const char* wire, std::size_t size, std::size_t& consumed, char* out,
                      std::size_t outCapacity, std::size_t& produced) = 0;
};

// One TCP connection with blocking behaviour towards its user, built on a
// non-blocking descriptor. Received bytes go through a buffer of its own, so
// lines are split off without a system call per line and the bytes after a
// line's CR LF stay where the next read finds them.
class TStreamSocket {
public:
    // Takes over a connected descriptor.
    TStreamSocket(int fd, std::string remoteHost, int remotePort);
    ~TStreamSocket();
    TStreamSocket(const TStreamSocket&) = delete;
    TStreamSocket& operator=(const TStreamSocket&) = delete;

    // Connects to an IPv4 or IPv6 address (an IPv6 one also in brackets) or
    // to a host name, trying each of its addresses in turn; nullptr when no
    // connection was made within timeoutMs. RemoteHost is the address that
    // answered.
    static std::unique_ptr<TStreamSocket> Connect(const std::string& host, int port, int timeoutMs);

    bool Active() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    // Set by a successful connect or accept, cleared only by Disconnect.
    bool IsConnected() const { return m_connected; }
    // The peer closed its end or a send or receive failed: nothing more will come.
    bool Broken() const { return m_broken; }
    // Shuts down both directions and closes the handle.
    void Disconnect();

    // Sends the pieces in order as one write where the system allows. While
    // the peer does not take them, whatever it sends meanwhile is read into
    // the receive buffer (up to MaxReadAheadBytes), so two peers that send
    // large packets at the same moment cannot block each other. False when
    // the connection broke or made no progress for the stall limit.
    bool Send(std::initializer_list<std::string_view> pieces);
    // Text and terminator in one send; the count of bytes sent.
    int SendLine(std::string_view text, std::string_view terminator = "\r\n");
    bool SendBuf(const void* data, std::size_t length);

    // True when a byte is waiting to be read (waits up to timeoutMs; negative
    // waits without bound). A connection closed by the peer gives false.
    bool WaitForData(int timeoutMs);
    bool WaitForWrite(int timeoutMs);
    // True when bytes are buffered or the socket is readable (or closed);
    // reads nothing, so a following ReadSome can receive straight into its buffer.
    bool WaitReadable(int timeoutMs);

    // Splits the next line off the buffer without waiting; the terminator is
    // dropped. rsTooLong discards the partial line once it exceeds maxLength.
    TReadStatus TakeLine(std::string& line, std::size_t maxLength);
    // Like TakeLine, but leaves the line in the buffer.
    TReadStatus PeekLine(std::string& line, std::size_t maxLength);
    // Waits up to timeoutMs for more bytes and buffers them.
    TReadStatus Fill(int timeoutMs);
    // Moves up to length bytes, from the buffer first, else straight from the
    // socket, without waiting.
    TReadStatus ReadSome(void* buffer, std::size_t length, std::size_t& got);
    std::size_t Buffered() const { return m_end - m_begin; }
    void DiscardBuffered();

    // Blocking reads as a plain socket would offer them.
    int PeekBuf(void* buffer, int length);
    int ReceiveBuf(void* buffer, int length);
    // Reads through CR LF and returns the bytes before it; ends early with what
    // it has when the peer closes.
    std::string ReceiveLine();

    const std::string& RemoteHost() const { return m_remoteHost; }
    int RemotePort() const { return m_remotePort; }
    int LocalPort() const;
    // This end's address as text (IPv4 dotted, IPv6 without brackets).
    std::string LocalAddress() const;
    // True for a connection over IPv6 (not an IPv4 peer on an IPv6 socket).
    bool IsIPv6() const;
    std::uint64_t BytesSent() const { return m_bytesSent; }
    std::uint64_t BytesReceived() const { return m_bytesReceived; }

    void SetSendStallLimit(int ms) { m_sendStallMs = ms; }
    // Every byte sent and received from here on goes through transform,
    // including bytes already buffered but not yet read.
    void SetTransform(std::unique_ptr<TStreamTransform> transform);

    static constexpr std::size_t MaxReadAheadBytes = std::size_t(256) << 20;

private:
    // Writes the pieces to the socket as they are.
    bool SendWire(std::initializer_list<std::string_view> pieces);
    // Receives wire bytes and opens what they complete into the receive buffer.
    TReadStatus ReceiveThroughTransform();
    // Receives wire bytes without waiting and without opening them.
    TReadStatus ReceiveWire();
    // Opens the complete units among the wire bytes received so far into the receive buffer.
    TReadStatus OpenReceived();
    // Opens them into out, as many as fit in capacity bytes; rsClosed when they are corrupt.
    TReadStatus OpenWire(char* out, std::size_t capacity, std::size_t& produced);
    // One receive into buffer without waiting; rsWouldBlock if nothing is there.
    TReadStatus ReceiveWithoutWaiting(void* buffer, std::size_t length, std::size_t& got);
    // Receives what is there into the receive buffer without waiting.
    TReadStatus ReceiveIntoBuffer();
    void Compact(std::size_t room);
    // Finds the next CR LF; its offset from m_begin, or npos.
    std::size_t FindLineEnd();

    int m_fd;
    bool m_connected = true;
    bool m_broken = false;
    std::string m_remoteHost;
    int m_remotePort;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    std::size_t m_scanned = 0;  // bytes after m_begin known to hold no CR LF
    std::uint64_t m_bytesSent = 0;
    std::uint64_t m_bytesReceived = 0;
    int m_sendStallMs = 60000;
    std::unique_ptr<TStreamTransform> m_transform;
    std::unique_ptr<char[]> m_wireOut;  // the transformed bytes of the send in progress
    std::size_t m_wireOutSize = 0;
    std::vector<char> m_wireIn;  // received bytes of a unit not yet complete
    std::size_t m_wireInBegin = 0;
    std::size_t m_wireInUsed = 0;
};

// A listening TCP socket on all local addresses, IPv4 and IPv6 (IPv4 alone
// where the system has no IPv6). An IPv4 peer's RemoteHost is dotted.
class TServerSocket {
public:
    // nullptr when the port cannot be bound or listened on.
    static std::unique_ptr<TServerSocket> Listen(int port, int backlog = 5);
    ~TServerSocket();
    TServerSocket(const TServerSocket&) = delete;
    TServerSocket& operator=(const TServerSocket&) = delete;

    int LocalPort() const;
    // Waits up to timeoutMs for a peer; nullptr if none came.
    std::unique_ptr<TStreamSocket> Accept(int timeoutMs);

private:
    explicit TServerSocket(int fd) : m_fd(fd) {}
    int m_fd;
};

}  // namespace fwp
