#include "cli/session.h"

#include <cerrno>
#include <algorithm>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "app/easy_connection.h"
#include "app/envelope.h"
#include "app/transfer_actions.h"
#include "cli/secret_input.h"
#include "common/codec.h"
#include "common/error.h"

namespace fwp::cli {
namespace {

constexpr auto TurnWait = std::chrono::milliseconds(100);

// Ctrl-C and SIGTERM are never held back: the handler only tells the main
// loop through a pipe, which then ends the session in order. A second signal
// ends the program at once, with status 128 + the signal's number.
int g_stopPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_stopSignals = 0;

void OnStopSignal(int signal) {
    if (g_stopSignals != 0)
        ::_exit(128 + signal);
    g_stopSignals = 1;
    const int saved = errno;
    const char byte = 1;
    if (::write(g_stopPipe[1], &byte, 1) < 0) {
        // The pipe is full: the loop has been told already.
    }
    errno = saved;
}

// Event lines are one line each: line breaks inside a text are written as "\n".
std::string OneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (c == '\r' || c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            out += '?';
        else
            out += c;
    }
    return out;
}

}  // namespace

TSession::TSession(const TOptions& options, const TSessionSettings& settings)
    : m_options(options),
      m_settings(settings),
      m_transer(m_loop),
      m_progress(!options.Quiet),
      m_service(settings.ServiceUrl) {
    m_transer.OnReceiveData = [this](TTranserTask& task) { TranserReceiveData(task); };
    m_transer.OnTransferComplete = [this](TTranserTask& task) { TranserTransferComplete(task); };
    m_transer.OnTransferingProgress = [this](TTranserTask& task, std::int64_t rate, std::int64_t transfered,
                                             std::int64_t size,
                                             bool&) { TranserProgress(task, rate, transfered, size); };
    m_transer.OnDisconnect = [this](TTranserSocket&) {
        if (!m_disconnectShown)
            Event("disconnected");
        m_disconnectShown = true;
    };
    m_transer.OnReconnect = [this](bool& reconnect) {
        reconnect = m_settings.Reconnect;
        if (!reconnect) {
            m_linkGaveUp = true;
            return;
        }
        if (!m_reconnecting)
            Event("reconnecting");
        m_reconnecting = true;
    };
    m_transer.OnStateChange = [this](TTranserState state) {
        if (state == tsReady && m_reconnecting) {
            m_reconnecting = false;
            Event("reconnected");
        }
    };
    // An error of a reconnection attempt (a refused handshake) is shown and the attempts go on.
    m_loop.OnError = [this](const std::exception& error) { Complain(error.what()); };

    // Ctrl-C and SIGTERM end the session in order, from the main loop.
    if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_signalFd = g_stopPipe[0];
        m_loop.WatchRead(m_signalFd, [this] { ReadSignal(); });
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    // A file growing beyond the process's size limit must fail its write, not end the program.
    std::signal(SIGXFSZ, SIG_IGN);

    // With --chat standard input carries messages, not answers.
    m_askOnTerminal = !m_settings.AutoReceive && !m_options.Chat && ::isatty(STDIN_FILENO);
}

TSession::~TSession() {
    Cleanup();
    if (m_signalFd >= 0) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        m_loop.Unwatch(m_signalFd);
        ::close(g_stopPipe[0]);
        ::close(g_stopPipe[1]);
        g_stopPipe[0] = g_stopPipe[1] = -1;
    }
}

void TSession::Event(const std::string& line) {
    m_progress.Clear();
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    m_progress.Draw(m_loop.TickCount(), true);
}

void TSession::Complain(const std::string& message) {
    m_progress.Clear();
    std::fprintf(stderr, "fwpost: %s\n", OneLine(message).c_str());
    std::fflush(stderr);
}

void TSession::ReadSignal() {
    char bytes[16];
    while (::read(m_signalFd, bytes, sizeof bytes) > 0)
        m_stopRequested = true;
}

std::string TSession::DisplayName(const TTranserTask& task) const {
    if (const auto it = m_localNames.find(&task); it != m_localNames.end())
        return it->second;
    return OneLine(codec::Cp932OrMarkedToUtf8(ParseEnvelope(task.Name).FileName));
}

