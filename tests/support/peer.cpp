#include "tests/support/peer.h"

#include "app/envelope.h"
#include "app/partial_record.h"
#include "app/transfer_actions.h"

namespace fwp::test {

TPeer::TPeer(std::string name) : m_name(std::move(name)), m_transer(std::make_unique<TTranser>(m_loop)) {
    TTranser& transer = *m_transer;
    transer.OnReceiveData = [this](TTranserTask& task) {
        ++m_offers;
        if (OnOffer) {
            OnOffer(*m_transer, task);
            return;
        }
        const TEnvelope envelope = ParseEnvelope(task.Name);
        if (envelope.Kind == TEnvelopeKind::ekInstantMessage ||
            envelope.Kind == TEnvelopeKind::ekPluginMessage)
            m_transer->AcceptTask(task, std::make_unique<TMemoryStream>());
        else if (envelope.Kind == TEnvelopeKind::ekFile && !ReceiveFolder.empty())
            ReceiveIntoFolder(*m_transer, task, ReceiveFolder, AutoResume);
    };
    transer.OnTransferComplete = [this](TTranserTask& task) { Record(task); };
    transer.OnTransferingProgress = [this](TTranserTask& task, std::int64_t, std::int64_t transfered,
                                           std::int64_t, bool& continueTask) {
        ++m_progressReports;
        if (OnProgress)
            OnProgress(*m_transer, task, transfered, continueTask);
    };
    transer.OnDisconnect = [this](TTranserSocket&) { ++m_disconnects; };
    transer.OnReconnect = [this](bool& reconnect) {
        ++m_reconnects;
        reconnect = true;
    };
    transer.OnSuspend = [this](TTranserTask&) { ++m_suspends; };
    m_loop.OnError = [](const std::exception&) {};
    m_thread = std::thread([this] { m_loop.Run(); });
}

TPeer::~TPeer() {
    // Without an orderly close: the test decides whether to close first.
    Call([](TTranser& transer) {
        transer.OnTransferComplete = nullptr;
        transer.OnDisconnect = nullptr;
        transer.Timeouts.CloseStep = 0;
        transer.CloseSocket();
        return 0;
    });
    m_loop.Post([this] { m_transer.reset(); });
    m_loop.Quit();
    m_thread.join();
}

void TPeer::Post(std::function<void(TTranser&)> fn) {
    m_loop.Post([this, fn = std::move(fn)] { fn(*m_transer); });
}

bool TPeer::WaitUntil(const std::function<bool(TTranser&)>& predicate, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (true) {
        if (Call([&](TTranser& transer) { return predicate(transer); }))
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

void TPeer::Record(TTranserTask& task) {
    TCompletion completion{task.Name, task.Direction, task.ResultCode, {}};
    if (const auto* memory = dynamic_cast<const TMemoryStream*>(task.Stream.get()))
        completion.Data = memory->Data();
    std::lock_guard lock(m_mutex);
    m_completions.push_back(std::move(completion));
}

std::vector<TCompletion> TPeer::Completions() const {
    std::lock_guard lock(m_mutex);
    return m_completions;
}

bool TPeer::HasCompleted(const std::string& name) const {
    std::lock_guard lock(m_mutex);
    for (const auto& completion : m_completions)
        if (completion.Name == name)
            return true;
    return false;
}

const TCompletion* TPeer::FindCompletion(const std::string& name, std::vector<TCompletion>& storage) const {
    storage = Completions();
    for (const auto& completion : storage)
        if (completion.Name == name)
            return &completion;
    return nullptr;
}

int TPeer::Listen() {
    return Call([](TTranser& transer) {
        transer.Listen(0);
        return transer.ListeningPort();
    });
}

std::future<bool> TPeer::AcceptAndStart(std::chrono::milliseconds limit) {
    auto state = std::make_shared<TAcceptState>();
    state->End = std::chrono::steady_clock::now() + limit;
    auto result = state->Done.get_future();
    Post([this, state](TTranser& transer) { AcceptStep(transer, state); });
    return result;
}

// Accepts a little at a time so that the loop keeps turning meanwhile.
void TPeer::AcceptStep(TTranser& transer, const std::shared_ptr<TAcceptState>& state) {
    try {
        if (transer.Accept(20)) {
            transer.Start();
            state->Done.set_value(true);
            return;
        }
    } catch (const std::exception&) {
        state->Done.set_value(false);
        return;
    }
    if (std::chrono::steady_clock::now() >= state->End) {
        state->Done.set_value(false);
        return;
    }
    Post([this, state](TTranser& next) { AcceptStep(next, state); });
}

bool TPeer::ConnectAndStart(int port, const std::string& host) {
    return Call([&](TTranser& transer) {
        if (!transer.Connect(host, port))
            return false;
        transer.Start();
        return true;
    });
}

std::int32_t TPeer::Offer(const std::filesystem::path& path) {
    return Call([&](TTranser& transer) {
        const TOfferResult offer = OfferFile(transer, path);
        return offer.Task ? offer.Task->ID : 0;
    });
}

std::int32_t TPeer::SendMessage(const std::string& text) {
    return Call([&](TTranser& transer) { return SendInstantMessage(transer, text).ID; });
}

bool TPeer::AllTasksEnded() {
    return Call([](TTranser& transer) { return transer.Tasks().Count() == 0; });
}

TTranserState TPeer::State() {
    return Call([](TTranser& transer) { return transer.State(); });
}

TTranserTimeouts ShortTimeouts() {
    TTranserTimeouts timeouts;
    timeouts.Handshake = 2000;
    timeouts.Connect = 2000;
    timeouts.IdleInterval = 200;
    timeouts.NoResponse = 1500;
    timeouts.CloseStep = 2000;
    timeouts.ReconnectAccept = 100;
    return timeouts;
}

void TLoopbackPair::Connect(TFileTransPacketType type, std::int32_t bufSize,
                            const TTranserTimeouts& timeouts) {
    for (TPeer* peer : {&Server, &Client}) {
        peer->Call([&](TTranser& transer) {
            transer.PacketType = type;
            transer.BufSize = bufSize;
            transer.Timeouts = timeouts;
            return 0;
        });
    }
    const int port = Server.Listen();
    auto accepted = Server.AcceptAndStart();
    if (!Client.ConnectAndStart(port))
        throw std::runtime_error("client could not connect");
    if (!accepted.get())
        throw std::runtime_error("server did not accept");
}

void WriteUnfinishedReceive(const std::filesystem::path& path, std::string_view content,
                            std::int64_t offeredSize) {
    const auto stream = OpenInFolder(path.parent_path(), path.filename(), TFileOpenMode::fmCreate);
    stream->Write(content.data(), content.size());
    const std::string nameLine = FileNameLine(WireFileName(path.filename().string()).Name);
    if (!WritePartialRecord(*stream, offeredSize, nameLine))
        throw std::runtime_error("cannot mark " + path.string() + " as an unfinished receive");
}

}  // namespace fwp::test
