#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/background_job.h"
#include "app/easy_connection.h"
#include "app/envelope.h"
#include "app/front_end.h"
#include "app/messenger.h"
#include "app/relay_route.h"
#include "app/task_rows.h"
#include "config/config.h"
#include "connect/easy_service.h"
#include "connect/upnp.h"
#include "engine/transer.h"
#include "plugin/plugin.h"
#include "plugin/services.h"

namespace fwp {

// Where the window stands: the start panel, the waiting page, or a connection.
enum class TWindowMode : std::uint8_t { mdStart, mdWaiting, mdConnected };

// The main window's logic without widgets: the connection modes, the
// dispatch of the engine's events by the task's name line, file offers and
// their answers, the chat, the communication log. The window builds its
// widgets around it; tests drive it with a view and dialogs of their own.
class TMainController {
public:
    TMainController(TEventLoop& loop, TConfig& config, TMainView& view, TDialogs& dialogs);
    ~TMainController();
    TMainController(const TMainController&) = delete;
    TMainController& operator=(const TMainController&) = delete;

    // Looks for the router and the own addresses in the background; the view
    // shows "取得中..." until they are known (ShowAddresses). Called once by
    // the window after it is made; it returns at once.
    void Discover();
    const std::string& LocalAddress() const { return m_localAddress; }
    const std::string& WanAddress() const { return m_wanAddress; }
    // The machine's global IPv6 address, empty when it has none.
    const std::string& LocalIPv6Address() const { return m_localIPv6Address; }

    // The start panel on its selection page; the first run welcomes the user.
    void ShowStartPanel();
    // "開始" on the server page: waits for a peer; true when one connected.
    // A non-empty secret (the 合言葉, UTF-8) secures the session, and a
    // registered server then also waits at the service's relay.
    bool StartServer(std::string_view portText, bool useService, std::string_view userName,
                     std::string_view secret = {});
    // "開始" on the client page; true when connected. With a secret, a peer
    // found by name that cannot be reached directly is joined through the relay.
    bool StartClient(bool byUser, std::string_view peerUser, std::string_view address,
                     std::string_view portText, std::string_view secret = {});
    // Waits for a peer on port until one connects or the wait is cancelled.
    bool WaitForClient(int port);
    // relayUser: the name to join through the relay when host cannot be
    // reached directly; only a secured session does.
    bool ConnectToServer(const std::string& host, int port, std::string_view relayUser = {});
    void CancelWait() { m_cancelWait = true; }
    // Asks the router to forward port; false (after a box) when there is no router.
    bool OpenPortByUPnP(int port);
    // Runs work on the router job's thread while the loop goes on, after any
    // earlier router work has ended. False when the wait was cancelled first.
    bool RunRouterWork(std::function<void()> work);
    // Stops handing the router search's result to the view.
    void StopAddressTimer();

    // "スタート画面に戻る" after the session ended: the list goes (saved to a
    // log first if the user wants), the settings stay, the start panel shows.
    void ReturnToStart();

    // The window wants to close: refused while waiting (with a box that says
    // why), asked first while files move or offers wait, else the window goes
    // out of sight and the session ends in order.
    bool CloseRequested();
    // Some row still has a task on its way or an offer waiting for its answer.
    bool HasLiveTasks() const;
    void Shutdown();
    // The end of the program: the service registration goes, the settings are written.
    void EndProgram();

    // File offers and their answers; rows are indices of Rows().
    void ChooseAndOfferFiles();
    void OfferFile(const std::filesystem::path& path);
    void AnswerOffer(int row, bool accept);
    void AcceptAll();
    void CancelRow(int row);
    void SuspendOrResumeRow(int row);
    // Accepts the offer of row into folder, or asks for the file when folder is empty.
    void AcceptFileOffer(int row, const std::filesystem::path& folder);

    // Sends the chat text (UTF-8) while connected; false leaves it in the edit.
    bool Say(std::string_view text);
    // The communication log: its lines (CP932), and the command that saves them.
    std::vector<std::string> LogLines(std::string_view date) const;
    void SaveLog();

    void SetTimeViewMode(bool remaining);

    // Plug-ins: loaded from the program's plug-in folder at start-up.
    void LoadPlugins(const std::filesystem::path& folder);
    TFernPluginList& Plugins() { return m_plugins; }
    // Invites the peer to run the plug-in at index (its menu entry).
    void InvitePlugin(std::size_t index);
    // Queues "name|version|command" as a plug-in message.
    void SendPluginCommand(TFernPlugin& plugin, std::string_view command);
    void SendPluginReply(std::string_view name, std::string_view command);
    // An ended plug-in message, own (sent) or the peer's (received).
    void HandlePluginMessage(const TTranserTask& task, const std::string& text);
    // The answer menu's "承諾" for an invitation row.
    void AcceptInvitation(int row);

    // Unattended starts from the command line: "/server" NAME, "/client"
    // NAME, "/session" (or --server, --client, --session); no argument shows
    // the start panel. Absolute paths of files are offered once a session
    // runs. False when a start failed and the program is to end.
    bool ProcessCommandLine(const std::vector<std::string>& args);
    bool RegisterEasyConnection(std::string_view user, int port, std::string_view externalIp);
    bool LookupEasyConnection(std::string_view user, std::string& host, int& port);
    // The pauses of a lookup; tests shorten them.
    TLookupPacing& LookupPacing() { return m_lookupPacing; }
    // The program was told to end (an unattended start failed).
    bool TerminateRequested() const { return m_terminate; }

