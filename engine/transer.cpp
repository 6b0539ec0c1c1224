#include "engine/transer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>
#include <string>

#include "common/codec.h"
#include "common/error.h"
#include "common/numbers.h"
#include "crypto/packet_transform.h"
#include "engine/wire.h"

namespace fwp {
namespace {

constexpr auto TickInterval = std::chrono::milliseconds(20);
constexpr std::uint32_t ProgressIntervalMs = 250;  // at most one progress report per task in this time
constexpr std::uint32_t SeekRepeatMs = 1000;       // a "#SEEK" not met by then may be sent again
constexpr std::uint32_t NextLineWaitMs = 2000;     // for the rest of a message already begun
constexpr std::uint64_t ReceivePassLimitMs = 500;  // a flooding peer cannot starve our send pass
constexpr std::uint64_t SendTurnMs = 2;            // while input keeps coming, sending gets a turn this often
constexpr std::size_t MaxResyncBytes = 16 << 20;
constexpr std::size_t MaxEndedTasks = 256;
constexpr std::uint64_t EndedTaskMemoryMs = 10 * 60 * 1000;
constexpr std::size_t InflateSliceBytes = 4096;    // bounds what one slice can inflate to
constexpr std::size_t WriteGatherBytes = 1 << 20;  // decoded bytes are written in pieces of about this size
constexpr std::uint32_t FirstBackoffMs = 200;      // the wait between connect attempts doubles from here
constexpr std::uint32_t LastBackoffMs = 5000;      // up to this
// Packets are cut from a buffer of a 32-bit size, so no raw length is larger.
constexpr std::int64_t MaxRawLength = INT32_MAX;

// The connection ended or stalled while a message was being read.
class TLinkLost : public std::exception {
public:
    const char* what() const noexcept override { return "link lost"; }
};

// The peer sent something that cannot be read as the protocol; the tick
// swallows it and what follows is cleared by resynchronisation.
class TProtocolError : public TError {
public:
    using TError::TError;
};

// A payload may grow by a few bytes through enciphering and by a small share
// through compressing incompressible data; anything beyond cannot be a packet.
bool PlausibleWireLength(std::int64_t raw, std::int64_t wire) {
    return raw >= 0 && wire >= 0 && raw <= MaxRawLength && wire <= raw + raw / 8 + 65536;
}

TFileTransPacketType PacketTypeOf(std::int64_t number) {
    if (number == 1)
        return ptCompress;
    if (number == 2)
        return ptCrypt;
    return ptDirect;  // any other value is read like 0
}

std::int64_t RoundHalfEven(double value) {
    return static_cast<std::int64_t>(std::nearbyint(value));
}

}  // namespace

TTranser::TTranser(TEventLoop& loop) : TTranserSocket(loop) {
    std::random_device device;
    std::mt19937_64 generator((static_cast<std::uint64_t>(device()) << 32) ^ device() ^
                              static_cast<std::uint64_t>(loop.TickCount()));
    m_sessionNumber = std::uniform_int_distribution<std::uint64_t>(1, LLONG_MAX)(generator);
    m_tasks.OnSendTaskAdded = [this] { KickSend(); };
}

TTranser::~TTranser() {
    // The owner is going away: its handlers must not be called any more.
    OnTransferingProgress = nullptr;
    OnSendData = nullptr;
    OnReceiveData = nullptr;
    OnStateChange = nullptr;
    OnTransferComplete = nullptr;
    OnReconnect = nullptr;
    OnSuspend = nullptr;
    OnDisconnect = nullptr;
    m_tasks.OnSendTaskAdded = nullptr;
    Close();
    StopTimer();
    if (m_commits)
        m_loop.Unwatch(m_commits->NotifyFd());
    m_state = tsClosed;
    UpdateWatch();
}

// --- Events -------------------------------------------------------------

void TTranser::DoStateChange(TTranserState state) {
    if (OnStateChange)
        OnStateChange(state);
}

void TTranser::DoSendData(TTranserTask& task) {
    if (OnSendData)
        OnSendData(task);
}

void TTranser::DoReceiveData(TTranserTask& task) {
    if (OnReceiveData)
        OnReceiveData(task);
}

void TTranser::DoTransferComplete(TTranserTask& task) {
    if (OnTransferComplete)
        OnTransferComplete(task);
}

void TTranser::DoTransferingProgress(TTranserTask& task, std::int64_t byteRate, std::int64_t transfered,
                                     std::int64_t size, bool& continueTask) {
    if (OnTransferingProgress)
        OnTransferingProgress(task, byteRate, transfered, size, continueTask);
}

void TTranser::DoSuspend(TTranserTask& task) {
    if (OnSuspend)
        OnSuspend(task);
}

void TTranser::DoReconnect(bool& reconnect) {
    if (OnReconnect)
        OnReconnect(reconnect);
}

void TTranser::DoDisconnect() {
    if (OnDisconnect)
        OnDisconnect(*this);
}

// --- Connection life ----------------------------------------------------

void TTranser::Handshake() {
    TTranserSocket::Handshake();
    const std::int32_t inForce = BufSize;
    Connection()->Send({std::to_string(BufSize), wire::LineEnd});
    const std::string line = ReadHandshakeLine();
    const auto peerBufSize = ParseInt32(line);
    if (!peerBufSize)
        FailHandshake("'" + codec::Cp932ToUtf8(line) + "' は有効な整数ではありません");
    // Both sides start with the smaller size; a peer value of 0 or less would
    // break the packet arithmetic, so the own value stays then.
    if (*peerBufSize > 0 && *peerBufSize < BufSize)
        BufSize = *peerBufSize;
    // A rebuilt link goes on with the size that was in force before it (the
    // owner sets its own size again before Start after the first handshake):
    // a peer's smaller size must not slow the rest of the session down.
    if (m_state == tsReconnecting)
        BufSize = inForce;
    // The first message on every link: our session number under the id that
    // names no task. A classic peer ignores it; a copy of this program learns
    // from it whether a link that comes back still leads to the same session.
    SendMessage({wire::CmdSeek, "0", std::to_string(m_sessionNumber)});
    m_peerHeard = false;
    m_linkUpTick = m_loop.TickCount();
}

void TTranser::SetState(TTranserState state) {
    if (state == m_state)
        return;
    m_state = state;
    DoStateChange(state);
}

void TTranser::StartTimer() {
    if (m_timerId != 0)
        return;
    for (int id = 1; id <= 10; ++id) {
        if (m_loop.SetTimer(id, TickInterval, [this] { Tick(); })) {
            m_timerId = id;
            return;
        }
    }
}

void TTranser::StopTimer() {
    if (m_timerId == 0)
        return;
    m_loop.KillTimer(m_timerId);
    m_timerId = 0;
}

void TTranser::Start() {
    m_state = tsClosed;
    SetState(tsReady);
    StartTimer();
    m_lastReceiveTick = m_lastIdleTick = m_lastAckTick = m_loop.TickCount();
    m_linkLost = false;
    m_peerSession = 0;
    m_peerIsOurs = false;
    m_linkRebuilt = false;
    UpdateWatch();
}

void TTranser::RunLoopUntil(const std::function<bool()>& done, std::uint64_t since, std::uint32_t limitMs) {
    ++m_holdDepth;
    while (!done() && m_loop.TickCount() - since < limitMs)
        m_loop.WaitMessages(std::chrono::milliseconds(5));
    --m_holdDepth;
}

bool TTranser::WaitForTick(std::uint32_t limitMs) {
    const std::uint64_t start = m_loop.TickCount();
    ++m_holdDepth;
    bool done = true;
    // Without a timer no tick runs or will come; a tick may also stop it
    // (the session ended in it).
    while (!m_tickDone && m_timerId != 0) {
        if (limitMs != 0 && m_loop.TickCount() - start > limitMs) {
            done = false;
            break;
        }
        m_loop.WaitMessages(std::chrono::milliseconds(5));
    }
    --m_holdDepth;
    return done;
}

void TTranser::Close() {
    // A peer that is known to be gone, or a link being rebuilt, cannot take
    // part in the orderly end.
    if (!Connected() || PeerGone() || m_state == tsReconnecting) {
        if (m_state != tsClosed) {
            SetState(tsClosing);
            StopTimer();
            CloseSocket();
            SetState(tsClosed);
        }
        UpdateWatch();
        return;
    }
    // Called from inside a pass of its own (a handler, or a window closed
    // from a message loop the pass runs), the pass cannot end before this
    // returns: nothing here may wait for it.
    const bool insidePass = m_tickDepth > 0;
    const std::uint64_t t1 = m_loop.TickCount();
    if (!insidePass)
        RunLoopUntil([this] { return m_state == tsReady; }, t1, Timeouts.CloseStep);
    ++m_holdDepth;
    std::vector<TTranserTask*> tasks;
    for (std::size_t i = 0; i < m_tasks.Count(); ++i)
        tasks.push_back(&m_tasks[i]);
    for (TTranserTask* task : tasks)
        if (task->ResultCode == -1)
            AbortTask(*task);
    --m_holdDepth;
    const std::uint64_t t2 = m_loop.TickCount();
    // The peer may end the session itself meanwhile ("#TERMINATE"): then
    // there is nothing left to wait for.
    if (!insidePass)
        RunLoopUntil([this] { return m_state == tsClosed || (m_state == tsReady && m_tasks.Count() == 0); },
                     t2, Timeouts.CloseStep);
    if (m_state != tsClosed) {
        if (!insidePass)
            WaitForTick(0);
        SendCommand(wire::CmdTerminate, nullptr);
        if (!insidePass)
            RunLoopUntil([this] { return m_state == tsClosed; }, t2, Timeouts.CloseStep);
    }
    StopTimer();
    CloseSocket();
    m_state = tsClosed;
    UpdateWatch();
    if (m_tickDepth == 0 && m_holdDepth == 0)
        m_tasks.ReleaseRemoved();
}

bool TTranser::SomeTaskTransfering() const {
    for (std::size_t i = 0; i < m_tasks.Count(); ++i)
        if (m_tasks[i].State == ttsTransfering)
            return true;
    return false;
}

bool TTranser::AcknowledgesOverdue(std::uint64_t now) const {
    if (now - m_lastAckTick <= Timeouts.NoResponse)
        return false;
    for (std::size_t i = 0; i < m_tasks.Count(); ++i) {
        const TTranserTask& task = m_tasks[i];
        if (task.Direction == tdSend && task.State == ttsTransfering && task.ResultCode == -1 &&
            task.Stream && task.Stream->Position() > task.Transfered)
            return true;
    }
    return false;
}

// The link counts as lost at once when the connection is gone (also in the
// middle of a message), after the silence limit while something transfers,
// and when sent data stays unacknowledged that long: a peer that takes data
// without answering is not the session the data belongs to.
bool TTranser::CheckNoResponse() {
    const std::uint64_t now = m_loop.TickCount();
    const bool silent = SomeTaskTransfering() && now - m_lastReceiveTick > Timeouts.NoResponse;
    if (!m_linkLost && !silent && !AcknowledgesOverdue(now))
        return false;
    bool reconnect = true;
    DoReconnect(reconnect);
    if (!reconnect) {
        if (!m_linkLost)
            return false;
        // Nothing more can come over a connection that is gone.
        SetState(tsClosing);
        StopTimer();
        CloseSocket();
        UpdateWatch();
        DoDisconnect();
        SetState(tsClosed);
        return true;
    }
    m_reconnectStart = m_nextAttempt = now;
    m_backoffMs = FirstBackoffMs;
    SetState(tsReconnecting);
    return true;
}

void TTranser::ReconnectStep() {
    // The owner closed the listening socket: nobody may come back.
    if (Mode() == smServer && !Listening()) {
        DoDisconnect();
        Close();
        return;
    }
    const std::uint64_t now = m_loop.TickCount();
    if (now - m_reconnectStart >= Timeouts.ReconnectLimit) {
        GiveUpReconnecting();
        return;
    }
    if (now < m_nextAttempt)
        return;
    // Connect attempts back off so that a peer that is away is not flooded;
    // the server side paces itself by waiting in accept.
    if (Mode() == smClient) {
        m_nextAttempt = now + m_backoffMs;
        m_backoffMs = std::min(m_backoffMs * 2, LastBackoffMs);
    }
    // A handshake error is not caught here: it reaches the host's error display.
    if (!Reconnect())
        return;
    for (std::size_t i = 0; i < m_tasks.Count(); ++i) {
        TTranserTask& task = m_tasks[i];
        if (task.Direction == tdReceive)
            RequestSeek(task, true);
    }
    m_lastReceiveTick = m_lastAckTick = m_loop.TickCount();
    m_linkLost = false;
    m_linkRebuilt = true;
    SetState(tsReady);
    UpdateWatch();
}

// The peer stayed away for the whole limit: every task ends as not
// answered, and the session is over.
void TTranser::GiveUpReconnecting() {
    std::vector<TTranserTask*> tasks;
    for (std::size_t i = 0; i < m_tasks.Count(); ++i)
        tasks.push_back(&m_tasks[i]);
    ++m_holdDepth;
    for (TTranserTask* task : tasks)
        if (task->ResultCode == -1)
            EndTask(*task, trNoResponse);
    --m_holdDepth;
    SetState(tsClosing);
    StopTimer();
    CloseSocket();
    UpdateWatch();
    DoDisconnect();
    SetState(tsClosed);
}

bool TTranser::PeerKnown(std::uint64_t now) const {
    return m_peerHeard || now - m_linkUpTick >= Timeouts.PeerHello;
}

bool TTranser::MayOffer(const TTranserTask& task, std::uint64_t now) const {
    return task.ClassicName.empty() || task.ClassicName == task.Name || PeerKnown(now);
}

const std::string& TTranser::OfferName(const TTranserTask& task) const {
    return !task.ClassicName.empty() && !m_peerIsOurs ? task.ClassicName : task.Name;
}

void TTranser::PeerIntroduced(std::uint64_t session) {
    m_peerIsOurs = session != 0;
    if (m_linkRebuilt) {
        // A number that differs from the one heard before is another session.
        // When the first link died before the peer's number came, no task
        // can stem from that peer yet, and sending offers again under their
        // ids is right for the same peer and harmless for a new one.
        if (m_peerSession != 0 && session != m_peerSession)
            StartOverWithNewPeer();
        else if (session != 0)
            ContinueWithSamePeer();
    }
    m_peerSession = session;
}

void TTranser::StartOverWithNewPeer() {
    // Ids of the old session mean nothing to the new peer.
    m_ended.clear();
    std::vector<TTranserTask*> tasks;
    for (std::size_t i = 0; i < m_tasks.Count(); ++i)
        tasks.push_back(&m_tasks[i]);
    for (TTranserTask* task : tasks) {
        if (task->ResultCode != -1)
            continue;
        if (task->Direction == tdReceive) {
            // Its sender is gone; the file is released for a new offer to resume.
            EndTask(*task, trAborted);
            continue;
        }
        switch (task->State) {
            case ttsNew:
                break;
            case ttsAborting:
            case ttsAborted:
                EndTask(*task, trAborted);
                break;
            default:
                // Offered anew, so the new receiver can resume what it has.
                m_tasks.RenewId(*task);
                task->State = ttsNew;
                break;
        }
    }
    m_reanswered.clear();
}

void TTranser::ContinueWithSamePeer() {
    for (std::size_t i = 0; i < m_tasks.Count(); ++i) {
        TTranserTask& task = m_tasks[i];
        if (task.ResultCode != -1)
            continue;
        // An offer or an answer may have been lost in the cut: it goes again.
        // The peer knows a repeated offer by its id and a repeated answer by
        // the state of its task.
        if (task.Direction == tdSend && task.State == ttsOffered) {
            task.State = ttsNew;
        } else if (task.Direction == tdReceive && task.State == ttsAccepted) {
            task.State = ttsOffered;
            m_reanswered.insert(task.ID);
        }
    }
}

void TTranser::Tick() {
    m_tickDone = false;
    // However the tick ends (a lost link, a close inside it), whoever waits
    // for it may go on afterwards.
    struct TMarkDone {
        bool& done;
        ~TMarkDone() { done = true; }
    } markDone{m_tickDone};
    if (!Connected() && m_state != tsReconnecting) {
        DoDisconnect();
        Close();
        return;
    }
    if (m_state == tsReady) {
        // A tick that came while this one was busy did nothing; when this one
        // took that long, the one after follows at once instead of a whole
        // interval later, so that slow packets do not also lose a tick each.
        bool goOn = true;
        bool reconnecting = false;
        const auto round = [&] {
            m_tickSwallowed = false;
            goOn = RunBusy([this] {
                ProcessCommits();
                m_sendWanted = SendPass();
                ReceivePass();
            });
            // Not going on: "#TERMINATE" was handled, or a close ran inside.
            reconnecting = goOn && CheckNoResponse();
            if (goOn && !reconnecting)
                m_state = tsReady;
        };
        const bool swallowedBefore = m_tickSwallowed;
        round();
        if (goOn && !reconnecting && (swallowedBefore || m_tickSwallowed))
            round();
        UpdateWatch();
        if (!goOn || reconnecting)
            return;
        // A second peer is turned away while this one is connected. Checked
        // after the round, so that the peer itself coming back after closing
        // its end is taken once the loss has been seen.
        if (Mode() == smServer && !m_linkLost && !PeerGone())
            RefuseWaiting();
    } else if (m_state == tsBusy) {
        m_tickSwallowed = true;
    } else if (m_state == tsReconnecting) {
        ReconnectStep();
    }
}

void TTranser::ReceivePass() {
    const std::uint64_t passStart = m_loop.TickCount();
    std::uint64_t lastSend = passStart;
    while (m_state == tsBusy && Connection() && Connection()->WaitForData(1)) {
        DispatchCommand();
        m_lastReceiveTick = m_loop.TickCount();
        if (m_state != tsBusy)
            break;
        // What the command made possible (an answer, the first packet) goes
        // out at once, once the input already here is read, so that files
        // accepted together start together; while input keeps coming (the
        // acknowledges of a running transfer) sending still gets its turn.
        const std::uint64_t now = m_loop.TickCount();
        if (!Connection()->WaitForData(0) || now - lastSend >= SendTurnMs) {
            lastSend = now;
            m_sendWanted = SendPass();
            if (m_state != tsBusy)
                break;
        }
        m_loop.ProcessMessages();
        if (m_loop.TickCount() - passStart > ReceivePassLimitMs)
            break;
    }
}

bool TTranser::RunBusy(const std::function<void()>& work) {
    m_state = tsBusy;
    ++m_tickDepth;
    bool lost = false;
    try {
        work();
    } catch (const TLinkLost&) {
        lost = true;
    } catch (const std::exception&) {
        // A message that could not be read; resynchronisation clears its rest.
    }
    --m_tickDepth;
    if (m_tickDepth == 0 && m_holdDepth == 0)
        m_tasks.ReleaseRemoved();
    if (m_state != tsBusy)
        return false;
    if (lost || (Connection() && Connection()->Broken()))
        m_linkLost = true;
    return true;
}

void TTranser::ReceiveBetweenTicks() {
    TStreamSocket* connection = Connection();
    // While busy the running tick reads; the watch comes back when it is over.
    if (LinkUsable() && connection->Fd() == m_watchedFd)
        RunBetweenTicks([this] { ReceivePass(); });
    else
        UpdateWatch();
}

bool TTranser::LinkUsable() const {
    const TStreamSocket* connection = Connection();
    return m_state == tsReady && connection && connection->Active() && !connection->Broken();
}

void TTranser::RunBetweenTicks(const std::function<void()>& work) {
    if (RunBusy(work))
        m_state = tsReady;
    UpdateWatch();
}

void TTranser::UpdateWatch() {
    UpdateWriteWatch();
    const int fd = LinkUsable() ? Connection()->Fd() : -1;
    if (fd == m_watchedFd)
        return;
    if (m_watchedFd >= 0)
        m_loop.Unwatch(m_watchedFd);
    m_watchedFd = fd;
    if (fd >= 0)
        m_loop.WatchRead(fd, [this] { ReceiveBetweenTicks(); });
}

// --- Owner operations ----------------------------------------------------

bool TTranser::AcceptTask(TTranserTask& task, std::unique_ptr<TStream>&& stream) {
    if (task.Direction != tdReceive || task.State != ttsNew || task.ResultCode != -1 || !stream)
        return false;
    task.Stream = std::move(stream);
    task.State = ttsOffered;
    KickSend();
    return true;
}

void TTranser::DenyTask(TTranserTask& task) {
    if (task.Direction != tdReceive || task.State != ttsNew || task.ResultCode != -1)
        return;
    task.Stream.reset();
    task.State = ttsOffered;
    KickSend();
}

void TTranser::AbortTask(TTranserTask& task) {
    if (task.ResultCode != -1)
        return;
    switch (task.State) {
        case ttsNew:
            if (task.Direction == tdReceive)
                DenyTask(task);
            else
                task.State = ttsAborting;
            KickSend();
            return;
        case ttsAccepted:
            // Our acceptance is on its way and the sender may be starting: ask
            // it to end the task. Its echo ends ours, whatever came before it.
            ++m_holdDepth;
            WaitForTick(0);
            if (task.ResultCode == -1)
                SendCommand(wire::CmdAbort, &task);
            --m_holdDepth;
            return;
        case ttsOffered:
        case ttsTransfering:
        case ttsSuspended:
            task.State = ttsAborting;
            KickSend();
            if (task.Direction == tdReceive) {
                ++m_holdDepth;
                WaitForTick(0);
                if (task.ResultCode == -1)
                    SendCommand(wire::CmdAbort, &task);
                --m_holdDepth;
            }
            return;
        default:
            return;
    }
}

void TTranser::SuspendTask(TTranserTask& task) {
    if (task.State != ttsTransfering || task.ResultCode != -1)
        return;
    task.State = ttsSuspended;
    ++m_holdDepth;
    WaitForTick(0);
    if (task.ResultCode == -1)
        SendCommand(wire::CmdSuspend, &task);
    --m_holdDepth;
}

void TTranser::ResumeTask(TTranserTask& task) {
    if (task.State != ttsSuspended || task.ResultCode != -1)
        return;
    // The sender goes on at once; a receiver waits for the sender's echo.
    if (task.Direction == tdSend) {
        task.State = ttsTransfering;
        m_lastAckTick = m_loop.TickCount();
        KickSend();
    }
    ++m_holdDepth;
    WaitForTick(0);
    if (task.ResultCode == -1)
        SendCommand(wire::CmdResume, &task);
    --m_holdDepth;
}

// --- Sending -------------------------------------------------------------

void TTranser::SendMessage(std::initializer_list<std::string_view> lines) {
    TStreamSocket* connection = Connection();
    if (!connection)
        return;
    std::string message;
    for (const auto line : lines) {
        message += line;
        message += wire::LineEnd;
    }
    connection->Send({message});
}

void TTranser::SendCommand(std::string_view command, const TTranserTask* task) {
    if (task)
        SendCommand(command, task->ID);
    else
        SendMessage({command});
}

void TTranser::SendCommand(std::string_view command, std::int32_t id) {
    SendMessage({command, std::to_string(id)});
}

void TTranser::SendNumberMessage(std::string_view command, std::int32_t id, std::int64_t value) {
    SendMessage({command, std::to_string(id), std::to_string(value)});
}

void TTranser::KickSend() {
    m_sendWanted = true;
    UpdateWriteWatch();
}

// The write watch is there only while a pass has work left, so that an idle
// engine does not wake the loop for a socket that is always writable. A pass
// started from it that finds nothing to send clears the wish.
void TTranser::UpdateWriteWatch() {
    if (m_state == tsBusy)
        return;  // the pass in progress decides; the watch is updated when it ends
    const int fd = LinkUsable() && m_sendWanted ? Connection()->Fd() : -1;
    if (fd == m_writeWatchedFd)
        return;
    if (m_writeWatchedFd >= 0)
        m_loop.UnwatchWrite(m_writeWatchedFd);
    m_writeWatchedFd = fd;
    if (fd >= 0)
        m_loop.WatchWrite(fd, [this] { SendBetweenTicks(); });
}

void TTranser::SendBetweenTicks() {
    TStreamSocket* connection = Connection();
    if (LinkUsable() && connection->Fd() == m_writeWatchedFd)
        RunBetweenTicks([this] { m_sendWanted = SendPass(); });
    else
        UpdateWatch();
}

bool TTranser::SendPass() {
    // A handler raised during the pass may queue work (KickSend): the pass
    // then reports work left, so that the loop comes back for it.
    m_sendWanted = false;
    const std::uint64_t now = m_loop.TickCount();
    if (now - m_lastIdleTick > Timeouts.IdleInterval) {
        SendCommand(wire::CmdIdoling, nullptr);
        m_lastIdleTick = now;
    }
    // Handlers raised during the walk may add or end tasks; walk a snapshot
    // and skip what has ended. Ended tasks stay valid until the tick is over.
    // Until the peer is known only offers go out that every peer reads alike.
    const bool peerKnown = PeerKnown(now);
    for (TTranserTask* task : TSendSchedule::ControlOrder(m_tasks)) {
        if (task->ResultCode != -1 || !Connection())
            continue;
        if (!peerKnown && !(task->Direction == tdSend && task->State == ttsNew))
            continue;
        SendControl(*task, now);
    }
    // No data either: after a rebuilt link the peer may be a new session that
    // holds none of our tasks. The next tick looks again.
    if (!peerKnown)
        return m_sendWanted;
    m_schedule.BeginPass(now, MaxSendRate);
    while (m_state == tsBusy) {
        TStreamSocket* connection = Connection();
        if (!connection || connection->Broken())
            return m_sendWanted;
        const std::vector<TTranserTask*>& round = m_schedule.NextRound(m_tasks, MaxSendingCount);
        if (round.empty() || !m_schedule.RateAllows())
            return m_sendWanted;
        if (!m_schedule.InSlice(m_loop.TickCount()) || !connection->WaitForWrite(0))
            return true;
        // One packet each in turn; a handler may end or add tasks meanwhile,
        // so the round is a copy and is made anew for the next turn.
        const std::vector<TTranserTask*> senders = round;
        for (TTranserTask* task : senders) {
            if (task->ResultCode != -1 || task->State != ttsTransfering || !task->Stream ||
                task->Stream->Position() >= task->Stream->Size() || !Connection())
                continue;
            SendDataPacket(*task, senders.size());
        }
    }
    return m_sendWanted;
}

void TTranser::SendControl(TTranserTask& task, std::uint64_t now) {
    const bool sending = task.Direction == tdSend;
    switch (task.State) {
        case ttsNew:
            if (sending && MayOffer(task, now)) {
                const std::int64_t size = task.Stream ? task.Stream->Size() : 0;
                SendMessage(
                    {wire::CmdTransData, std::to_string(task.ID), OfferName(task), std::to_string(size)});
                task.State = ttsOffered;
            }
            break;
        case ttsOffered:
            if (!sending) {
                if (task.Stream) {
                    SendMessage({wire::CmdTransData, std::to_string(task.ID), wire::AnswerAccept,
                                 std::to_string(task.Stream->Position())});
                    task.State = ttsAccepted;
                } else {
                    SendMessage({wire::CmdTransData, std::to_string(task.ID), wire::AnswerDeny});
                    EndTask(task, trDenied);
                }
            }
            break;
        case ttsAborting:
            if (sending) {
                task.State = ttsAborted;
                SendCommand(wire::CmdAbort, &task);
            }
            break;
        default:
            break;
    }
}

void TTranser::SendDataPacket(TTranserTask& task, std::size_t senders) {
    TStream& stream = *task.Stream;
    const std::int64_t position = stream.Position();
    const std::int64_t length = m_schedule.PacketLength(position, stream.Size(), BufSize, senders);
    if (m_sendBuffer.size() < static_cast<std::size_t>(length))
        m_sendBuffer.resize(static_cast<std::size_t>(length));
    std::size_t got = 0;
    try {
        got = stream.Read(m_sendBuffer.data(), static_cast<std::size_t>(length));
    } catch (const TStreamError&) {
        got = 0;
    }
    if (got != static_cast<std::size_t>(length)) {
        // The file cannot be read (or shrank): the peer must not wait for bytes that never come.
        FailTask(task, trSenderError);
        return;
    }
    m_schedule.Spend(length);
    std::string_view payload(m_sendBuffer.data(), got);
    // Every packet names its own type: one that deflate does not make
    // smaller goes as it is, which any receiver reads.
    TFileTransPacketType type = PacketType;
    if (type == ptCompress) {
        if (!m_compressor)
            m_compressor = std::make_unique<TPacketCompressor>();
        if (m_compressor->CompressIfSmaller(payload, m_transformed))
            payload = m_transformed;
        else
            type = ptDirect;
    } else if (type == ptCrypt) {
        if (!m_encipherer || m_encipherKey != PeerDigest()) {
            m_encipherKey = PeerDigest();
            m_encipherer = std::make_unique<TPacketEncipherer>(m_encipherKey);
        }
        m_encipherer->Encrypt(payload, m_transformed);
        payload = m_transformed;
    }
    std::string header;
    header.reserve(96);
    for (const std::string& line :
         {std::string(wire::CmdTransData), std::to_string(task.ID), std::to_string(position),
          std::to_string(static_cast<int>(type)), std::to_string(length), std::to_string(payload.size())}) {
        header += line;
        header += wire::LineEnd;
    }
    Connection()->Send({header, payload});
}

// --- Receiving -----------------------------------------------------------

std::string TTranser::ReadLine() {
    std::string line;
    std::uint64_t lastData = m_loop.TickCount();
    while (true) {
        TStreamSocket* connection = Connection();
        if (!connection)
            throw TLinkLost();
        switch (connection->TakeLine(line, MaxLineBytes)) {
            case TReadStatus::rsOk:
                return line;
            case TReadStatus::rsTooLong:
                throw TProtocolError("line too long");
            case TReadStatus::rsClosed:
                throw TLinkLost();
            case TReadStatus::rsWouldBlock:
                break;
        }
        const TReadStatus status = connection->Fill(10);
        if (status == TReadStatus::rsOk) {
            lastData = m_loop.TickCount();
            continue;
        }
        if (status == TReadStatus::rsClosed)
            throw TLinkLost();
        m_loop.ProcessMessages();
        if (m_loop.TickCount() - lastData > Timeouts.NoResponse)
            throw TLinkLost();
    }
}

std::int64_t TTranser::ReadNumber() {
    const std::string line = ReadLine();
    const auto value = ParseInt64(line);
    if (!value)
        throw TProtocolError("not a number");
    return *value;
}

bool TTranser::NextLineIsNumber() {
    const std::uint64_t start = m_loop.TickCount();
    std::string line;
    while (TStreamSocket* connection = Connection()) {
        const TReadStatus status = connection->PeekLine(line, MaxLineBytes);
        if (status == TReadStatus::rsOk)
            return ParseInt64(line).has_value();
        if (status != TReadStatus::rsWouldBlock || m_loop.TickCount() - start > NextLineWaitMs)
            return false;
        if (connection->Fill(10) == TReadStatus::rsWouldBlock)
            m_loop.ProcessMessages();
    }
    return false;
}

void TTranser::DispatchCommand() {
    const std::string command = ReadLine();
    const bool first = !m_peerHeard;
    m_peerHeard = true;
    if (first && command != wire::CmdSeek)
        PeerIntroduced(0);
    if (command == wire::CmdTransData) {
        ReadTransData();
    } else if (command == wire::CmdIdoling) {
        // Only its arrival counts, which the tick notes.
    } else if (command == wire::CmdTerminate) {
        SetState(tsClosing);
        SendCommand(wire::CmdTerminate, nullptr);
        StopTimer();
        CloseSocket();
        UpdateWatch();
        DoDisconnect();
        SetState(tsClosed);
    } else if (command == wire::CmdAbort || command == wire::CmdSuspend || command == wire::CmdResume ||
               command == wire::CmdSeek) {
        const auto id = ParseInt32(ReadLine()).value_or(0);
        TTranserTask* task = id != 0 ? m_tasks.FindTask(id) : nullptr;
        if (command == wire::CmdSeek) {
            const std::int64_t position = ReadNumber();
            if (first)
                PeerIntroduced(id == 0 && position > 0 ? static_cast<std::uint64_t>(position) : 0);
            task = id != 0 ? m_tasks.FindTask(id) : nullptr;
            if (task && task->Direction == tdSend && task->Stream && position >= 0 &&
                position <= task->Stream->Size()) {
                task->Stream->Seek(position);
                m_lastAckTick = m_loop.TickCount();
            }
            return;
        }
        if (!task)
            return;
        if (command == wire::CmdAbort) {
            FailTask(*task, trAborted);
        } else if (command == wire::CmdSuspend) {
            // Only a running transfer pauses; an offer or an abort in progress is left as it is.
            if (task->State == ttsTransfering) {
                task->State = ttsSuspended;
                DoSuspend(*task);
            }
        } else if (task->State == ttsSuspended || task->State == ttsTransfering) {
            task->State = ttsTransfering;
            if (task->Direction == tdSend) {
                m_lastAckTick = m_loop.TickCount();
                SendCommand(wire::CmdResume, task);
            } else if (task->DroppedWhileSuspended) {
                // Packets were dropped while paused: tell the sender where to go on.
                task->DroppedWhileSuspended = false;
                RequestSeek(*task, true);
            }
        }
    } else {
        Resynchronise();
    }
}

void TTranser::Resynchronise() {
    std::size_t discarded = 0;
    while (TStreamSocket* connection = Connection()) {
        discarded += connection->Buffered();
        connection->DiscardBuffered();
        if (discarded > MaxResyncBytes || !connection->WaitForData(1))
            break;
    }
}

void TTranser::ReadTransData() {
    const auto id = ParseInt32(ReadLine()).value_or(0);
    TTranserTask* task = id != 0 ? m_tasks.FindTask(id) : nullptr;
    bool created = false;
    if (!task) {
        if (id == 0)
            throw TProtocolError("no task id");
        // Messages still in flight for a task that ended here are not offers.
        if (const TEndedTask* ended = FindEnded(id)) {
            SkipEndedTaskMessage(*ended);
            return;
        }
        std::string name = ReadLine();
        task = &m_tasks.AddReceiveTask(std::move(name), nullptr);
        task->ID = id;
        created = true;
    } else if (task->Direction == tdReceive &&
               (task->State == ttsNew || task->State == ttsOffered || task->State == ttsAccepted) &&
               !NextLineIsNumber()) {
        // An offer repeated after a reconnection: this side holds it already.
        ReadLine();
        ReadLine();
        return;
    }
    switch (task->State) {
        case ttsNew: {
            std::optional<std::int64_t> size = ParseInt64(ReadLine());
            if (task->Direction != tdReceive)
                return;
            if (!size || *size < 0) {
                // A broken offer never reaches the owner.
                if (created)
                    m_tasks.RemoveTask(*task);
                throw TProtocolError("bad offer size");
            }
            task->Size = *size;
            DoReceiveData(*task);
            return;
        }
        case ttsOffered:
            if (task->Direction == tdSend)
                ReadAnswer(*task);
            return;
        case ttsAccepted:
            if (task->Direction != tdReceive)
                return;
            if (m_reanswered.erase(task->ID) != 0) {
                const std::int64_t first = ReadNumber();
                if (NextLineIsNumber()) {
                    // The start message went down with the old link: this is a data packet.
                    task->State = ttsTransfering;
                    ReadDataPacket(*task, first);
                } else {
                    ReadStart(*task, first);
                }
                return;
            }
            ReadStart(*task);
            return;
        case ttsAborting:
        case ttsTransfering:
        case ttsAborted:
            if (task->Direction == tdReceive)
                ReadDataPacket(*task);
            else
                ReadAcknowledge(*task);
            return;
        case ttsSuspended:
            ReadForSuspended(*task);
            return;
    }
}

void TTranser::ReadAnswer(TTranserTask& task) {
    const std::string answer = ReadLine();
    if (answer == wire::AnswerAccept) {
        const std::int64_t position = ReadNumber();
        if (!task.Stream || position < 0 || position > task.Stream->Size()) {
            // The receiver holds more than the whole file: it cannot be a part of it.
            FailTask(task, trReceiverError);
            return;
        }
        task.Stream->Seek(position);
        m_lastAckTick = m_loop.TickCount();
        SendNumberMessage(wire::CmdTransData, task.ID, task.Stream->Size());
        DoSendData(task);
        if (task.State == ttsOffered && task.ResultCode == -1)
            task.State = ttsTransfering;
    } else if (answer == wire::AnswerFailed) {
        EndTask(task, trFileOpenError);
    } else {
        EndTask(task, trDenied);
    }
}

void TTranser::ReadStart(TTranserTask& task, std::optional<std::int64_t> sizeRead) {
    const std::int64_t size = sizeRead ? *sizeRead : ReadNumber();
    if (size < 0)
        throw TProtocolError("bad size");
    task.Size = size;
    task.State = ttsTransfering;
    const std::int64_t have = task.Stream ? task.Stream->Size() : 0;
    if (have > size) {
        // Resuming into a file larger than the offered one would report a
        // complete transfer of a file that is not the sender's.
        FailTask(task, trReceiverError);
    } else if (have == size) {
        CompleteReceive(task, true);
    }
}

void TTranser::ReadDataPacket(TTranserTask& task, std::optional<std::int64_t> positionRead) {
    const std::int64_t position = positionRead ? *positionRead : ReadNumber();
    const std::int64_t type = ReadNumber();
    const std::int64_t raw = ReadNumber();
    const std::int64_t wireLength = ReadNumber();
    if (!PlausibleWireLength(raw, wireLength)) {
        // Without a trustworthy length the rest of the stream cannot be framed.
        CloseSocket();
        throw TProtocolError("bad packet length");
    }
    TStream* stream = task.Stream.get();
    const bool fits = stream && position >= 0 && position == stream->Size() && raw <= task.Size - position;
    TPayloadResult result = TPayloadResult::prBad;
    if (fits)
        result = ReadPayload(wireLength, raw, PacketTypeOf(type), *stream);
    else
        SkipPayload(wireLength);
    if (result == TPayloadResult::prWriteFailed) {
        FailTask(task, trReceiverError);
        return;
    }
    if (result == TPayloadResult::prWritten)
        task.SeekSent = -1;
    else if (stream)
        RequestSeek(task, false);
    const std::int64_t have = stream ? stream->Size() : 0;
    const bool continueTask = ReportProgress(task, have);
    if (task.ResultCode != -1)
        return;
    if (continueTask && task.State != ttsAborting) {
        const bool acknowledge = task.State != ttsAborted;
        if (have == task.Size)
            CompleteReceive(task, acknowledge);
        else if (acknowledge)
            SendNumberMessage(wire::CmdTransData, task.ID, stream ? stream->Position() : 0);
    } else {
        task.State = ttsAborted;
        SendCommand(wire::CmdAbort, &task);
    }
}

void TTranser::ReadAcknowledge(TTranserTask& task) {
    const std::string line = ReadLine();
    if (line == wire::AnswerAccept) {
        ReadLine();  // a late answer: its position line follows
        return;
    }
    const std::int64_t value = ParseInt64(line).value_or(-1);
    if (value < 0 || !task.Stream || value > task.Stream->Size())
        return;
    m_lastAckTick = m_loop.TickCount();
    const bool continueTask = ReportProgress(task, value);
    if (task.ResultCode != -1)
        return;
    if (task.Stream->Size() == value)
        EndTask(task, trComplete);
    else if (!continueTask) {
        task.State = ttsAborted;
        SendCommand(wire::CmdAbort, &task);
    }
}

// A paused task still gets what was in flight when it paused. It is read
// whole and dropped: left unread it would fall to resynchronisation, which
// discards the commands behind it as well.
void TTranser::ReadForSuspended(TTranserTask& task) {
    if (task.Direction == tdReceive) {
        ReadNumber();  // position
        ReadNumber();  // packet type
        const std::int64_t raw = ReadNumber();
        const std::int64_t wireLength = ReadNumber();
        if (!PlausibleWireLength(raw, wireLength)) {
            CloseSocket();
            throw TProtocolError("bad packet length");
        }
        SkipPayload(wireLength);
        task.DroppedWhileSuspended = true;
        return;
    }
    const std::string line = ReadLine();
    if (line == wire::AnswerAccept) {
        ReadLine();
        return;
    }
    // The receiver reporting the whole file has ended its side already.
    const std::int64_t value = ParseInt64(line).value_or(-1);
    if (task.Stream && value >= 0 && value == task.Stream->Size()) {
        ReportProgress(task, value);
        if (task.ResultCode == -1)
            EndTask(task, trComplete);
    }
}

void TTranser::SkipEndedTaskMessage(TEndedTask ended) {
    const std::string line = ReadLine();
    if (ended.Direction == tdSend) {
        // We were the sender: acknowledges, or a late answer with its position.
        if (line == wire::AnswerAccept)
            ReadLine();
        return;
    }
    // We were the receiver: a data packet (three more numbers and a payload)
    // or a start message (nothing more).
    if (!ParseInt64(line) || !NextLineIsNumber())
        return;
    ReadNumber();
    const std::int64_t raw = ReadNumber();
    const std::int64_t wireLength = ReadNumber();
    if (!PlausibleWireLength(raw, wireLength)) {
        CloseSocket();
        throw TProtocolError("bad packet length");
    }
    SkipPayload(wireLength);
}

std::size_t TTranser::ReceivePiece(char* buffer, std::size_t length, std::uint64_t& lastData) {
    while (true) {
        TStreamSocket* connection = Connection();
        if (!connection)
            throw TLinkLost();
        std::size_t got = 0;
        const TReadStatus status = connection->ReadSome(buffer, length, got);
        if (status == TReadStatus::rsOk) {
            lastData = m_loop.TickCount();
            return got;
        }
        if (status == TReadStatus::rsClosed)
            throw TLinkLost();
        if (!connection->WaitReadable(10)) {
            m_loop.ProcessMessages();
            if (m_loop.TickCount() - lastData > Timeouts.NoResponse)
                throw TLinkLost();
        }
    }
}

void TTranser::SkipPayload(std::int64_t wireLength) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(wireLength, 1 << 20));
    if (m_chunk.size() < chunk)
        m_chunk.resize(chunk);
    std::uint64_t lastData = m_loop.TickCount();
    while (wireLength > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(wireLength, chunk));
        wireLength -= static_cast<std::int64_t>(ReceivePiece(m_chunk.data(), want, lastData));
    }
}

