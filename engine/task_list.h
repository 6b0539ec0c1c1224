#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/stream.h"

namespace fwp {

// The numbers of these two enumerations are handed to plug-ins; keep them.
enum class TTranserTaskState : std::uint8_t {
    ttsNew = 0,          // send: offer not sent yet; receive: owner has not decided
    ttsOffered = 1,      // send: waiting for the answer; receive: decided, answer not sent yet
    ttsAccepted = 2,     // receive: "$ACPT" sent, waiting for the start message
    ttsAborting = 3,     // abort requested
    ttsTransfering = 4,  // data flowing
    ttsSuspended = 5,    // paused
    ttsAborted = 6,      // "#ABORT" sent, waiting for the echo
};
using enum TTranserTaskState;

enum class TTranserDirection : std::uint8_t { tdSend = 0, tdReceive = 1 };
using enum TTranserDirection;

// Result codes of a task; -1 while it runs.
enum TTransferResult : std::int32_t {
    trComplete = 0,
    trGeneralError = 1,
    trDenied = 2,
    trAborted = 3,
    trVersionError = 6,
    trFileOpenError = 7,
    trReceiverError = 10,
    trSenderError = 11,
    trNoResponse = 12,
};

// One named byte stream that one side sends and the other receives: a file,
// an instant message or a plug-in message.
struct TTranserTask {
    std::int32_t ID = 0;
    std::int64_t Size = 0;
    std::int64_t Transfered = 0;  // byte count of the last progress report
    TTranserTaskState State = ttsNew;
    std::string Name;  // the name line, bytes as they go on the wire
    // The name line offered instead when the peer has not shown that it is
    // this program (it cannot read every name form); empty when Name serves both.
    std::string ClassicName;
    std::unique_ptr<TStream> Stream;
    TTranserDirection Direction = tdSend;
    std::uint64_t LastReport = 0;  // tick count of the last progress report, 0 before it
    std::int32_t ResultCode = -1;
    std::uint32_t Elapsed = 0;  // ms summed over the gaps between progress reports
    bool Priority = false;      // may send beyond MaxSendingCount in a send pass

    // Engine bookkeeping for re-synchronising a receive task.
    std::int64_t SeekSent = -1;  // position of the last "#SEEK" not yet met by a packet
    std::uint64_t SeekTick = 0;  // when it was sent
    bool DroppedWhileSuspended = false;
};

// All tasks of both directions in the order the send pass visits them. A
// removed task releases its stream at once; the object itself stays valid
// until ReleaseRemoved, so code that still holds it during a tick is safe.
class TTranserTaskList {
public:
    TTranserTaskList();

    TTranserTask& AddSendTask(std::string name, std::unique_ptr<TStream> stream);
    TTranserTask& AddReceiveTask(std::string name, std::unique_ptr<TStream> stream);
    // Removes the first task with that id; nothing happens if there is none.
    void RemoveTask(std::int32_t id);
    void RemoveTask(const TTranserTask& task);
    TTranserTask* FindTask(std::int32_t id) const;
    // Gives the task an id no other task holds, so that it can be offered anew.
    void RenewId(TTranserTask& task) { task.ID = FreshId(); }

    std::size_t Count() const { return m_tasks.size(); }
    TTranserTask& operator[](std::size_t index) const { return *m_tasks[index]; }
    // Frees the objects of removed tasks; called when nothing can hold them.
    void ReleaseRemoved() { m_removed.clear(); }

    // Called after AddSendTask, so the engine can send the offer at once.
    std::function<void()> OnSendTaskAdded;

private:
    std::int32_t FreshId();
    void RemoveAt(std::size_t index);

    std::vector<std::unique_ptr<TTranserTask>> m_tasks;
    std::vector<std::unique_ptr<TTranserTask>> m_removed;
};

// The text shown for a result code.
const char* ResultText(std::int32_t code);
// "1023 B", "1.5 KB", "1 MB": the count divided down by 1024, to hundredths.
std::string FormatByteSize(std::int64_t bytes);

}  // namespace fwp