bool TSession::Establish() {
    const bool established = m_options.Command == TCommand::cmListen ? WaitForPeer() : ConnectToPeer();
    if (established)
        Event("connected " + m_transer.RemoteHost());
    if (established && !m_transer.Secret.empty())
        Event("secured");
    return established;
}

bool TSession::OpenRouterPort(int port, std::string& externalIp) {
    if (!m_upnp.Discover()) {
        Complain("UPnPが見つかりませんでした。使用できません。");
        return false;
    }
    // The mapping is requested whatever the router answers, and removed at the end.
    m_upnp.AddPortMapping(port, port, 0);
    m_mappedPort = port;
    Event("mapped " + std::to_string(port));
    externalIp = m_upnp.GetExternalIPAddress();
    if (!externalIp.empty())
        Event("external-address " + externalIp);
    return true;
}

bool TSession::WaitForPeer() {
    m_transer.Listen(m_settings.Port);
    if (!m_transer.Listening()) {
        Complain("ポート " + std::to_string(m_settings.Port) + " で待ち受けできません");
        return false;
    }
    const int port = m_transer.ListeningPort();
    std::string externalIp;
    if (m_options.Upnp)
        OpenRouterPort(port, externalIp);
    if (m_options.Register) {
        try {
            if (!RegisterEasyConnection(m_service, *m_options.Register, port, externalIp,
                                        [this](const TNotice& notice) { Complain(notice.Text); })) {
                Complain(std::string(RegistrationFailedText) + "名前を変えて再度試してみてください。");
                return false;
            }
        } catch (const TError& error) {
            Complain(error.what());
            return false;
        }
        Event("registered " + OneLine(*m_options.Register));
    }
    Event("listening " + std::to_string(port));
    if (m_options.Relay && !ParkAtRelay())
        return false;
    // The service connects back while the check waits, so it runs on a
    // thread of its own and this loop goes on accepting meanwhile.
    if (m_options.Register)
        m_reachability = std::async(std::launch::async,
                                    [service = m_service, port] { return CheckReachable(service, port); });
    while (true) {
        if (m_reachability.valid() &&
            m_reachability.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
            if (const std::optional<bool> reachable = m_reachability.get())
                Event(*reachable ? "reachable yes" : "reachable no");
        }
        try {
            if (m_relay) {
                // A parked connection the relay dropped (its wait time is
                // over) is parked again; direct peers are accepted meanwhile.
                std::string error;
                std::unique_ptr<TStreamSocket> relayed =
                    m_relay->Poll(0, static_cast<int>(m_transer.Timeouts.Connect), error);
                if (!error.empty())
                    Complain(error);
                if (relayed) {
                    AdoptRelayed(std::move(relayed), smServer);
                    return true;
                }
            }
            if (m_transer.Accept(100))
                return true;
        } catch (const TError& error) {
            // Whoever failed the handshake (a port scan, another program) is
            // dropped; the peer may still come. While the reachability check
            // runs, the service's connection reads the banner and closes:
            // that one is expected and not worth a complaint.
            if (!m_reachability.valid())
                Complain(error.what());
        }
        m_loop.ProcessMessages();
        if (m_stopRequested)
            return false;
    }
}

bool TSession::PauseForLookup(std::chrono::milliseconds pause) {
    const std::uint64_t end = m_loop.TickCount() + static_cast<std::uint64_t>(pause.count());
    while (!m_stopRequested && m_loop.TickCount() < end)
        m_loop.WaitMessages(std::chrono::milliseconds(end - m_loop.TickCount()));
    return !m_stopRequested;
}

bool TSession::ParkAtRelay() {
    m_relay = std::make_unique<TRelayRoute>(m_loop, m_service, *m_options.Register, true);
    std::string error;
    if (!m_relay->Park(static_cast<int>(m_transer.Timeouts.Connect), error)) {
        Complain(error);
        return false;
    }
    return true;
}