TTranser::TPayloadResult TTranser::ReadPayload(std::int64_t wireLength, std::int64_t rawLength,
                                               TFileTransPacketType type, TStream& target) {
    const std::int64_t start = target.Size();
    TPacketDecoder* decoder = nullptr;
    if (type == ptCompress) {
        if (!m_inflater)
            m_inflater = MakeInflateDecoder();
        decoder = m_inflater.get();
    } else if (type == ptCrypt) {
        if (!m_decipherer || m_decipherKey != LocalDigest()) {
            m_decipherKey = LocalDigest();
            m_decipherer = MakeDecipherDecoder(m_decipherKey);
        }
        decoder = m_decipherer.get();
    }
    bool sound = decoder || wireLength == rawLength;
    bool writeFailed = false;
    m_decoded.clear();
    if (decoder)
        decoder->Begin(rawLength, wireLength);
    auto write = [&](std::string_view bytes) {
        if (bytes.empty() || writeFailed)
            return;
        try {
            target.Write(bytes.data(), bytes.size());
        } catch (const TStreamError&) {
            writeFailed = true;
        }
    };

    const std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(wireLength, PayloadChunkBytes));
    if (m_chunk.size() < chunk)
        m_chunk.resize(chunk);
    std::uint64_t lastData = m_loop.TickCount();
    std::int64_t left = wireLength;
    try {
        while (left > 0) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(left, chunk));
            const std::size_t got = ReceivePiece(m_chunk.data(), want, lastData);
            left -= static_cast<std::int64_t>(got);
            if (!sound || writeFailed)
                continue;
            if (!decoder) {
                write(std::string_view(m_chunk.data(), got));
                continue;
            }
            // Inflating is fed in small slices so that what one slice decodes
            // to stays small, however well the peer's bytes compress; the
            // output is gathered and written in large pieces.
            const std::size_t slice = type == ptCompress ? InflateSliceBytes : got;
            for (std::size_t at = 0; at < got && sound && !writeFailed; at += slice) {
                sound = decoder->Feed(reinterpret_cast<const std::uint8_t*>(m_chunk.data()) + at,
                                      std::min(slice, got - at), m_decoded);
                if (sound && m_decoded.size() >= WriteGatherBytes) {
                    write(m_decoded);
                    m_decoded.clear();
                }
            }
        }
        if (decoder && sound && !writeFailed) {
            sound = decoder->Finish(m_decoded);
            if (sound)
                write(m_decoded);
        }
        m_decoded.clear();
    } catch (const TLinkLost&) {
        m_decoded.clear();
        // Nothing of a packet cut off stays: the stream ends where the packet began.
        try {
            target.Truncate(start);
            target.Seek(start);
        } catch (const TStreamError&) {
        }
        throw;
    }
    if (!sound || writeFailed) {
        try {
            target.Truncate(start);
            target.Seek(start);
        } catch (const TStreamError&) {
            writeFailed = true;
        }
    }
    if (writeFailed)
        return TPayloadResult::prWriteFailed;
    return sound ? TPayloadResult::prWritten : TPayloadResult::prBad;
}

