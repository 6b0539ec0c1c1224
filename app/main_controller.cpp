#include "app/main_controller.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <thread>
#include <utility>

#include "app/easy_connection.h"
#include "app/envelope.h"
#include "app/formats.h"
#include "app/partial_record.h"
#include "app/transfer_actions.h"
#include "common/codec.h"
#include "common/error.h"
#include "common/numbers.h"
#include "connect/http.h"
#include "engine/wire.h"

namespace fwp {
namespace {

std::string WithoutBlanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

using namespace std::chrono_literals;

constexpr std::string_view Title = "Fernwaypost";
// The loop's timer that hands the router search's result to the window (the engine uses 1 to 10).
constexpr int AddressTimerId = 100;

std::string Sjis(std::string_view utf8) {
    return codec::Utf8ToCp932(utf8);
}

// The integer value of an edit's text; text that is no number counts as 0.
int PortValue(std::string_view text) {
    const auto value = ParseInt32(text);
    return value.value_or(0);
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

std::string ErrorBoxText(std::string_view message) {
    std::string text(message);
    if (text.empty())
        return text;
    // The first byte of the last character decides.
    std::size_t last = text.size() - 1;
    while (last > 0 && (static_cast<unsigned char>(text[last]) & 0xC0) == 0x80)
        --last;
    if (static_cast<unsigned char>(text[last]) > '.')
        text += '.';
    return text;
}

std::string ErrorExplanation(const std::exception& error) {
    const auto* http = dynamic_cast<const THttpError*>(&error);
    if (!http)
        return {};
    std::string words;
    switch (http->Kind()) {
        case THttpErrorKind::hekOpen:
            words = "通信の準備ができませんでした。プログラムを起動し直してみてください。";
            break;
        case THttpErrorKind::hekOpenUrl:
            words =
                "サーバーに接続できませんでした。インターネットにつながっているか、"
                "設定のサーバーのアドレスが正しいかを確かめてください。";
            break;
        case THttpErrorKind::hekRead:
        case THttpErrorKind::hekReadTimeout:
            words = "サーバーからの応答が途中で途切れました。しばらくしてからもう一度試してください。";
            break;
        case THttpErrorKind::hekSendRequest:
        case THttpErrorKind::hekQueryInfo:
            words = "サーバーから必要な応答がありませんでした。しばらくしてからもう一度試してください。";
            break;
    }
    std::string text = "\n\n" + words;
    if (!http->Detail().empty())
        text += "\n(詳細: " + http->Detail() + ")";
    return text;
}

TMainController::TMainController(TEventLoop& loop, TConfig& config, TMainView& view, TDialogs& dialogs)
    : m_loop(loop),
      m_config(config),
      m_view(view),
      m_dialogs(dialogs),
      m_transer(std::make_unique<TTranser>(loop)),
      m_service(config.EasyServiceURL) {
    TTranser& transer = *m_transer;
    transer.PacketType = ptCompress;
    transer.BufSize = 32768;
    transer.OnReceiveData = [this](TTranserTask& task) { TranserReceiveData(task); };
    transer.OnSendData = [this](TTranserTask& task) { TranserSendData(task); };
    transer.OnTransferingProgress = [this](TTranserTask& task, std::int64_t rate, std::int64_t transfered,
                                           std::int64_t size, bool& continueTask) {
        TranserProgress(task, rate, transfered, size, continueTask);
    };
    transer.OnTransferComplete = [this](TTranserTask& task) { TranserTransferComplete(task); };
    transer.OnStateChange = [this](TTranserState state) { TranserStateChange(state); };
    transer.OnDisconnect = [this](TTranserSocket&) { TranserDisconnect(); };
    transer.OnReconnect = [this](bool& reconnect) { TranserReconnect(reconnect); };
    transer.OnSuspend = [this](TTranserTask& task) { TranserSuspend(task); };
    m_rows.OnAlert = [this] { m_view.Alert(); };
    m_rows.TimeViewMode = config.TimeViewMode;
}

void TMainController::Discover() {
    m_view.ShowAddresses(m_localAddress, "取得中...");
    struct TFound {
        std::string Local;
        std::string IPv6;
        std::string Wan;
    };
    auto found = std::make_shared<TFound>();
    // Both may wait for seconds on some networks: the window must not.
    const bool started = m_routerJob.Start([this, found] {
        found->Local = GetLocalIPAddress();
        found->IPv6 = GetGlobalIPv6Address();
        if (m_upnp.Discover())
            found->Wan = m_upnp.GetExternalIPAddress();
    });
    if (!started)
        return;
    m_loop.SetTimer(AddressTimerId, 100ms, [this, found] {
        if (m_routerJob.Running())
            return;
        m_loop.KillTimer(AddressTimerId);
        m_localAddress = found->Local;
        m_localIPv6Address = found->IPv6;
        m_wanAddress = found->Wan;
        // The global IPv6 address, if any, stands beside the local IPv4 one.
        m_view.ShowAddresses(m_localAddress + (m_localIPv6Address.empty() ? "" : "  " + m_localIPv6Address),
                             m_wanAddress.empty() ? "取得できませんでした" : m_wanAddress);
    });
}

void TMainController::StopAddressTimer() {
    m_loop.KillTimer(AddressTimerId);
}

bool TMainController::RunRouterWork(std::function<void()> work) {
    const auto waitForJob = [this] {
        while (m_routerJob.Running()) {
            if (m_cancelWait)
                return false;
            m_routerJob.WaitFor(20ms);
            m_loop.ProcessMessages();
        }
        return !m_cancelWait;
    };
    if (!waitForJob())
        return false;
    m_routerJob.Start(std::move(work));
    return waitForJob();
}

void TMainController::SetStatus(int panel, std::string_view text) {
    m_view.SetStatusText(panel, text);
}

void TMainController::AddNote(int image, std::string_view caption, std::string_view content,
                              std::string_view state) {
    m_rows.AddNoteRow(image, Sjis(caption), Sjis(content), Sjis(state));
}

void TMainController::ShowError(std::string_view message) {
    m_dialogs.MessageBox(ErrorBoxText(message), Title, TBoxIcon::biError);
}

void TMainController::LoopError(const std::exception& error) {
    // A refused handshake while the engine rebuilds the link happens on every
    // attempt, unattended: it is noted once as a row, never as a box.
    if (m_transer->State() == tsReconnecting) {
        if (!m_reconnectErrorShown)
            m_rows.AddNoteRow(riError, Sjis("再接続"), Sjis(error.what()), "");
        m_reconnectErrorShown = true;
        return;
    }
    ShowError(error.what());
}

// --- Start panel and connection modes -----------------------------------

void TMainController::ShowStartPage(TStartPage page) {
    m_mode = TWindowMode::mdStart;
    m_view.ShowStartPanel(page);
}

void TMainController::ShowStartPanel() {
    ShowStartPage(TStartPage::spSelect);
    if (m_config.FirstRunning) {
        m_dialogs.MessageBox("ようこそ。まずは「設定」を行いチューニングをしましょう！", Title,
                             TBoxIcon::biInformation);
        // The welcome is shown once per run.
        m_config.FirstRunning = false;
        m_view.ShowSettings();
    }
}

std::string TMainController::WaitAddressText(int port, const std::string& externalIp) {
    if (m_localAddress.empty() && !m_routerJob.Running())
        m_localAddress = GetLocalIPAddress();
    const std::string wan = externalIp.empty() ? m_wanAddress : externalIp;
    const std::string portText = std::to_string(port);
    std::string text = "ポート: " + portText;
    if (!m_localAddress.empty())
        text += "\n同じネットワークから: " + m_localAddress + ":" + portText;
    if (!wan.empty())
        text += "\nインターネットから: " + wan + ":" + portText;
    if (!m_localIPv6Address.empty())
        text += "\nIPv6で: [" + m_localIPv6Address + "]:" + portText;
    return text;
}

void TMainController::ShowWaitPage() {
    m_view.SetWaitAddresses("");
    m_cancelWait = false;
    m_mode = TWindowMode::mdWaiting;
    m_view.ShowStartPanel(TStartPage::spWait);
    m_view.SetWaitMessage("");
    m_loop.ProcessMessages();
}

bool TMainController::OpenPortByUPnP(int port) {
    // The search of the start-up may still run: the router is asked one thing at a time.
    while (!m_routerJob.WaitFor(20ms))
        m_loop.ProcessMessages();
    if (!m_upnp.Discover()) {
        m_dialogs.MessageBox("UPnPが見つかりませんでした。使用できません。", "エラー", TBoxIcon::biError);
        return false;
    }
    // The mapping is asked for whatever the router answers.
    m_upnp.AddPortMapping(port, port, 0);
    return true;
}

bool TMainController::PrepareSession(std::string_view secret) {
    m_transer->OnRedial = nullptr;
    m_relay.reset();
    bool exact = true;
    std::string phrase = codec::Utf8ToCp932(secret, &exact);
    if (!exact) {
        m_dialogs.MessageBox("合言葉に使えない文字が含まれています。別の合言葉にしてください。", "注意",
                             TBoxIcon::biWarning);
        return false;
    }
    m_transer->Secret = std::move(phrase);
    return true;
}

bool TMainController::StartServer(std::string_view portText, bool useService, std::string_view userName,
                                  std::string_view secret) {
    const int port = PortValue(portText);
    if (port < 1) {
        m_dialogs.MessageBox("正しいポート番号を指定してください。", "注意", TBoxIcon::biWarning);
        return false;
    }
    if (!PrepareSession(secret))
        return false;
    ShowWaitPage();
    std::string externalIp;
    std::string routerNote;
    try {
        if (m_config.UseUPnP) {
            m_view.SetWaitMessage("ルーターのポートを開いています...");
            struct TMapping {
                bool Found = false;
                bool Mapped = false;
                std::string Wan;
            };
            auto mapping = std::make_shared<TMapping>();
            const bool done = RunRouterWork([this, port, mapping] {
                mapping->Found = m_upnp.Discover();
                if (!mapping->Found)
                    return;
                mapping->Mapped = m_upnp.AddPortMapping(port, port, 0);
                mapping->Wan = m_upnp.GetExternalIPAddress();
            });
            if (!done) {
                ShowStartPanel();
                return false;
            }
            externalIp = mapping->Wan;
            // Without the mapping a peer on this network can still connect, and one
            // outside may through a port opened by hand: the wait goes on.
            if (!mapping->Mapped)
                routerNote =
                    std::string(mapping->Found ? "ルーターがポート " + std::to_string(port) +
                                                     " の開放を受け付けませんでした。"
                                               : "UPnPに対応したルーターが見つからず、ポート " +
                                                     std::to_string(port) + " を開けませんでした。") +
                    "\n外から接続してもらうにはルーターでポートを開けてください"
                    "(UPnPは「設定」の「一般」でオフにできます)。\n\n";
        }
        if (useService && !userName.empty()) {
            m_view.SetWaitMessage("簡単接続サービスに登録中...");
            // The service may be slow to answer: the wait stays cancellable meanwhile.
            struct TRegistration {
                TEasyServiceResult Result;
                std::exception_ptr Failure;
            };
            auto registration = std::make_shared<TRegistration>();
            const bool done =
                RunRouterWork([this, registration, user = std::string(userName), port, externalIp] {
                    try {
                        registration->Result = m_service.EasyServiceOpen(user, port, externalIp);
                    } catch (...) {
                        registration->Failure = std::current_exception();
                    }
                });
            if (!done) {
                ShowStartPanel();
                return false;
            }
            if (registration->Failure)
                std::rethrow_exception(registration->Failure);
            const TEasyServiceResult& result = registration->Result;
            if (result.Notice)
                m_dialogs.MessageBox(result.Notice->Text, result.Notice->Title, TBoxIcon::biError);
            if (!result) {
                m_dialogs.MessageBox(
                    "簡単接続サービスの登録に失敗しました。名前を変えて再度試してみてください。", "失敗",
                    TBoxIcon::biError);
                ShowStartPage(TStartPage::spServer);
                return false;
            }
        }
    } catch (const TError& error) {
        // No network, or the service is out of reach.
        m_dialogs.MessageBox(error.what() + ErrorExplanation(error), Title, TBoxIcon::biError);
        ShowStartPage(TStartPage::spServer);
        return false;
    }
    // A secured server known by name also waits at the relay, for peers that cannot reach it.
    if (useService && !userName.empty() && !secret.empty()) {
        m_view.SetWaitMessage("中継サーバーに接続中...");
        if (!ParkAtRelay(std::string(userName))) {
            ShowStartPanel();
            return false;
        }
        if (!m_relay)
            routerNote += "中継サーバーを利用できません。直接の接続だけを待ちます。\n\n";
    }
    m_waitText = routerNote + "クライアントの接続を待っています...";
    m_view.SetWaitMessage(m_waitText);
    m_view.SetWaitAddresses(WaitAddressText(port, externalIp));
    m_reachability.reset();
    if (useService && !userName.empty()) {
        // The service connects back to the port: the answer says whether the
        // router lets peers in. Asked beside the wait, which it must not hold up.
        m_reachability = std::make_shared<std::atomic<int>>(-1);
        std::thread([answer = m_reachability, service = m_service, port] {
            const std::optional<bool> reachable = CheckReachable(service, port);
            *answer = reachable ? (*reachable ? 1 : 0) : 2;
        }).detach();
    }
    m_config.UseEasyConnection = useService;
    m_config.UserName = userName;
    m_config.Port = port;
    return WaitForClient(port);
}

bool TMainController::WaitForClient(int port) {
    try {
        ApplyTransferSettings();
        m_transer->Listen(port);
        // A port in use (or beyond 65535) leaves no listening socket: nothing could ever connect.
        if (!m_transer->Listening())
            throw TError("ポート " + std::to_string(port) + " で待ち受けできません");
        while (!m_cancelWait) {
            try {
                // A parked connection the relay dropped (its wait time is
                // over) is parked again; direct peers are taken meanwhile.
                if (m_relay && m_relay->ParkDue() && !ParkAtRelay(m_relay->User()))
                    break;
                if (m_relay) {
                    std::string error;
                    if (std::unique_ptr<TStreamSocket> relayed = m_relay->Poll(0, 0, error)) {
                        AdoptRelayed(std::move(relayed), smServer);
                        ConnectionEstablished();
                        return true;
                    }
                }
                if (m_transer->Accept(100)) {
                    m_relay.reset();
                    ConnectionEstablished();
                    return true;
                }
            } catch (const TError& error) {
                // Whoever failed the handshake (a port scan, another program,
                // a peer with another 合言葉) is dropped, said so on the
                // status line, and the wait goes on. The service's check
                // reads the banner and closes: that one is expected.
                if (!m_reachability && m_loop.TickCount() >= m_probeQuietUntil) {
                    std::fprintf(stderr, "fernwaypost: %s\n", error.what());
                    m_view.ShowStatusMessage(error.what());
                }
            }
            ShowReachability();
            m_loop.ProcessMessages();
        }
    } catch (const TError& error) {
        m_dialogs.MessageBox(error.what(), "エラー", TBoxIcon::biError);
        ShowStartPanel();
        return false;
    }
    m_transer->CloseSocket();
    m_relay.reset();
    ShowStartPanel();
    return false;
}

bool TMainController::ParkAtRelay(const std::string& user) {
    if (!m_relay)
        m_relay = std::make_shared<TRelayRoute>(m_loop, m_service, user, true);
    const int timeoutMs = static_cast<int>(m_transer->Timeouts.Connect);
    auto parked = std::make_shared<bool>(false);
    // The service and the relay may be slow to answer: the wait stays cancellable meanwhile.
    if (!RunRouterWork([relay = m_relay, timeoutMs, parked] {
            std::string error;
            *parked = relay->Park(timeoutMs, error);
        }))
        return false;
    // Without the relay the direct wait goes on; a dropped park is tried again later.
    if (!*parked && m_relay->Address().empty())
        m_relay.reset();
    return true;
}

void TMainController::AdoptRelayed(std::unique_ptr<TStreamSocket> relayed, TSocketMode mode) {
    m_transer->OnRedial = [this, relay = m_relay] {
        std::string error;
        return relay->Redial(m_transer->Timeouts, error);
    };
    m_transer->Adopt(std::move(relayed), mode);
}

void TMainController::ShowReachability() {
    if (!m_reachability || *m_reachability == -1)
        return;
    const int answer = *m_reachability;
    m_reachability.reset();
    // The check's own connection may fail its handshake just after the answer came.
    m_probeQuietUntil = m_loop.TickCount() + 2000;
    // A service that does not offer the check gives no answer: nothing to say then.
    if (answer == 2)
        return;
    m_view.SetWaitMessage(
        m_waitText + "\n" +
        (answer == 1 ? "外部から接続できます" : "外部から接続できません (ルーターの設定を確認してください)"));
}

bool TMainController::StartClient(bool byUser, std::string_view peerUser, std::string_view address,
                                  std::string_view portText, std::string_view secret) {
    if (!PrepareSession(secret))
        return false;
    // Blanks around a typed or pasted address are no part of it.
    const std::string typed = WithoutBlanks(address);
    std::string host;
    int port = 0;
    if (byUser && !peerUser.empty()) {
        try {
            const TEasyServiceResult result = m_service.EasyServiceGet(peerUser, host, port);
            if (result.Notice)
                m_dialogs.MessageBox(result.Notice->Text, result.Notice->Title, TBoxIcon::biError);
            if (!result) {
                m_dialogs.MessageBox("ユーザが見つかりませんでした。名前を変えて再度試してみてください。",
                                     "失敗", TBoxIcon::biError);
                return false;
            }
        } catch (const TError& error) {
            m_dialogs.MessageBox(error.what() + ErrorExplanation(error), Title, TBoxIcon::biError);
            return false;
        }
    } else {
        host = typed;
        port = PortValue(portText);
        if (port == 0) {
            m_dialogs.MessageBox("正しいポート番号を指定してください。", "注意", TBoxIcon::biWarning);
            return false;
        }
    }
    // With the service, the port used is the one it gave; the field is only checked.
    if (PortValue(portText) < 1) {
        m_dialogs.MessageBox("ポート番号を指定してください。", "注意", TBoxIcon::biWarning);
        return false;
    }
    if (!ConnectToServer(host, port, byUser ? peerUser : std::string_view()))
        return false;
    m_config.UseEasyConnection = byUser;
    m_config.UserName = peerUser;
    m_config.Port = PortValue(portText);
    // The address moves to the front of the recent list (compared without case).
    auto& recent = m_config.DirectConnectTo;
    std::erase_if(recent, [&](const std::string& entry) { return EqualIgnoringCase(entry, typed); });
    recent.insert(recent.begin(), typed);
    try {
        m_config.Save();
    } catch (const TError& error) {
        ShowError(error.what());
    }
    return true;
}

bool TMainController::ConnectToServer(const std::string& host, int port, std::string_view relayUser) {
    ApplyTransferSettings();
    try {
        const bool mayRelay = !relayUser.empty() && !m_transer->Secret.empty();
        if (!ConnectDirectFirst(*m_transer, host, port, mayRelay)) {
            std::string error;
            std::unique_ptr<TStreamSocket> relayed;
            if (mayRelay) {
                auto relay = std::make_shared<TRelayRoute>(m_loop, m_service, std::string(relayUser), false);
                m_relay = relay;
                // The waiting side may not be parked yet: asked as patiently as a lookup.
                TLookupPacing pacing = m_lookupPacing;
                pacing.Pause = [this](std::chrono::milliseconds pause) {
                    m_loop.RunUntil([] { return false; }, pause);
                    return true;
                };
                relayed = relay->Join(pacing, static_cast<int>(m_transer->Timeouts.Connect), error);
            }
            if (!relayed) {
                m_dialogs.MessageBox(error.empty() ? "接続に失敗しました。" : error, "エラー",
                                     TBoxIcon::biError);
                return false;
            }
            AdoptRelayed(std::move(relayed), smClient);
        }
    } catch (const TError& error) {
        m_dialogs.MessageBox(error.what(), "エラー", TBoxIcon::biError);
        return false;
    }
    ConnectionEstablished();
    return true;
}

void TMainController::ConnectionEstablished() {
    TTranser& transer = *m_transer;
    m_mode = TWindowMode::mdConnected;
    m_view.ShowTransferPanel();
    m_view.EnableTransferControls(true);
    const int port = transer.Mode() == smServer ? transer.ListeningPort() : transer.Port();
    SetStatus(1, "port: " + std::to_string(port));
    m_peerStatus = "comto: " + transer.RemoteHost();
    SetStatus(3, m_peerStatus);
    SetStatus(2, "");
    // The handshake left the smaller of the two sizes; the session sends with its own.
    ApplyTransferSettings();
    transer.Start();
    AddNote(riConnected, "開始", std::string(wire::Banner), "接続確立");
    m_view.SessionEnded(false);
    const auto files = std::exchange(m_filesToOffer, {});
    for (const auto& file : files)
        OfferFile(file);
}

bool TMainController::HasLiveTasks() const {
    for (std::size_t i = 0; i < m_rows.Count(); ++i) {
        const TListData* data = m_rows.DataAt(static_cast<int>(i));
        if (data && (data->Task || data->Menu))
            return true;
    }
    return false;
}

// Set before the handshake, which announces the buffer size, and again after
// it, since the handshake leaves the smaller of the two sides' sizes.
void TMainController::ApplyTransferSettings() {
    m_transer->PacketType = static_cast<TFileTransPacketType>(m_config.PacketType);
    m_transer->BufSize = m_config.BufferSize;
    m_transer->MaxSendingCount = m_config.MaxSendCount;
    m_transer->MaxSendRate = m_config.MaxSendRate;
}

bool TMainController::CloseRequested() {
    if (m_mode == TWindowMode::mdWaiting) {
        m_dialogs.MessageBox(
            "接続を待っている間は終了できません。「キャンセル」で待機をやめてから終了してください。", Title,
            TBoxIcon::biInformation);
        return false;
    }
    // Files on their way or offers waiting for an answer would be lost without a word.
    if (m_mode == TWindowMode::mdConnected && !m_closing && HasLiveTasks() &&
        m_dialogs.MessageBox("転送中のファイルがあります。終了しますか？", Title, TBoxIcon::biQuestion,
                             TBoxButtons::bbYesNo) != TBoxAnswer::baYes)
        return false;
    m_view.WindowClosing();
    Shutdown();
    return true;
}

void TMainController::Shutdown() {
    if (m_closing)
        return;
    m_closing = true;
    AddNote(riClosed, "接続", "終了処理中...");
    m_plugins.Clear();
    m_transer->Close();
}

void TMainController::EndProgram() {
    try {
        m_service.CloseRegistration();
    } catch (const TError&) {
        // The program ends either way; the registration then expires at the service.
    }
    try {
        m_config.Save();
    } catch (const TError& error) {
        ShowError(error.what());
    }
}

// --- Engine events ---------------------------------------------------------

void TMainController::TranserReceiveData(TTranserTask& task) {
    const TEnvelope envelope = Envelope(task);
    switch (envelope.Kind) {
        case TEnvelopeKind::ekInstantMessage:
        case TEnvelopeKind::ekPluginMessage:
            // Kept in memory whole: an oversized one is refused.
            if (task.Size > MaxMessageBytes)
                m_transer->DenyTask(task);
            else
                m_transer->AcceptTask(task, std::make_unique<TMemoryStream>());
            return;
        case TEnvelopeKind::ekPluginBuffer: {
            TFernPlugin* plugin = m_plugins.Find(envelope.PluginName);
            if (plugin && task.Size <= MaxMessageBytes && plugin->ReceiveBuffer(PluginTaskInfo(task)) == 0)
                m_transer->AcceptTask(task, std::make_unique<TMemoryStream>());
            else
                m_transer->DenyTask(task);
            return;
        }
        case TEnvelopeKind::ekFile:
        case TEnvelopeKind::ekPluginFile:
            break;
        default:
            return;
    }
    const int row = m_rows.AddTaskRow(task);
    if (envelope.Kind == TEnvelopeKind::ekPluginFile) {
        // The plug-in names the path; without a plug-in of that name the file is refused.
        TFernPlugin* plugin = m_plugins.Find(envelope.PluginName);
        std::string path;
        if (plugin && plugin->ReceiveFile(PluginTaskInfo(task), envelope.FileName, path) &&
            fwp::ReceiveToFile(*m_transer, task, codec::Cp932ToUtf8(path), m_config.AutoResume))
            m_rows.SetMenu(row, false);
        else
            m_transer->DenyTask(task);
        return;
    }
    if (!m_config.AutoReceive) {
        m_view.Notify("ファイルの受信", codec::Cp932OrMarkedToUtf8(envelope.FileName) + " を受信しますか？");
        return;
    }
    const TReceivePlace place = ReceiveIntoFolder(*m_transer, task, m_config.ReceiveTo, m_config.AutoResume);
    if (place) {
        m_rows.SetMenu(row, false);
        if (place.Renamed)
            AddNote(riIncoming, "ファイル受信", "別の名前で保存: " + place.Name);
    } else {
        AddNote(riError, "ファイル受信", place.Error);
    }
}

void TMainController::TranserSendData(TTranserTask& task) {
    if (task.Name.starts_with(envelope::FilePrefix))
        m_rows.SendStarted(task, m_transer->WaitsForTurn(task));
}

void TMainController::TranserProgress(TTranserTask& task, std::int64_t byteRate, std::int64_t transfered,
                                      std::int64_t size, bool& continueTask) {
    continueTask = true;
    const TEnvelope envelope = Envelope(task);
    if (envelope.Kind == TEnvelopeKind::ekPluginBuffer) {
        if (TFernPlugin* plugin = m_plugins.Find(envelope.PluginName))
            plugin->Progress(PluginTaskInfo(task), continueTask);
        return;
    }
    if (envelope.Kind == TEnvelopeKind::ekPluginFile) {
        // Without its plug-in the file has nowhere to go: the transfer stops.
        if (TFernPlugin* plugin = m_plugins.Find(envelope.PluginName))
            plugin->Progress(PluginTaskInfo(task), continueTask);
        else
            continueTask = false;
    }
    if (envelope.Kind != TEnvelopeKind::ekFile && envelope.Kind != TEnvelopeKind::ekPluginFile)
        return;
    m_rows.ProgressUpdate(task, byteRate, transfered, size);
    UpdateTransferStatus();
}

void TMainController::UpdateTransferStatus() {
    const TTranserState state = m_transer->State();
    if (m_mode != TWindowMode::mdConnected || (state != tsReady && state != tsBusy))
        return;
    // The state and the rate of the whole link, as the list shows it.
    if (m_rows.SomeFileMoving()) {
        SetStatus(0, "転送中");
        SetStatus(2, FormatByteSize(m_rows.TransferRate()) + "/s");
    } else {
        SetStatus(0, "待機");
        SetStatus(2, "");
    }
}

void TMainController::TranserTransferComplete(TTranserTask& task) {
    const TEnvelope envelope = Envelope(task);
    auto* memory = dynamic_cast<TMemoryStream*>(task.Stream.get());
    switch (envelope.Kind) {
        case TEnvelopeKind::ekInstantMessage: {
            const std::string text = memory ? memory->Data() : std::string();
            if (task.Direction == tdReceive)
                m_rows.AddNoteRow(riMessage, Sjis("IM受信"), "> " + text, "");
            else
                m_rows.AddNoteRow(riMessage, Sjis("IM送信"), text, "");
            return;
        }
        case TEnvelopeKind::ekPluginMessage:
            HandlePluginMessage(task, memory ? memory->Data() : std::string());
            return;
        case TEnvelopeKind::ekPluginBuffer:
            // Only a buffer that arrived whole is reported, with its bytes.
            if (task.ResultCode == trComplete) {
                if (TFernPlugin* plugin = m_plugins.Find(envelope.PluginName)) {
                    std::string* bytes = memory ? &const_cast<std::string&>(memory->Data()) : nullptr;
                    plugin->Complete(PluginTaskInfo(task, bytes ? bytes->data() : nullptr));
                }
            }
            return;
        case TEnvelopeKind::ekPluginFile:
            if (TFernPlugin* plugin = m_plugins.Find(envelope.PluginName))
                plugin->Complete(PluginTaskInfo(task));
            m_rows.Completion(task);
            return;
        case TEnvelopeKind::ekFile:
            m_rows.Completion(task, EndReceive(task));
            UpdateTransferStatus();
            if (task.ResultCode == trComplete)
                m_view.Notify("転送完了", codec::Cp932OrMarkedToUtf8(envelope.FileName));
            return;
        default:
            return;
    }
}

void TMainController::TranserStateChange(TTranserState state) {
    switch (state) {
        case tsReady:
            m_view.EnableTransferControls(true);
            SetStatus(0, "待機");
            m_reconnectErrorShown = false;
            break;
        case tsTransfering:
            SetStatus(0, "転送中");
            break;
        case tsClosing:
            SetStatus(0, "未接続");
            break;
        default:
            break;
    }
}

void TMainController::TranserDisconnect() {
    AddNote(riClosed, "終了", "接続が解除されました");
    SetStatus(0, "切断");
    m_view.EnableTransferControls(false);
    TTranser& transer = *m_transer;
    // The router is told in the background; it may be slow to answer.
    if (transer.Mode() == smServer && m_config.UseUPnP && transer.Listening()) {
        const int port = transer.ListeningPort();
        m_routerJob.Start([this, port] { m_upnp.DeletePortMapping(port, 0); });
    }
    if (!m_closing)
        m_view.SessionEnded(true);
}

void TMainController::ReturnToStart() {
    if (m_mode != TWindowMode::mdConnected || m_transer->Connected() || m_closing)
        return;
    if (m_rows.Count() > 0) {
        const TBoxAnswer answer =
            m_dialogs.MessageBox("スタート画面に戻ると一覧は消えます。ログを保存しますか？", "質問",
                                 TBoxIcon::biQuestion, TBoxButtons::bbYesNoCancel);
        if (answer == TBoxAnswer::baCancel)
            return;
        if (answer == TBoxAnswer::baYes)
            SaveLog();
    }
    m_transer->CloseSocket();
    m_rows.Clear();
    m_peerStatus = "comto:";
    SetStatus(0, "");
    SetStatus(2, "");
    SetStatus(3, m_peerStatus);
    m_view.SessionEnded(false);
    ShowStartPage(TStartPage::spSelect);
}

void TMainController::TranserReconnect(bool& reconnect) {
    reconnect = m_config.Reconnect;
    if (reconnect)
        AddNote(riClosed, "再接続", "相手の応答がありません。再接続します...");
    m_loop.ProcessMessages();
}

void TMainController::TranserSuspend(TTranserTask&) {
    m_view.SelectionChanged();
    UpdateTransferStatus();
}

// --- File offers --------------------------------------------------------------

void TMainController::ChooseAndOfferFiles() {
    const auto files = m_dialogs.OpenFiles("ファイルの送信", m_lastSendFolder);
    // The next choice starts where this one ended, for the rest of the run.
    if (!files.empty())
        m_lastSendFolder = files.front().parent_path();
    for (const auto& path : files)
        OfferFile(path);
}

void TMainController::OfferFile(const std::filesystem::path& path) {
    const TOfferResult offer = fwp::OfferFile(*m_transer, path);
    if (!offer.Task) {
        m_rows.AddNoteRow(riError, Sjis("ﾌｧｲﾙ送信"), Sjis(offer.FileName), Sjis(ResultText(trFileOpenError)));
        return;
    }
    m_rows.AddTaskRow(*offer.Task);
    if (!offer.ClassicFileName.empty() && !m_transer->PeerIsOurs())
        AddNote(riOutgoing, "ﾌｧｲﾙ送信",
                "名前を変更して送信: " + offer.FileName + " → " + offer.ClassicFileName);
}

TTranserTask* TMainController::PendingOffer(int row) const {
    const TListData* data = m_rows.DataAt(row);
    if (!data || !data->Task || data->Task->State != ttsNew || data->Task->Direction != tdReceive)
        return nullptr;
    return data->Task;
}

void TMainController::AnswerOffer(int row, bool accept) {
    TListData* data = m_rows.DataAt(row);
    if (!data)
        return;
    if (PendingOffer(row)) {
        if (accept) {
            AcceptFileOffer(row, {});
        } else {
            m_transer->DenyTask(*data->Task);
            m_rows.SetMenu(row, false);
        }
    } else if (data->Plugin) {
        // An invitation: the row keeps its menu until the answer's own message has gone.
        if (accept)
            AcceptInvitation(row);
        else
            SendPluginCommand(*data->Plugin, "deny");
    }
}

void TMainController::AcceptFileOffer(int row, const std::filesystem::path& folder) {
    TTranserTask* task = PendingOffer(row);
    if (!task || !task->Name.starts_with(envelope::FilePrefix))
        return;
    const std::string peerName = ParseEnvelope(task->Name).FileName;
    std::filesystem::path path;
    if (!folder.empty()) {
        // Into a folder: only a name that stays inside it.
        const auto name = SafeReceiveName(peerName);
        if (!name) {
            m_dialogs.MessageBox("ファイルオープンに失敗しました。\r\n" + codec::Cp932ToUtf8(peerName),
                                 "エラー", TBoxIcon::biError);
            return;
        }
        path = folder / *name;
    } else {
        const std::string shown = SafeReceiveName(peerName).value_or(codec::Cp932ToUtf8(peerName));
        const auto chosen =
            m_dialogs.SaveFile("受信ファイルの保存 - " + shown, shown, false, m_config.ReceiveTo);
        if (chosen)
            path = *chosen;
    }
    bool resume = false;
    std::error_code ec;
    if (!path.empty() && std::filesystem::exists(path, ec)) {
        // Whether the file is an unfinished receive of this very offer helps
        // the user decide: appending to any other file would spoil it.
        const bool unfinished = PartialRecordMatches(path, task->Size, task->Name);
        const TBoxAnswer answer = m_dialogs.MessageBox(
            "ファイルは既に存在します。リジューム受信しますか？\r\n" + path.filename().string() + "\r\n" +
                (unfinished ? "(前回の受信が途中で終わったファイルです)"
                            : "(このプログラムが受信途中のファイルではありません)"),
            "質問", TBoxIcon::biWarning, TBoxButtons::bbResumeOverwriteCancel);
        if (answer == TBoxAnswer::baCancel)
            return;
        resume = answer == TBoxAnswer::baYes;
    }
    if (path.empty())
        return;
    // The dialogs let the engine run: the offer may have ended meanwhile.
    task = PendingOffer(row);
    if (!task)
        return;
    std::unique_ptr<TFileStream> stream;
    try {
        const TFileOpenMode mode =
            resume && std::filesystem::exists(path, ec) ? TFileOpenMode::fmResume : TFileOpenMode::fmCreate;
        // A name from the peer in a folder is opened without following a link planted there.
        stream = folder.empty() ? TFileStream::Open(path.string(), mode)
                                : OpenInFolder(folder, path.filename(), mode);
        if (mode == TFileOpenMode::fmResume)
            stream->Seek(stream->Size());
        // From here the file is this offer's unfinished receive, whatever it was.
        WritePartialRecord(*stream, task->Size, task->Name);
    } catch (const TStreamError&) {
        m_dialogs.MessageBox("ファイルオープンに失敗しました。\r\n" + path.filename().string(), "エラー",
                             TBoxIcon::biError);
        return;
    }
    std::unique_ptr<TStream> target = std::move(stream);
    if (m_transer->AcceptTask(*task, std::move(target)))
        m_rows.SetMenu(row, false);
}

void TMainController::AcceptAll() {
    std::filesystem::path folder;
    for (int row = 0; row < static_cast<int>(m_rows.Count()); ++row) {
        TListData* data = m_rows.DataAt(row);
        if (!data || !data->Menu)
            continue;
        if (PendingOffer(row)) {
            if (folder.empty()) {
                const auto chosen = m_dialogs.ChooseFolder("保存先を指定してください", m_config.ReceiveTo);
                if (!chosen)
                    return;
                folder = *chosen;
            }
            AcceptFileOffer(row, folder);
        } else if (data->Plugin) {
            AcceptInvitation(row);
        }
    }
}

void TMainController::CancelRow(int row) {
    TListData* data = m_rows.DataAt(row);
    if (!data)
        return;
    if (data->Task)
        m_transer->AbortTask(*data->Task);
    if (data->Plugin)
        SendPluginCommand(*data->Plugin, "deny");
}

void TMainController::SuspendOrResumeRow(int row) {
    TListData* data = m_rows.DataAt(row);
    if (!data || !data->Task)
        return;
    if (data->Task->State == ttsTransfering)
        m_transer->SuspendTask(*data->Task);
    else if (data->Task->State == ttsSuspended)
        m_transer->ResumeTask(*data->Task);
    if (m_rows.OnRowChanged)
        m_rows.OnRowChanged(row);
    m_view.SelectionChanged();
    UpdateTransferStatus();
}

// --- Chat and log ----------------------------------------------------------------

bool TMainController::Say(std::string_view text) {
    if (!m_transer->Connected() || text.empty())
        return false;
    SendInstantMessage(*m_transer, Sjis(text));
    return true;
}

std::vector<std::string> TMainController::LogLines(std::string_view date) const {
    std::vector<std::string> lines{Sjis("Fernwaypost 通信ログ"), "date: " + std::string(date),
                                   Sjis(m_peerStatus), "----"};
    for (std::size_t i = 0; i < m_rows.Count(); ++i) {
        const TTaskRow& row = m_rows.Row(i);
        std::string line = row.Caption + "\t" + row.Content;
        if (row.SubItems > 1)
            line += "\t" + row.State;
        lines.push_back(std::move(line));
    }
    return lines;
}

void TMainController::SaveLog() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char date[16];
    std::strftime(date, sizeof date, "%Y/%m/%d", &local);
    char name[16];
    std::strftime(name, sizeof name, "%y-%m-%d.log", &local);
    const std::vector<std::string> lines = LogLines(date);
    const auto path = m_dialogs.SaveFile("ログの保存", name, true);
    if (!path)
        return;
    std::ofstream out(*path, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines)
        out << line << "\r\n";
    out.close();
    if (!out)
        m_dialogs.MessageBox("ログファイルの保存に失敗しました。", "出力エラー", TBoxIcon::biError);
    else
        m_view.ShowStatusMessage("ログを保存しました: " + path->string());
}

void TMainController::SetTimeViewMode(bool remaining) {
    m_rows.TimeViewMode = remaining;
    m_config.TimeViewMode = remaining;
}

}  // namespace fwp