bool TSession::ConnectThroughRelay() {
    m_relay = std::make_unique<TRelayRoute>(m_loop, m_service, *m_options.User, false);
    TLookupPacing pacing;
    pacing.Pause = [this](std::chrono::milliseconds pause) { return PauseForLookup(pause); };
    std::string error;
    std::unique_ptr<TStreamSocket> relayed =
        m_relay->Join(pacing, static_cast<int>(m_transer.Timeouts.Connect), error);
    if (!relayed) {
        if (!error.empty())
            Complain(error);
        return false;
    }
    AdoptRelayed(std::move(relayed), smClient);
    return true;
}

void TSession::AdoptRelayed(std::unique_ptr<TStreamSocket> relayed, TSocketMode mode) {
    Event("relayed " + m_relay->Address());
    m_transer.OnRedial = [this] {
        std::string error;
        std::unique_ptr<TStreamSocket> next = m_relay->Redial(m_transer.Timeouts, error);
        if (!error.empty())
            Complain(error);
        return next;
    };
    m_transer.Adopt(std::move(relayed), mode);
}

bool TSession::ConnectToPeer() {
    std::string host = m_options.Host;
    int port = m_settings.Port;
    if (m_options.User && m_options.Relay) {
        try {
            return ConnectThroughRelay();
        } catch (const TError& error) {
            Complain(error.what());
            return false;
        }
    }
    if (m_options.User) {
        try {
            TLookupPacing pacing;
            pacing.Pause = [this](std::chrono::milliseconds pause) { return PauseForLookup(pause); };
            if (!LookupEasyConnection(
                    m_service, *m_options.User, host, port,
                    [this](const TNotice& notice) { Complain(notice.Text); }, pacing)) {
                Complain(std::string(PeerNotFoundText));
                return false;
            }
        } catch (const TError& error) {
            Complain(error.what());
            return false;
        }
        Event("found " + OneLine(*m_options.User) + " " + host + " " + std::to_string(port));
    }
    try {
        // A secured session with a peer found by name may go through the
        // service's relay when the peer cannot be reached directly.
        const bool mayRelay = m_options.User && !m_transer.Secret.empty();
        const bool connected = ConnectDirectFirst(m_transer, host, port, mayRelay);
        if (!connected && mayRelay)
            return ConnectThroughRelay();
        if (!connected) {
            // Found by name but out of reach: the relay would serve a secured session.
            Complain(m_options.User ? "接続に失敗しました。\n相手に直接届かないときは、両方で --secret "
                                      "を指定すると簡単接続サービスの中継を通して接続できます。"
                                    : "接続に失敗しました。");
            return false;
        }
    } catch (const TError& error) {
        Complain(error.what());
        return false;
    }
    return true;
}

void TSession::Cleanup() {
    if (m_mappedPort != 0) {
        m_upnp.DeletePortMapping(m_mappedPort, 0);
        Event("unmapped " + std::to_string(m_mappedPort));
        m_mappedPort = 0;
    }
    try {
        m_service.CloseRegistration();
    } catch (const TError& error) {
        Complain(error.what());
    }
}

void TSession::QueueOwnWork() {
    for (const std::string& text : m_options.Say)
        m_ownTasks.insert(&SendInstantMessage(m_transer, codec::Utf8ToCp932(text)));
    for (const std::string& file : m_options.Files) {
        const TOfferResult offer = OfferFile(m_transer, file);
        if (!offer.Task) {
            Complain(offer.Error);
            Event("done " + OneLine(offer.FileName) + " " + ResultText(trFileOpenError));
            m_failed = true;
            continue;
        }
        m_ownTasks.insert(offer.Task);
        m_ownFiles.insert(offer.Task);
        m_localNames[offer.Task] = OneLine(offer.FileName);
        if (!offer.ClassicFileName.empty() && !m_transer.PeerIsOurs())
            Complain("名前を変更して送信: " + offer.FileName + " → " + offer.ClassicFileName);
    }
}

