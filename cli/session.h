#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "cli/options.h"
#include "app/relay_route.h"
#include "cli/progress_display.h"
#include "connect/easy_service.h"
#include "connect/upnp.h"
#include "engine/poll_loop.h"
#include "engine/transer.h"

namespace fwp::cli {

// The settings a session runs with: from config.ini, then the command line.
struct TSessionSettings {
    int Port = 4006;
    std::filesystem::path ReceiveTo;
    int PacketType = 0;
    std::int32_t BufferSize = 32768;
    std::int32_t MaxSendCount = 3;
    std::int64_t MaxSendRate = 0;  // bytes per second of file data, 0 = none
    bool AutoReceive = false;
    bool AutoResume = true;
    bool Reconnect = true;
    std::string ServiceUrl;
};

// One run of fwpost: waits for or connects to a peer, offers the given files
// and messages, answers the peer's offers, and ends in order.
class TSession {
public:
    TSession(const TOptions& options, const TSessionSettings& settings);
    ~TSession();
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    // Runs the whole session; the process's exit status.
    int Run();

    TTranserTimeouts& Timeouts() { return m_transer.Timeouts; }

private:
    bool Establish();
    bool WaitForPeer();
    bool ConnectToPeer();
    // Parks this side at the relay under the registered name; false and a
    // complaint when the relay cannot be had.
    bool ParkAtRelay();
    bool ConnectThroughRelay();
    // Takes over a connection the relay paired, for the rest of the session.
    void AdoptRelayed(std::unique_ptr<TStreamSocket> relayed, TSocketMode mode);
    // The next relayed connection while the engine reconnects; nullptr when
    // none is there yet.
    std::unique_ptr<TStreamSocket> RedialRelay();
    bool OpenRouterPort(int port, std::string& externalIp);
    bool PauseForLookup(std::chrono::milliseconds pause);
    // Removes the router's mapping and the service registration, once.
    void Cleanup();
    void QueueOwnWork();
    bool SessionDone() const;
    void FinishLeftovers();

    void TranserReceiveData(TTranserTask& task);
    void TranserTransferComplete(TTranserTask& task);
    void TranserProgress(TTranserTask& task, std::int64_t byteRate, std::int64_t transfered,
                         std::int64_t size);
    void AnswerOffer(TTranserTask& task, bool accept);
    void AskNextOffer();
    void ReadTerminal();
    void ReadChat();
    void SendChatLine(std::string line);
    void ReadSignal();

    void Event(const std::string& line);
    void Complain(const std::string& message);
    std::string DisplayName(const TTranserTask& task) const;

    TOptions m_options;
    TSessionSettings m_settings;
    TPollLoop m_loop;
    TTranser m_transer;
    TProgressDisplay m_progress;
    TEasyServiceClient m_service;
    // The service's reachability check of the listening port, running beside the accept loop.
    std::future<std::optional<bool>> m_reachability;
    TUPnPController m_upnp;
    int m_mappedPort = 0;
    std::unique_ptr<TRelayRoute> m_relay;  // with --relay, or once a secured connect by name needs it
    int m_signalFd = -1;
    bool m_stopRequested = false;
    bool m_linkGaveUp = false;
    bool m_reconnecting = false;
    bool m_disconnectShown = false;
    bool m_failed = false;
    bool m_askOnTerminal = false;
    bool m_asking = false;
    std::string m_terminalInput;
    std::string m_chatInput;

    std::set<const TTranserTask*> m_ownTasks;  // own files and messages not yet ended
    std::set<const TTranserTask*> m_ownFiles;
    std::set<const TTranserTask*> m_incoming;  // accepted incoming files not yet ended
    std::map<const TTranserTask*, std::string> m_localNames;
    std::set<std::string> m_failedIncoming;     // names of incoming files that ended unfinished
    std::deque<TTranserTask*> m_pendingOffers;  // asked on the terminal, first one shown
};

}  // namespace fwp::cli
