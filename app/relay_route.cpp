#include "app/relay_route.h"

#include <algorithm>
#include <thread>

namespace fwp {

TRelayRoute::TRelayRoute(const TEventLoop& loop, TEasyServiceClient service, std::string user, bool waiting)
    : m_loop(loop), m_service(std::move(service)), m_user(std::move(user)), m_waiting(waiting) {}

bool TRelayRoute::AskDue(std::chrono::milliseconds interval) const {
    return m_loop.TickCount() - m_lastAsk >= static_cast<std::uint64_t>(interval.count());
}

bool TRelayRoute::Park(int timeoutMs, std::string& error) {
    m_lastAsk = m_loop.TickCount();
    const std::optional<TRelayTicket> ticket = AskRelay(m_service, m_user, true);
    if (!ticket) {
        error = "中継サーバーを利用できません。";
        return false;
    }
    if (!m_wait.Park(*ticket, timeoutMs, error))
        return false;
    m_address = m_wait.Address();
    return true;
}

std::unique_ptr<TStreamSocket> TRelayRoute::Poll(int timeoutMs, int parkTimeoutMs, std::string& error) {
    if (ParkDue() && !Park(parkTimeoutMs, error))
        return nullptr;
    return m_wait.Poll(timeoutMs);
}

std::unique_ptr<TStreamSocket> TRelayRoute::Join(const TLookupPacing& pacing, int timeoutMs,
                                                 std::string& error) {
    error = std::string(PeerNotFoundText);
    for (int attempt = 0; attempt < pacing.Tries; ++attempt) {
        m_lastAsk = m_loop.TickCount();
        if (const std::optional<TRelayTicket> ticket = AskRelay(m_service, m_user, false)) {
            if (std::unique_ptr<TStreamSocket> joined = JoinRelay(*ticket, timeoutMs, error)) {
                m_address = ticket->Address;
                return joined;
            }
        }
        if (attempt + 1 == pacing.Tries)
            break;
        if (!pacing.Pause) {
            std::this_thread::sleep_for(pacing.Interval);
        } else if (!pacing.Pause(pacing.Interval)) {
            error.clear();
            return nullptr;
        }
    }
    return nullptr;
}

std::unique_ptr<TStreamSocket> TRelayRoute::Redial(const TTranserTimeouts& timeouts, std::string& error) {
    const int acceptMs = static_cast<int>(timeouts.ReconnectAccept);
    const int connectMs = static_cast<int>(timeouts.Connect);
    // The engine asks on every tick; the service is asked at most once per interval.
    if (!AskDue(RelayAskInterval))
        return m_waiting ? m_wait.Poll(acceptMs) : nullptr;
    if (m_waiting) {
        if (!m_wait.Parked() && !Park(connectMs, error))
            return nullptr;
        return m_wait.Poll(acceptMs);
    }
    m_lastAsk = m_loop.TickCount();
    const std::optional<TRelayTicket> ticket = AskRelay(m_service, m_user, false);
    if (!ticket)
        return nullptr;
    std::unique_ptr<TStreamSocket> joined = JoinRelay(*ticket, connectMs, error);
    if (joined)
        m_address = ticket->Address;
    return joined;
}

bool ConnectDirectFirst(TTranser& transer, const std::string& host, int port, bool relayAfter) {
    const std::uint32_t connectLimit = transer.Timeouts.Connect;
    if (relayAfter)
        transer.Timeouts.Connect =
            std::min(connectLimit, static_cast<std::uint32_t>(DirectTryBeforeRelay.count()));
    struct TRestore {
        TTranser& Transer;
        std::uint32_t Limit;
        ~TRestore() { Transer.Timeouts.Connect = Limit; }
    } restore{transer, connectLimit};
    return transer.Connect(host, port);
}

}  // namespace fwp
