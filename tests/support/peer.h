#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/poll_loop.h"
#include "engine/transer.h"

namespace fwp::test {

using namespace std::chrono_literals;

// What a peer's engine reported, kept for the test thread.
struct TCompletion {
    std::string Name;
    TTranserDirection Direction;
    std::int32_t Result;
    std::string Data;  // the stream's bytes for tasks held in memory
};

// A transfer engine on a thread of its own with its own poll loop, as the
// window or fwpost would run it. Everything that touches the engine runs on
// that thread through Call; the events are recorded for the test.
class TPeer {
public:
    explicit TPeer(std::string name = "peer");
    ~TPeer();
    TPeer(const TPeer&) = delete;
    TPeer& operator=(const TPeer&) = delete;

    // Runs fn on the peer's thread and returns its result.
    template <typename F>
    auto Call(F&& fn) -> decltype(fn(std::declval<TTranser&>())) {
        using R = decltype(fn(std::declval<TTranser&>()));
        std::packaged_task<R()> work([&] { return fn(*m_transer); });
        auto result = work.get_future();
        m_loop.Post([&] { work(); });
        return result.get();
    }
    // Runs fn on the peer's thread without waiting for it.
    void Post(std::function<void(TTranser&)> fn);
    // Polls predicate (on the peer's thread) until it holds or limit passes.
    bool WaitUntil(const std::function<bool(TTranser&)>& predicate, std::chrono::milliseconds limit = 20s);

    // Listens on a free port and returns it.
    int Listen();
    // Accepts the peer in the background and starts the engine once connected.
    std::future<bool> AcceptAndStart(std::chrono::milliseconds limit = 10s);
    bool ConnectAndStart(int port, const std::string& host = "127.0.0.1");

    // What to do with an incoming offer (runs on the peer's thread). The
    // default accepts messages into memory and files into ReceiveFolder.
    std::function<void(TTranser&, TTranserTask&)> OnOffer;
    std::filesystem::path ReceiveFolder;
    bool AutoResume = true;
    // Called with each progress report; may clear Continue.
    std::function<void(TTranser&, TTranserTask&, std::int64_t, bool&)> OnProgress;

    // Queues a file; the task id.
    std::int32_t Offer(const std::filesystem::path& path);
    std::int32_t SendMessage(const std::string& text);

    std::vector<TCompletion> Completions() const;
    // The completion of the first task with that name, once there is one.
    bool HasCompleted(const std::string& name) const;
    const TCompletion* FindCompletion(const std::string& name, std::vector<TCompletion>& storage) const;
    int Offers() const { return m_offers; }
    int Disconnects() const { return m_disconnects; }
    int Reconnects() const { return m_reconnects; }
    int Suspends() const { return m_suspends; }
    int ProgressReports() const { return m_progressReports; }
    bool AllTasksEnded();
    TTranserState State();

    TPollLoop& Loop() { return m_loop; }

private:
    struct TAcceptState {
        std::promise<bool> Done;
        std::chrono::steady_clock::time_point End;
    };
    void AcceptStep(TTranser& transer, const std::shared_ptr<TAcceptState>& state);
    void Record(TTranserTask& task);

    std::string m_name;
    TPollLoop m_loop;
    std::unique_ptr<TTranser> m_transer;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<TCompletion> m_completions;
    std::atomic<int> m_offers{0};
    std::atomic<int> m_disconnects{0};
    std::atomic<int> m_reconnects{0};
    std::atomic<int> m_suspends{0};
    std::atomic<int> m_progressReports{0};
};

// Short waits so that tests about timeouts and dead links run in seconds.
TTranserTimeouts ShortTimeouts();

// Two peers connected on loopback: server listening, client connected, both started.
struct TLoopbackPair {
    TPeer Server{"server"};
    TPeer Client{"client"};
    // Sets both engines up (packet type, buffer size, timeouts) and connects them.
    void Connect(TFileTransPacketType type = ptDirect, std::int32_t bufSize = 32768,
                 const TTranserTimeouts& timeouts = TTranserTimeouts{});
};

// Leaves content at path as the unfinished receive of an offer of the file's
// name and offeredSize bytes, as a receive cut short leaves it: automatic
// resume continues only such a file.
void WriteUnfinishedReceive(const std::filesystem::path& path, std::string_view content,
                            std::int64_t offeredSize);

}  // namespace fwp::test
