#pragma once

#include <cstdint>
#include <vector>

#include "engine/task_list.h"

namespace fwp {

// Who sends what when. A send pass first sends the messages that steer tasks
// (offers, answers, aborts), messages before files, then data packets while
// the socket takes them: in rounds of one packet per sending task, so that
// several files progress together, each packet a share of the buffer size.
// The pass ends when the socket is full (the loop's write watch resumes it),
// when its time slice is used up (so that reading, progress and time-outs
// keep running), or when the rate limit is reached (the tick resumes it).
class TSendSchedule {
public:
    // The tasks that get a data packet in the coming round: every message
    // with data left, then the first maxSending files with data left in list
    // order. Empty when nothing is to be sent.
    const std::vector<TTranserTask*>& NextRound(const TTranserTaskList& tasks, std::int32_t maxSending);

    // True when task, a file the peer has accepted, waits for a sending
    // slot: maxSending files before it in the list still have data to send.
    static bool WaitsForTurn(const TTranserTaskList& tasks, const TTranserTask& task,
                             std::int32_t maxSending);

    // Steering messages go out in this order: messages first, then files.
    static std::vector<TTranserTask*> ControlOrder(const TTranserTaskList& tasks);

    // The length of the packet starting at position: the buffer size shared
    // among the senders of the round (never less than 128 bytes), cut at the
    // end of the data and at the next multiple of the buffer size, and with a
    // rate limit at a tenth of a second's worth.
    std::int64_t PacketLength(std::int64_t position, std::int64_t size, std::int32_t bufSize,
                              std::size_t senders) const;

    // Starts a pass at nowMs with a limit of rate bytes per second (0: none).
    void BeginPass(std::uint64_t nowMs, std::int64_t rate);
    // True while the pass may send another packet: the slice is not over.
    bool InSlice(std::uint64_t nowMs) const { return nowMs - m_passStart < SliceMs; }
    // True while the rate limit lets another packet go.
    bool RateAllows() const { return m_rate <= 0 || m_allowance > 0; }
    // Counts payload bytes against the rate limit.
    void Spend(std::int64_t bytes);

    static constexpr std::uint64_t SliceMs = 10;

private:
    std::vector<TTranserTask*> m_round;
    std::uint64_t m_passStart = 0;
    std::int64_t m_rate = 0;
    std::int64_t m_allowance = 0;  // bytes the rate limit still allows; may go below 0 by one packet
    std::uint64_t m_refilled = 0;  // when the allowance was last topped up
};

}  // namespace fwp
