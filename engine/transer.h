#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/commit_pool.h"
#include "engine/send_schedule.h"
#include "engine/task_list.h"
#include "engine/transer_socket.h"

namespace fwp {

class TPacketCompressor;
class TPacketEncipherer;
class TPacketDecoder;

// How a data packet's payload is transformed; the number goes on the wire.
enum class TFileTransPacketType : std::uint8_t { ptDirect = 0, ptCompress = 1, ptCrypt = 2 };
using enum TFileTransPacketType;

enum class TTranserState : std::uint8_t {
    tsClosed = 0,        // not connected
    tsReady = 1,         // connected, no tick in progress
    tsBusy = 2,          // a tick is in progress
    tsTransfering = 3,   // for the front end's display; the engine never enters it
    tsClosing = 4,       // the connection is being closed
    tsReconnecting = 5,  // the link is considered dead; it is set up again, attempts backing off
};
using enum TTranserState;

// The transfer engine: runs the peer protocol over the connection of its
// base. Commands are handled as soon as they arrive, and sending goes on
// while the socket takes it (see TSendSchedule); a 20 ms timer on the host's
// message loop drives a tick for time-outs, progress, idling and whatever a
// full socket or the rate limit held back. Everything runs on the loop's
// thread; where the engine waits it runs the loop, so ticks can nest and the
// state tsBusy makes a nested tick do nothing.
class TTranser : public TTranserSocket {
public:
    explicit TTranser(TEventLoop& loop);
    ~TTranser() override;

    // Begins the protocol after a successful Connect or Accept.
    void Start();
    // Orderly end: abort every task, exchange "#TERMINATE", close.
    void Close();

    // Gives an undecided incoming task its target stream, positioned where the
    // data is to begin. Only then is the stream taken; otherwise it stays the caller's.
    bool AcceptTask(TTranserTask& task, std::unique_ptr<TStream>&& stream);
    void DenyTask(TTranserTask& task);
    void AbortTask(TTranserTask& task);
    void SuspendTask(TTranserTask& task);
    void ResumeTask(TTranserTask& task);

    TTranserState State() const { return m_state; }
    // True once the peer has shown that it is this program (and not a classic
    // peer), so that extensions such as lossless file names may be used.
    bool PeerIsOurs() const { return m_peerIsOurs; }
    // True when an accepted file waits for a sending slot (MaxSendingCount).
    bool WaitsForTurn(const TTranserTask& task) const {
        return TSendSchedule::WaitsForTurn(m_tasks, task, MaxSendingCount);
    }
    int TimerID() const { return m_timerId; }
    TTranserTaskList& Tasks() { return m_tasks; }
    const TTranserTaskList& Tasks() const { return m_tasks; }

    TFileTransPacketType PacketType = ptDirect;
    std::int32_t BufSize = 32767;
    std::int32_t MaxSendingCount = 3;
    std::int64_t MaxSendRate = 0;  // bytes of file data per second; 0 for no limit

    std::function<void(TTranserTask& task, std::int64_t byteRate, std::int64_t transfered, std::int64_t size,
                       bool& continueTask)>
        OnTransferingProgress;
    std::function<void(TTranserTask&)> OnSendData;
    std::function<void(TTranserTask&)> OnReceiveData;
    std::function<void(TTranserState)> OnStateChange;
    std::function<void(TTranserTask&)> OnTransferComplete;
    std::function<void(bool& reconnect)> OnReconnect;
    std::function<void(TTranserTask&)> OnSuspend;

    // Largest line the peer may send; anything longer is a protocol error.
    static constexpr std::size_t MaxLineBytes = 64 * 1024;
    // Largest piece of a payload held in memory at once.
    static constexpr std::size_t PayloadChunkBytes = 4 << 20;

protected:
    void Handshake() override;
    virtual void DoStateChange(TTranserState state);
    virtual void DoSendData(TTranserTask& task);
    virtual void DoReceiveData(TTranserTask& task);
    virtual void DoTransferComplete(TTranserTask& task);
    virtual void DoTransferingProgress(TTranserTask& task, std::int64_t byteRate, std::int64_t transfered,
                                       std::int64_t size, bool& continueTask);
    virtual void DoSuspend(TTranserTask& task);
    virtual void DoReconnect(bool& reconnect);
    virtual void DoDisconnect();

private:
    enum class TPayloadResult : std::uint8_t { prWritten, prBad, prWriteFailed };
    struct TEndedTask {
        std::int32_t ID;
        TTranserDirection Direction;
        std::uint64_t Tick;
    };

    void SetState(TTranserState state);
    void StartTimer();
    void StopTimer();
    void Tick();
    // Handles every command that is waiting; part of the tick, and also run
    // as soon as bytes arrive between ticks, so a peer's packet never waits
    // in the socket for our next tick.
    void ReceivePass();
    void ReceiveBetweenTicks();
    // Connected, ready and not broken: the link may be watched and used between ticks.
    bool LinkUsable() const;
    // Runs work with the engine busy outside a tick, then watches the link again.
    void RunBetweenTicks(const std::function<void()>& work);
    // Runs work with the engine busy; errors inside end it, a lost link is
    // noted. False when the state changed inside (the connection was closed).
    bool RunBusy(const std::function<void()>& work);
    // Watches the connection for incoming bytes while the engine is ready.
    void UpdateWatch();
    bool WaitForTick(std::uint32_t limitMs);
    void RunLoopUntil(const std::function<bool()>& done, std::uint64_t since, std::uint32_t limitMs);
    bool CheckNoResponse();
    bool SomeTaskTransfering() const;
    // A sending task has had data out without an acknowledge for the no-response time.
    bool AcknowledgesOverdue(std::uint64_t now) const;
    // One attempt of rebuilding the link, paced by the back-off; gives up
    // after the reconnection limit.
    void ReconnectStep();
    void GiveUpReconnecting();
    // The peer's first message after a handshake: its session number, or
    // 0 for a peer that sent none (a classic peer).
    void PeerIntroduced(std::uint64_t session);
    // The peer is another session than before: its tasks are gone.
    void StartOverWithNewPeer();
    // The same peer came back: what may have been lost in the cut goes again.
    void ContinueWithSamePeer();
    // Until the peer's first message has been read (or its wait has passed),
    // data is held back, so nothing goes into a session that may not exist.
    bool PeerKnown(std::uint64_t now) const;
    bool MayOffer(const TTranserTask& task, std::uint64_t now) const;
    const std::string& OfferName(const TTranserTask& task) const;