// A packet that does not fit the receive stream asks the sender to go back
// to what is actually there. The packets already in flight will not fit
// either; they do not repeat the request unless it seems lost.
void TTranser::RequestSeek(TTranserTask& task, bool force) {
    const std::int64_t target = task.Stream ? task.Stream->Size() : task.Transfered;
    const std::uint64_t now = m_loop.TickCount();
    if (!force && task.SeekSent == target && now - task.SeekTick < SeekRepeatMs)
        return;
    SendNumberMessage(wire::CmdSeek, task.ID, target);
    task.SeekSent = target;
    task.SeekTick = now;
}

// --- Progress and ending --------------------------------------------------

bool TTranser::ReportProgress(TTranserTask& task, std::int64_t n) {
    bool continueTask = true;
    const std::uint64_t now = m_loop.TickCount();
    const std::uint64_t gap = now - task.LastReport;
    if (gap <= ProgressIntervalMs && n != task.Size)
        return true;
    const std::int64_t byteRate =
        gap == 0 ? 0
                 : RoundHalfEven(static_cast<double>(n - task.Transfered) / static_cast<double>(gap) * 1000);
    DoTransferingProgress(task, byteRate, n, task.Size, continueTask);
    if (task.LastReport != 0)
        task.Elapsed += static_cast<std::uint32_t>(gap);
    task.Transfered = n;
    task.LastReport = now;
    return continueTask;
}

