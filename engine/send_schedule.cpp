#include "engine/send_schedule.h"

#include <algorithm>

namespace fwp {
namespace {

constexpr std::int64_t MinPacketBytes = 128;

bool HasDataToSend(const TTranserTask& task) {
    return task.Direction == tdSend && task.State == ttsTransfering && task.ResultCode == -1 && task.Stream &&
           task.Stream->Position() < task.Stream->Size();
}

}  // namespace

const std::vector<TTranserTask*>& TSendSchedule::NextRound(const TTranserTaskList& tasks,
                                                           std::int32_t maxSending) {
    m_round.clear();
    std::size_t files = 0;
    const std::size_t fileLimit = static_cast<std::size_t>(std::max<std::int32_t>(maxSending, 1));
    for (std::size_t i = 0; i < tasks.Count(); ++i) {
        TTranserTask& task = tasks[i];
        if (task.Priority && HasDataToSend(task))
            m_round.push_back(&task);
    }
    for (std::size_t i = 0; i < tasks.Count() && files < fileLimit; ++i) {
        TTranserTask& task = tasks[i];
        if (!task.Priority && HasDataToSend(task)) {
            m_round.push_back(&task);
            ++files;
        }
    }
    return m_round;
}

bool TSendSchedule::WaitsForTurn(const TTranserTaskList& tasks, const TTranserTask& task,
                                 std::int32_t maxSending) {
    if (task.Priority || task.Direction != tdSend)
        return false;
    const std::size_t fileLimit = static_cast<std::size_t>(std::max<std::int32_t>(maxSending, 1));
    std::size_t ahead = 0;
    for (std::size_t i = 0; i < tasks.Count(); ++i) {
        const TTranserTask& other = tasks[i];
        if (&other == &task)
            return ahead >= fileLimit;
        if (!other.Priority && HasDataToSend(other))
            ++ahead;
    }
    return false;
}

std::vector<TTranserTask*> TSendSchedule::ControlOrder(const TTranserTaskList& tasks) {
    std::vector<TTranserTask*> order;
    order.reserve(tasks.Count());
    for (std::size_t i = 0; i < tasks.Count(); ++i)
        if (tasks[i].Priority)
            order.push_back(&tasks[i]);
    for (std::size_t i = 0; i < tasks.Count(); ++i)
        if (!tasks[i].Priority)
            order.push_back(&tasks[i]);
    return order;
}

std::int64_t TSendSchedule::PacketLength(std::int64_t position, std::int64_t size, std::int32_t bufSize,
                                         std::size_t senders) const {
    const std::int64_t buffer = bufSize > 0 ? bufSize : MinPacketBytes;
    std::int64_t length = buffer / static_cast<std::int64_t>(std::max<std::size_t>(senders, 1));
    if (m_rate > 0)
        length = std::min(length, m_rate / 10);
    length = std::max(length, MinPacketBytes);
    length = std::min(length, size - position);
    // A packet never runs across a multiple of the buffer size, so that a
    // peer reading into a buffer of that size finds it whole there.
    const std::int64_t intoBuffer = position % buffer;
    if (intoBuffer + length > buffer)
        length = buffer - intoBuffer;
    return length;
}

void TSendSchedule::BeginPass(std::uint64_t nowMs, std::int64_t rate) {
    m_passStart = nowMs;
    if (rate != m_rate) {
        // A new limit starts with a tenth of a second's worth.
        m_rate = rate;
        m_allowance = rate / 10;
        m_refilled = nowMs;
    }
    if (m_rate <= 0)
        return;
    const std::uint64_t elapsed = nowMs - m_refilled;
    m_refilled = nowMs;
    // The allowance never grows beyond a tenth of a second's worth, so an
    // idle spell does not turn into a burst.
    const std::int64_t cap = std::max<std::int64_t>(m_rate / 10, 1);
    const std::int64_t gained =
        static_cast<std::int64_t>(static_cast<double>(m_rate) * static_cast<double>(elapsed) / 1000.0);
    m_allowance = std::min(cap, m_allowance + gained);
}

void TSendSchedule::Spend(std::int64_t bytes) {
    if (m_rate > 0)
        m_allowance -= bytes;
}

}  // namespace fwp