    // Sending. SendPass is true when it stopped with data left that the
    // socket would not take or its time slice had no room for.
    bool SendPass();
    void SendControl(TTranserTask& task, std::uint64_t now);
    void SendDataPacket(TTranserTask& task, std::size_t senders);
    // Notes that something may be sent now and watches the socket for room.
    void KickSend();
    void UpdateWriteWatch();
    void SendBetweenTicks();
    void SendMessage(std::initializer_list<std::string_view> lines);
    void SendCommand(std::string_view command, const TTranserTask* task);
    void SendCommand(std::string_view command, std::int32_t id);
    void SendNumberMessage(std::string_view command, std::int32_t id, std::int64_t value);

    // Receiving.
    void DispatchCommand();
    std::string ReadLine();
    std::int64_t ReadNumber();
    void ReadTransData();
    void ReadAnswer(TTranserTask& task);
    void ReadStart(TTranserTask& task, std::optional<std::int64_t> size = std::nullopt);
    void ReadDataPacket(TTranserTask& task, std::optional<std::int64_t> position = std::nullopt);
    void ReadAcknowledge(TTranserTask& task);
    void ReadForSuspended(TTranserTask& task);
    void SkipEndedTaskMessage(TEndedTask ended);
    // Reads one payload into target at its end; a packet that fails leaves
    // target as it was.
    TPayloadResult ReadPayload(std::int64_t wireLength, std::int64_t rawLength, TFileTransPacketType type,
                               TStream& target);
    std::size_t ReceivePiece(char* buffer, std::size_t length, std::uint64_t& lastData);
    void SkipPayload(std::int64_t wireLength);
    void Resynchronise();
    bool NextLineIsNumber();
    void RequestSeek(TTranserTask& task, bool force);

    // Ending tasks.
    void EndTask(TTranserTask& task, std::int32_t code);
    void FailTask(TTranserTask& task, std::int32_t code);
    // A received file is put on disk on the commit pool first; FinishReceive
    // then acknowledges and ends the task.
    void CompleteReceive(TTranserTask& task, bool acknowledge);
    void FinishReceive(TTranserTask& task, bool acknowledge);
    // Takes the pool's finished syncs; handled at once when the engine is
    // ready, else by the next tick.
    void CommitsReady();
    void ProcessCommits();
    bool ReportProgress(TTranserTask& task, std::int64_t n);
    void RememberEnded(const TTranserTask& task);
    const TEndedTask* FindEnded(std::int32_t id) const;

    TTranserState m_state = tsClosed;
    int m_timerId = 0;
    TTranserTaskList m_tasks;
    std::uint64_t m_lastReceiveTick = 0;
    std::uint64_t m_lastIdleTick = 0;
    bool m_tickDone = true;
    bool m_linkLost = false;
    int m_tickDepth = 0;
    int m_holdDepth = 0;
    int m_watchedFd = -1;
    int m_writeWatchedFd = -1;
    bool m_sendWanted = false;  // a send pass has work that waits only for the socket or the loop
    TSendSchedule m_schedule;
    bool m_tickSwallowed = false;  // a tick came while the engine was busy  // owner operations waiting in
                                   // the loop may still hold a task
    std::deque<TEndedTask> m_ended;
    bool m_peerIsOurs = false;
    std::unique_ptr<TCommitPool> m_commits;
    std::map<std::int32_t, bool> m_committing;  // task id -> acknowledge when done
    std::vector<TCommitPool::TDone> m_commitsDone;
    // Drawn once per engine; sent after every handshake so that the peer
    // tells a reconnection from a restarted program.
    std::uint64_t m_sessionNumber = 0;
    std::uint64_t m_peerSession = 0;  // the number the peer last sent; 0 = none yet
    bool m_peerHeard = false;         // the peer's first message after the handshake has been read
    bool m_linkRebuilt = false;       // the current link is a reconnection within the session
    std::uint64_t m_linkUpTick = 0;
    std::uint64_t m_lastAckTick = 0;
    std::uint64_t m_reconnectStart = 0;
    std::uint64_t m_nextAttempt = 0;
    std::uint32_t m_backoffMs = 0;
    // Receive tasks answered again after a reconnection: their sender may
    // have missed the answer or already be sending, so a data packet may
    // come where the start message was expected.
    std::set<std::int32_t> m_reanswered;

    std::vector<char> m_sendBuffer;
    std::string m_transformed;
    std::vector<char> m_chunk;
    std::string m_decoded;
    std::unique_ptr<TPacketCompressor> m_compressor;
    std::unique_ptr<TPacketEncipherer> m_encipherer;
    std::string m_encipherKey;
    std::unique_ptr<TPacketDecoder> m_inflater;
    std::unique_ptr<TPacketDecoder> m_decipherer;
    std::string m_decipherKey;
};

}  // namespace fwp