void TTranser::CompleteReceive(TTranserTask& task, bool acknowledge) {
    // "Complete" promises that every byte is on disk, on both sides: the
    // acknowledge that ends the sender's task goes out only once they are.
    // The slow part, the sync of a file, runs on the pool.
    auto* file = dynamic_cast<TFileStream*>(task.Stream.get());
    if (!file || file->Fd() < 0) {
        FinishReceive(task, acknowledge);
        return;
    }
    if (m_committing.contains(task.ID))
        return;
    if (!m_commits) {
        m_commits = std::make_unique<TCommitPool>();
        m_loop.WatchRead(m_commits->NotifyFd(), [this] { CommitsReady(); });
    }
    m_committing[task.ID] = acknowledge;
    m_commits->Submit(task.ID, file->Fd());
}

void TTranser::CommitsReady() {
    std::vector<TCommitPool::TDone> done = m_commits->TakeDone();
    m_commitsDone.insert(m_commitsDone.end(), done.begin(), done.end());
    if (m_state == tsReady)
        RunBetweenTicks([this] { ProcessCommits(); });
}

void TTranser::ProcessCommits() {
    std::vector<TCommitPool::TDone> done;
    done.swap(m_commitsDone);
    for (const TCommitPool::TDone& commit : done) {
        const auto pending = m_committing.find(commit.ID);
        if (pending == m_committing.end())
            continue;
        const bool acknowledge = pending->second;
        m_committing.erase(pending);
        // The task may have ended meanwhile (aborted, the session closed).
        TTranserTask* task = nullptr;
        for (std::size_t i = 0; i < m_tasks.Count() && !task; ++i)
            if (m_tasks[i].ID == commit.ID && m_tasks[i].Direction == tdReceive &&
                m_tasks[i].ResultCode == -1)
                task = &m_tasks[i];
        if (!task)
            continue;
        if (!commit.Ok)
            FailTask(*task, trReceiverError);
        else
            FinishReceive(*task, acknowledge && task->State != ttsAborted);
    }
}