    // The instant messenger; a system without one reports so.
    void SetMessenger(std::unique_ptr<TMessenger> messenger) { m_messenger = std::move(messenger); }
    bool MessengerAvailable() { return m_messenger->Available(); }
    bool FindLaunchingSession();
    void RegisterWithMessenger(std::string_view exePath);
    void UnregisterFromMessenger();

    // "新しいバージョンを確認する(&C)": asks the version file at url.
    void CheckForNewVersion(const std::filesystem::path& executable, const std::string& url);

    // The general error display: a box titled "Fernwaypost".
    void ShowError(std::string_view message);
    // An error that escaped a callback of the message loop.
    void LoopError(const std::exception& error);

    TTranser& Transer() { return *m_transer; }
    TTaskRows& Rows() { return m_rows; }
    const TTaskRows& Rows() const { return m_rows; }
    TWindowMode Mode() const { return m_mode; }
    TConfig& Config() { return m_config; }
    TEasyServiceClient& EasyService() { return m_service; }
    TUPnPController& UPnP() { return m_upnp; }
    // The text of status panel 3 ("comto: " and the peer).
    const std::string& PeerStatus() const { return m_peerStatus; }

private:
    // Sets the session's passphrase from the 合言葉 field and forgets the
    // relay of an earlier session; false (after a box) for a phrase CP932
    // cannot write.
    bool PrepareSession(std::string_view secret);
    // Parks at the relay under user beside the direct wait; false when the wait was cancelled meanwhile.
    bool ParkAtRelay(const std::string& user);
    // Takes over a connection the relay paired, also for every reconnection of the session.
    void AdoptRelayed(std::unique_ptr<TStreamSocket> relayed, TSocketMode mode);
    // Adds the reachability check's answer to the waiting page once it came.
    void ShowReachability();
    void ShowStartPage(TStartPage page);
    void StartServerFromCommandLine(std::string_view user);
    void StartClientFromCommandLine(std::string_view user);
    void StartMessengerSession();
    void ShowWaitPage();
    // The lines of the waiting page that tell what the other side connects to.
    std::string WaitAddressText(int port, const std::string& externalIp);
    void ConnectionEstablished();
    void ApplyTransferSettings();
    void SetStatus(int panel, std::string_view text);
    // 転送中 and the total rate while a file moves, 待機 and no rate otherwise.
    void UpdateTransferStatus();
    void AddNote(int image, std::string_view caption, std::string_view content, std::string_view state = {});

    void TranserReceiveData(TTranserTask& task);
    void TranserSendData(TTranserTask& task);
    void TranserProgress(TTranserTask& task, std::int64_t byteRate, std::int64_t transfered,
                         std::int64_t size, bool& continueTask);
    void TranserTransferComplete(TTranserTask& task);
    void TranserStateChange(TTranserState state);
    void TranserDisconnect();
    void TranserReconnect(bool& reconnect);
    void TranserSuspend(TTranserTask& task);

    // The row's task while it still waits for its answer, else nullptr.
    TTranserTask* PendingOffer(int row) const;
    bool IsPluginName(std::string_view name) const { return m_plugins.IndexOf(name) >= 0; }
    TEnvelope Envelope(const TTranserTask& task) const;
    // The function name of the loaded plug-in name, else name itself (CP932).
    std::string DisplayName(std::string_view name) const;
    void PluginNote(int image, std::string_view caption, std::string_view content);

    class TControllerPluginHost;

    TEventLoop& m_loop;
    TConfig& m_config;
    TMainView& m_view;
    TDialogs& m_dialogs;
    std::unique_ptr<TTranser> m_transer;
    TTaskRows m_rows;
    TEasyServiceClient m_service;
    TUPnPController m_upnp;
    std::string m_localAddress;
    std::string m_wanAddress;
    std::string m_localIPv6Address;
    std::string m_peerStatus = "comto:";
    TWindowMode m_mode = TWindowMode::mdStart;
    bool m_cancelWait = false;
    bool m_closing = false;
    bool m_reconnectErrorShown = false;
    TFernPluginList m_plugins;
    std::unique_ptr<TPluginHost> m_pluginHost;
    std::unique_ptr<TMessenger> m_messenger = MakeNoMessenger();
    std::optional<TMessengerSession> m_session;
    TLookupPacing m_lookupPacing;
    bool m_terminate = false;
    // Router work (search, address, mapping) runs here, one piece at a time,
    // off the window's thread. Declared last: it ends before what it uses.
    TBackgroundJob m_routerJob;
    // The service's answer whether outsiders reach the waiting port: -1 while
    // it is asked, 0 no, 1 yes, 2 no answer. Shared with the thread that asks,
    // which is left to end by itself so that a cancel never waits for it.
    std::shared_ptr<std::atomic<int>> m_reachability;
    // Until this tick a failed handshake is taken for the check's own connection.
    std::uint64_t m_probeQuietUntil = 0;
    std::string m_waitText;
    // The relay of a secured session with a peer known by name; shared with the router job that parks.
    std::shared_ptr<TRelayRoute> m_relay;
    std::filesystem::path m_lastSendFolder;  // where the send dialog opens; empty: the home folder
    // Files named on the command line, offered once a session runs.
    std::vector<std::filesystem::path> m_filesToOffer;
};

// The record a plug-in entry point gets for a task.
TPluginTaskInfo PluginTaskInfo(const TTranserTask& task, void* data = nullptr);

// The general error display appends "." to a message whose last character
// sorts after "." (a Japanese full stop included).
std::string ErrorBoxText(std::string_view message);

// What follows an error's own text in a box: for a failed HTTP exchange, what
// happened in plain words and what to do, then the technical cause last.
// Empty for other errors.
std::string ErrorExplanation(const std::exception& error);

}  // namespace fwp
