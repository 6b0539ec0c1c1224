#include "engine/transer_socket.h"

#include "common/codec.h"
#include "common/error.h"
#include "crypto/md5.h"
#include "engine/address.h"
#include "engine/secure_layer.h"
#include "engine/wire.h"

namespace fwp {
namespace {

constexpr std::size_t MaxHandshakeLineBytes = 4096;

std::string DigestText(const std::string& line) {
    return DigestToHex(MD5OfString(line));
}

}  // namespace

TTranserSocket::TTranserSocket(TEventLoop& loop) : m_loop(loop) {}

TTranserSocket::~TTranserSocket() {
    CloseSocket();
}

bool TTranserSocket::Connect(const std::string& host, int port) {
    m_remoteHost = host;
    m_port = port;
    CloseSocket();
    m_mode = smClient;
    m_connection = TStreamSocket::Connect(host, port, static_cast<int>(Timeouts.Connect));
    if (!m_connection)
        return false;
    m_connection->SetSendStallLimit(static_cast<int>(Timeouts.NoResponse));
    Handshake();
    return true;
}

void TTranserSocket::Listen(int port) {
    CloseSocket();
    m_remoteHost.clear();
    m_port = port;
    m_mode = smServer;
    m_server = TServerSocket::Listen(port);
    // Port 0 asks for any free port; keep the real one so that a reconnection
    // listens where the peer will come back to.
    if (m_server && port == 0)
        m_port = m_server->LocalPort();
}

bool TTranserSocket::Accept(int timeoutMs) {
    if (!m_server)
        return false;
    m_connection = m_server->Accept(timeoutMs);
    if (!m_connection)
        return false;
    m_connection->SetSendStallLimit(static_cast<int>(Timeouts.NoResponse));
    m_remoteHost = m_connection->RemoteHost();
    Handshake();
    return true;
}

void TTranserSocket::Adopt(std::unique_ptr<TStreamSocket> connection, TSocketMode mode) {
    m_connection = std::move(connection);
    m_mode = mode;
    m_connection->SetSendStallLimit(static_cast<int>(Timeouts.NoResponse));
    m_remoteHost = m_connection->RemoteHost();
    Handshake();
}

bool TTranserSocket::Reconnect() {
    if (OnRedial && m_mode != smNone) {
        m_connection.reset();
        std::unique_ptr<TStreamSocket> connection = OnRedial();
        if (!connection)
            return false;
        Adopt(std::move(connection), m_mode);
        return true;
    }
    switch (m_mode) {
        case smClient: {
            CloseSocket();
            const std::string host = m_remoteHost;
            return Connect(host, m_port);
        }
        case smServer:
            m_connection.reset();
            if (!m_server)
                Listen(m_port);
            return Accept(static_cast<int>(Timeouts.ReconnectAccept));
        default:
            return false;
    }
}

void TTranserSocket::RefuseWaiting() {
    // A few per call: a flood of connections cannot hold the caller up.
    for (int i = 0; m_server && i < 8; ++i)
        if (!m_server->Accept(0))
            return;
}

bool TTranserSocket::Connected() const {
    if (m_mode != smServer && m_mode != smClient)
        return false;
    return m_connection && m_connection->IsConnected();
}

void TTranserSocket::CloseSocket() {
    m_connection.reset();
    m_server.reset();
}

int TTranserSocket::ListeningPort() const {
    return m_server ? m_server->LocalPort() : 0;
}

void TTranserSocket::FailHandshake(const std::string& message) {
    m_connection.reset();
    throw TError(message);
}

std::string TTranserSocket::ReadHandshakeLine() {
    std::string line;
    const std::uint64_t start = m_loop.TickCount();
    while (true) {
        switch (m_connection->TakeLine(line, MaxHandshakeLineBytes)) {
            case TReadStatus::rsOk:
                return line;
            case TReadStatus::rsTooLong:
                FailHandshake("不正な接続です。");
            case TReadStatus::rsClosed: {
                // The peer is gone: whatever arrived is the line.
                std::string rest(m_connection->Buffered(), '\0');
                std::size_t got = 0;
                m_connection->ReadSome(rest.data(), rest.size(), got);
                rest.resize(got);
                return rest;
            }
            case TReadStatus::rsWouldBlock:
                break;
        }
        const std::uint64_t waited = m_loop.TickCount() - start;
        if (waited >= Timeouts.Handshake)
            FailHandshake("不正な接続です。");
        if (m_connection->Fill(static_cast<int>(Timeouts.Handshake - waited)) == TReadStatus::rsWouldBlock &&
            m_loop.TickCount() - start >= Timeouts.Handshake)
            FailHandshake("不正な接続です。");
    }
}

void TTranserSocket::Handshake() {
    TStreamSocket& connection = *m_connection;
    if (!Secret.empty()) {
        try {
            SecureConnection(connection, Secret,
                             m_mode == smClient ? TSecureRole::srClient : TSecureRole::srServer,
                             [this] { return ReadHandshakeLine(); });
        } catch (const TError& error) {
            FailHandshake(error.what());
        }
    }
    // Over IPv6 the line carries this end's IPv6 address as text.
    const std::string ownAddress = connection.IsIPv6() ? connection.LocalAddress() : LocalHostAddr();
    m_localDigest = DigestText(ownAddress);
    connection.Send({wire::Banner, wire::LineEnd, ownAddress, wire::LineEnd});
    if (!connection.WaitForData(static_cast<int>(Timeouts.Handshake)))
        FailHandshake("不正な接続です。");
    const std::string peerBanner = ReadHandshakeLine();
    const std::string peerAddress = ReadHandshakeLine();
    m_peerDigest = DigestText(peerAddress);
    if (peerBanner != wire::Banner) {
        FailHandshake("プロトコルのバージョンが違います。\r\n相手: " + codec::Cp932ToUtf8(peerBanner) +
                      "\r\nこちら: " + std::string(wire::Banner));
    }
}

}  // namespace fwp