void TTranser::FinishReceive(TTranserTask& task, bool acknowledge) {
    try {
        if (task.Stream)
            task.Stream->Commit();
    } catch (const TStreamError&) {
        FailTask(task, trReceiverError);
        return;
    }
    if (acknowledge)
        SendNumberMessage(wire::CmdTransData, task.ID, task.Stream ? task.Stream->Position() : 0);
    EndTask(task, trComplete);
}

void TTranser::EndTask(TTranserTask& task, std::int32_t code) {
    task.ResultCode = code;
    DoTransferComplete(task);
    RememberEnded(task);
    m_tasks.RemoveTask(task);
}

void TTranser::FailTask(TTranserTask& task, std::int32_t code) {
    task.ResultCode = code;
    task.State = ttsAborted;
    DoTransferComplete(task);
    SendCommand(wire::CmdAbort, &task);
    RememberEnded(task);
    m_tasks.RemoveTask(task);
}

void TTranser::RememberEnded(const TTranserTask& task) {
    const std::uint64_t now = m_loop.TickCount();
    while (!m_ended.empty() &&
           (m_ended.size() >= MaxEndedTasks || now - m_ended.front().Tick > EndedTaskMemoryMs))
        m_ended.pop_front();
    m_ended.push_back({task.ID, task.Direction, now});
}

const TTranser::TEndedTask* TTranser::FindEnded(std::int32_t id) const {
    for (auto it = m_ended.rbegin(); it != m_ended.rend(); ++it)
        if (it->ID == id)
            return &*it;
    return nullptr;
}

}  // namespace fwp