int TSession::Run() {
    try {
        m_transer.Secret = ResolveSecret(m_options);
    } catch (const TError& error) {
        Complain(error.what());
        return 2;
    }
    // Set before the handshake, which announces the buffer size.
    m_transer.PacketType = static_cast<TFileTransPacketType>(m_settings.PacketType);
    m_transer.BufSize = m_settings.BufferSize;
    m_transer.MaxSendingCount = m_settings.MaxSendCount;
    if (!Establish()) {
        Cleanup();
        return 2;
    }
    // The handshake left the smaller of the two sizes; the session sends with its own.
    m_transer.BufSize = m_settings.BufferSize;
    m_transer.MaxSendingCount = m_settings.MaxSendCount;
    m_transer.MaxSendRate = m_settings.MaxSendRate;
    m_transer.Start();
    QueueOwnWork();
    if (m_options.Chat)
        m_loop.WatchRead(STDIN_FILENO, [this] { ReadChat(); });
    while (!m_stopRequested) {
        m_loop.WaitMessages(TurnWait);
        if (m_transer.State() == tsClosed || m_linkGaveUp || SessionDone())
            break;
    }
    m_asking = false;
    if (m_transer.State() != tsClosed)
        m_transer.Close();
    FinishLeftovers();
    Cleanup();
    m_progress.Clear();
    return m_failed || !m_failedIncoming.empty() ? 1 : 0;
}

// With own work: done once it has all ended and nothing comes in. Without,
// the session lasts until the peer ends it.
bool TSession::SessionDone() const {
    const bool ownWork = !m_options.Files.empty() || !m_options.Say.empty();
    return ownWork && !m_options.Stay && m_ownTasks.empty() && m_incoming.empty() &&
           m_pendingOffers.empty() && m_transer.State() == tsReady;
}

// Tasks that never ended (the peer vanished, or the user stopped) count as
// not transferred.
void TSession::FinishLeftovers() {
    for (std::size_t i = 0; i < m_transer.Tasks().Count(); ++i) {
        const TTranserTask& task = m_transer.Tasks()[i];
        if (m_ownFiles.contains(&task) || m_incoming.contains(&task)) {
            Event("done " + DisplayName(task) + " " + ResultText(trAborted));
            m_failed = true;
        }
    }
}

void TSession::TranserReceiveData(TTranserTask& task) {
    const TEnvelope envelope = ParseEnvelope(task.Name);
    switch (envelope.Kind) {
        case TEnvelopeKind::ekInstantMessage:
        case TEnvelopeKind::ekPluginMessage:
            // Messages are kept in memory whole; an oversized one is refused.
            if (task.Size > MaxMessageBytes)
                m_transer.DenyTask(task);
            else
                m_transer.AcceptTask(task, std::make_unique<TMemoryStream>());
            return;
        case TEnvelopeKind::ekPluginFile:
            // No plug-in runs here to take it.
            m_transer.DenyTask(task);
            return;
        case TEnvelopeKind::ekFile:
            break;
        default:
            return;
    }
    Event("offer " + DisplayName(task) + " " + std::to_string(task.Size));
    if (m_settings.AutoReceive) {
        AnswerOffer(task, true);
    } else if (m_askOnTerminal) {
        m_pendingOffers.push_back(&task);
        AskNextOffer();
    } else {
        m_transer.DenyTask(task);
    }
}

void TSession::AnswerOffer(TTranserTask& task, bool accept) {
    if (!accept) {
        m_transer.DenyTask(task);
        return;
    }
    const TReceivePlace place =
        ReceiveIntoFolder(m_transer, task, m_settings.ReceiveTo, m_settings.AutoResume);
    if (!place) {
        Complain(DisplayName(task) + ": 受信ファイルを開けません: " + place.Error);
        m_failed = true;
        return;
    }
    m_incoming.insert(&task);
    if (place.Renamed)
        Event("saved " + DisplayName(task) + " as " + OneLine(place.Name));
}

void TSession::AskNextOffer() {
    if (m_asking || m_pendingOffers.empty())
        return;
    if (!m_askOnTerminal) {
        for (TTranserTask* task : m_pendingOffers)
            m_transer.DenyTask(*task);
        m_pendingOffers.clear();
        return;
    }
    m_asking = true;
    m_loop.WatchRead(STDIN_FILENO, [this] { ReadTerminal(); });
    const TTranserTask& task = *m_pendingOffers.front();
    m_progress.Clear();
    std::fprintf(stderr, "%s (%s) を受信しますか？ [y/N] ", DisplayName(task).c_str(),
                 FormatByteSize(task.Size).c_str());
    std::fflush(stderr);
}

