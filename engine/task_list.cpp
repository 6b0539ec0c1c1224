#include "engine/task_list.h"

#include <charconv>
#include <chrono>
#include <cmath>

namespace fwp {
namespace {

// One generator for the process. The clock alone would give two programs
// started in the same instant the same ids, so the system's entropy is mixed in.
std::mt19937& Random() {
    static std::mt19937 generator([] {
        std::random_device device;
        const auto clock =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        std::seed_seq seed{static_cast<std::uint32_t>(clock), static_cast<std::uint32_t>(clock >> 32),
                           device(), device()};
        return std::mt19937(seed);
    }());
    return generator;
}

}  // namespace

TTranserTaskList::TTranserTaskList() = default;

std::int32_t TTranserTaskList::FreshId() {
    std::uniform_int_distribution<std::int32_t> range(1, 2147483646);
    while (true) {
        const std::int32_t id = range(Random());
        if (!FindTask(id))
            return id;
    }
}

TTranserTask& TTranserTaskList::AddSendTask(std::string name, std::unique_ptr<TStream> stream) {
    auto task = std::make_unique<TTranserTask>();
    task->ID = FreshId();
    task->Direction = tdSend;
    task->Name = std::move(name);
    task->Size = stream ? stream->Size() : 0;
    task->Stream = std::move(stream);
    m_tasks.push_back(std::move(task));
    if (OnSendTaskAdded)
        OnSendTaskAdded();
    return *m_tasks.back();
}

TTranserTask& TTranserTaskList::AddReceiveTask(std::string name, std::unique_ptr<TStream> stream) {
    auto task = std::make_unique<TTranserTask>();
    task->ID = FreshId();
    task->Direction = tdReceive;
    task->Name = std::move(name);
    task->Stream = std::move(stream);
    m_tasks.push_back(std::move(task));
    return *m_tasks.back();
}

void TTranserTaskList::RemoveAt(std::size_t index) {
    auto task = std::move(m_tasks[index]);
    m_tasks.erase(m_tasks.begin() + static_cast<std::ptrdiff_t>(index));
    task->Stream.reset();
    m_removed.push_back(std::move(task));
}

void TTranserTaskList::RemoveTask(std::int32_t id) {
    for (std::size_t i = 0; i < m_tasks.size(); ++i)
        if (m_tasks[i]->ID == id)
            return RemoveAt(i);
}

void TTranserTaskList::RemoveTask(const TTranserTask& task) {
    for (std::size_t i = 0; i < m_tasks.size(); ++i)
        if (m_tasks[i].get() == &task)
            return RemoveAt(i);
}

TTranserTask* TTranserTaskList::FindTask(std::int32_t id) const {
    for (const auto& task : m_tasks)
        if (task->ID == id)
            return task.get();
    return nullptr;
}

const char* ResultText(std::int32_t code) {
    switch (code) {
        case trComplete:
            return "転送完了";
        case trGeneralError:
            return "一般転送エラー";
        case trDenied:
            return "拒否";
        case trAborted:
            return "中断";
        case trVersionError:
            return "プロトコルのバージョンが違うエラー";
        case trFileOpenError:
            return "ファイルオープンエラー";
        case trReceiverError:
            return "受信側エラー";
        case trSenderError:
            return "送信側エラー";
        case trNoResponse:
            return "応答無しエラー";
        default:
            return "予期せぬエラー";
    }
}

std::string FormatByteSize(std::int64_t bytes) {
    static const char* const Units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    std::size_t divisions = 0;
    while (value >= 1024) {
        value /= 1024;
        ++divisions;
    }
    // Hundredths, halves to even (the default rounding mode).
    const double rounded = std::nearbyint(value * 100) / 100;
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, rounded, std::chars_format::general);
    std::string out(text, result.ptr);
    out += ' ';
    if (divisions < std::size(Units))
        out += Units[divisions];
    return out;
}

}  // namespace fwp