void TSession::ReadTerminal() {
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        // No more answers can come: deny what waits.
        m_loop.Unwatch(STDIN_FILENO);
        m_askOnTerminal = false;
        m_asking = false;
        AskNextOffer();
        return;
    }
    m_terminalInput.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = m_terminalInput.find('\n')) != std::string::npos && !m_pendingOffers.empty()) {
        const std::string answer = m_terminalInput.substr(0, end);
        m_terminalInput.erase(0, end + 1);
        TTranserTask* task = m_pendingOffers.front();
        m_pendingOffers.pop_front();
        m_asking = false;
        m_loop.Unwatch(STDIN_FILENO);
        const bool yes = !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
        if (task->State == ttsNew && task->ResultCode == -1)
            AnswerOffer(*task, yes);
        AskNextOffer();
    }
}

// Each line of standard input is one instant message (UTF-8 in, CP932 on
// the wire); empty lines are skipped. The end of input ends only the
// reading, not the session.
void TSession::ReadChat() {
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        m_loop.Unwatch(STDIN_FILENO);
        if (!m_chatInput.empty())
            SendChatLine(std::move(m_chatInput));
        m_chatInput.clear();
        return;
    }
    m_chatInput.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = m_chatInput.find('\n')) != std::string::npos) {
        std::string line = m_chatInput.substr(0, end);
        m_chatInput.erase(0, end + 1);
        SendChatLine(std::move(line));
    }
    // A line without end is sent in pieces the peer still accepts.
    while (m_chatInput.size() >= static_cast<std::size_t>(MaxMessageBytes)) {
        SendChatLine(m_chatInput.substr(0, static_cast<std::size_t>(MaxMessageBytes)));
        m_chatInput.erase(0, static_cast<std::size_t>(MaxMessageBytes));
    }
}

void TSession::SendChatLine(std::string line) {
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty() || m_transer.State() == tsClosed)
        return;
    m_ownTasks.insert(&SendInstantMessage(m_transer, codec::Utf8ToCp932(line)));
}

void TSession::TranserProgress(TTranserTask& task, std::int64_t byteRate, std::int64_t transfered,
                               std::int64_t size) {
    if (ParseEnvelope(task.Name).Kind != TEnvelopeKind::ekFile)
        return;
    m_progress.Update(&task, DisplayName(task), transfered, size, byteRate, m_loop.TickCount());
}

void TSession::TranserTransferComplete(TTranserTask& task) {
    const TEnvelope envelope = ParseEnvelope(task.Name);
    if (envelope.Kind == TEnvelopeKind::ekInstantMessage && task.Direction == tdReceive) {
        const auto* stream = dynamic_cast<const TMemoryStream*>(task.Stream.get());
        Event("message " + OneLine(codec::Cp932ToUtf8(stream ? stream->Data() : std::string())));
    } else if (envelope.Kind == TEnvelopeKind::ekFile) {
        m_progress.Remove(&task);
        const std::string failure = EndReceive(task);
        if (task.ResultCode != trComplete && !failure.empty())
            Complain(DisplayName(task) + ": " + failure);
        Event("done " + DisplayName(task) + " " + ResultText(task.ResultCode));
        if (m_ownFiles.contains(&task) && task.ResultCode != trComplete)
            m_failed = true;
        // An incoming file counts by its name: one that a restarted sender
        // offers again and that then arrives whole has arrived.
        if (m_incoming.contains(&task)) {
            if (task.ResultCode == trComplete)
                m_failedIncoming.erase(DisplayName(task));
            else
                m_failedIncoming.insert(DisplayName(task));
        }
    }
    for (auto it = m_pendingOffers.begin(); it != m_pendingOffers.end(); ++it) {
        if (*it == &task) {
            const bool shown = it == m_pendingOffers.begin() && m_asking;
            m_pendingOffers.erase(it);
            if (shown) {
                m_asking = false;
                m_loop.Unwatch(STDIN_FILENO);
                std::fputs("\n", stderr);
                AskNextOffer();
            }
            break;
        }
    }
    m_ownTasks.erase(&task);
    m_ownFiles.erase(&task);
    m_incoming.erase(&task);
    m_localNames.erase(&task);
}

}  // namespace fwp::cli
