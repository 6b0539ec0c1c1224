// Unattended starts (command line, messenger session), the messenger
// registration and the version check of the window's logic.
#include "app/main_controller.h"

#include <unistd.h>

#include "app/version_check.h"
#include "common/addresses.h"
#include "common/error.h"

namespace fwp {
namespace {

constexpr std::string_view Title = "Fernwaypost";

}  // namespace

bool TMainController::ProcessCommandLine(const std::vector<std::string>& givenArgs) {
    m_terminate = false;
    // Files handed over by the desktop (dropped on the launcher) wait for the session.
    std::vector<std::string> args;
    for (const std::string& arg : givenArgs) {
        std::error_code error;
        if (!arg.starts_with('/') || !std::filesystem::is_regular_file(arg, error))
            args.push_back(arg);
        else
            m_filesToOffer.emplace_back(arg);
    }
    if (args.empty()) {
        ShowStartPanel();
        return true;
    }
    const std::string& first = args[0];
    const std::string second = args.size() > 1 ? args[1] : std::string();
    try {
        if (first == "/server" || first == "--server")
            StartServerFromCommandLine(second);
        else if (first == "/client" || first == "--client")
            StartClientFromCommandLine(second);
        else if ((first == "/session" || first == "--session") && FindLaunchingSession())
            StartMessengerSession();
        // Anything else leaves the window as it is made: the mode selection, no welcome.
    } catch (const TError& error) {
        // No network, or the service is out of reach: the unattended start ends.
        m_dialogs.MessageBox(error.what() + ErrorExplanation(error), Title, TBoxIcon::biError);
        m_terminate = true;
    }
    return !m_terminate;
}

bool TMainController::RegisterEasyConnection(std::string_view user, int port, std::string_view externalIp) {
    m_view.SetWaitMessage("簡単接続サービスに登録中...");
    if (port == 0)
        port = m_config.Port;
    const auto notice = [this](const TNotice& n) {
        m_dialogs.MessageBox(n.Text, n.Title, TBoxIcon::biError);
    };
    if (!fwp::RegisterEasyConnection(m_service, user, port, externalIp, notice)) {
        m_dialogs.MessageBox(RegistrationFailedText, "失敗", TBoxIcon::biError);
        m_terminate = true;
        return false;
    }
    return true;
}

bool TMainController::LookupEasyConnection(std::string_view user, std::string& host, int& port) {
    const auto notice = [this](const TNotice& n) {
        m_dialogs.MessageBox(n.Text, n.Title, TBoxIcon::biError);
    };
    return fwp::LookupEasyConnection(m_service, user, host, port, notice, m_lookupPacing);
}

void TMainController::StartServerFromCommandLine(std::string_view user) {
    ShowWaitPage();
    const int port = m_config.Port;
    std::string externalIp;
    if (m_config.UseUPnP) {
        m_view.SetWaitMessage("UPnP設定中...");
        // A missing router costs only its box; the start goes on.
        if (OpenPortByUPnP(port))
            externalIp = m_upnp.GetExternalIPAddress();
    }
    if (!RegisterEasyConnection(user, port, externalIp))
        return;
    m_view.SetWaitMessage("相手の接続を待っています...");
    if (!WaitForClient(port))
        m_terminate = true;
}

void TMainController::StartClientFromCommandLine(std::string_view user) {
    ShowWaitPage();
    m_view.SetWaitMessage("簡単接続サービスに接続中...");
    std::string host;
    int port = 0;
    if (!LookupEasyConnection(user, host, port)) {
        m_dialogs.MessageBox(PeerNotFoundText, "エラー", TBoxIcon::biError);
        m_terminate = true;
        return;
    }
    m_view.SetWaitMessage(host + ":" + std::to_string(port) + " へ接続しています...");
    if (!ConnectToServer(host, port)) {
        m_dialogs.MessageBox("セッションを確立できませんでした。", "エラー", TBoxIcon::biError);
        m_terminate = true;
    }
}

bool TMainController::FindLaunchingSession() {
    try {
        if (!m_messenger->Available())
            return false;
        m_session = m_messenger->SessionForProcess(static_cast<std::uint32_t>(::getpid()));
        return true;
    } catch (const TMessengerError&) {
        m_session.reset();
        return false;
    }
}

void TMainController::StartMessengerSession() {
    TMessengerSession session;
    std::string localName;
    try {
        session = m_messenger->SessionForProcess(static_cast<std::uint32_t>(::getpid()));
    } catch (const TMessengerError&) {
        m_dialogs.MessageBox("セッションを検出できません。", "エラー", TBoxIcon::biError);
        return;
    }
    const int port = m_config.Port;
    const std::uint32_t side = session.Flags & 0x0F;
    if (side == 1) {
        ShowWaitPage();
        std::string externalIp;
        if (m_config.UseUPnP) {
            m_view.SetWaitMessage("UPnP設定中...");
            if (OpenPortByUPnP(port))
                externalIp = m_upnp.GetExternalIPAddress();
        }
        if (m_config.MsgrUseEasyConnection) {
            try {
                localName = m_messenger->LocalSignInName();
            } catch (const TMessengerError& error) {
                m_dialogs.MessageBox(error.what(), "エラー", TBoxIcon::biError);
                m_terminate = true;
                return;
            }
            if (!RegisterEasyConnection(localName, port, externalIp))
                return;
        }
        m_view.SetWaitMessage(session.PeerSignInName + " の接続を待っています...");
        if (!WaitForClient(port))
            m_terminate = true;
    } else if (side == 2) {
        ShowWaitPage();
        m_view.SetWaitMessage("簡単接続サービスに接続中...");
        std::string host;
        int servicePort = port;
        if (m_config.MsgrUseEasyConnection)
            LookupEasyConnection(session.PeerSignInName, host, servicePort);
        int connectPort = servicePort;
        if (host.empty()) {
            host = session.PeerAddress;
            connectPort = port;
        }
        m_view.SetWaitMessage(session.PeerSignInName + "(" + host + ") へ接続しています...");
        if (!ConnectToServer(host, connectPort)) {
            m_dialogs.MessageBox("セッションを確立できませんでした。", "エラー", TBoxIcon::biError);
            m_terminate = true;
        }
    } else {
        m_dialogs.MessageBox("不正なセッションフラグです。" + std::to_string(side), "エラー",
                             TBoxIcon::biError);
        m_terminate = true;
    }
}

void TMainController::RegisterWithMessenger(std::string_view exePath) {
    if (!IsMessengerSafePath(exePath)) {
        m_dialogs.MessageBox("パスに日本語が含まれているので登録できません。", "警告", TBoxIcon::biError);
        return;
    }
    if (!m_messenger->Available()) {
        m_dialogs.MessageBox("メッセンジャーを検出できません。", "エラー", TBoxIcon::biError);
        return;
    }
    // An earlier registration goes first, so registering twice succeeds.
    try {
        m_messenger->UnregisterApplication(MessengerApplicationId);
    } catch (const TMessengerError&) {
    }
    try {
        m_messenger->RegisterApplication(MessengerApplicationId, MessengerApplicationName, HomePageURL,
                                         MessengerCommandLine(exePath), 0);
    } catch (const TMessengerError&) {
        m_dialogs.MessageBox("アプリケーションの登録に失敗したか、すでに登録されています。", "エラー",
                             TBoxIcon::biError);
        return;
    }
    m_dialogs.MessageBox("メッセンジャーにアプリケーションを登録しました。", "完了", TBoxIcon::biInformation);
}

void TMainController::UnregisterFromMessenger() {
    if (!m_messenger->Available()) {
        m_dialogs.MessageBox("メッセンジャーを検出できません。", "エラー", TBoxIcon::biError);
        return;
    }
    try {
        m_messenger->UnregisterApplication(MessengerApplicationId);
    } catch (const TMessengerError&) {
        m_dialogs.MessageBox("アプリケーションの登録の削除に失敗したか、既に登録状態ではありません。",
                             "エラー", TBoxIcon::biError);
        return;
    }
    m_dialogs.MessageBox("メッセンジャーからアプリケーションの登録を削除しました。", "完了",
                         TBoxIcon::biInformation);
}

void TMainController::CheckForNewVersion(const std::filesystem::path& executable, const std::string& url) {
    bool newer = false;
    try {
        newer = IsNewVersionAvailable(url, executable);
    } catch (const TError& error) {
        m_dialogs.MessageBox(ErrorBoxText(error.what()) + ErrorExplanation(error), Title, TBoxIcon::biError);
        return;
    }
    if (!newer) {
        m_dialogs.MessageBox("現在新しいバージョンはリリースされていません。", "確認",
                             TBoxIcon::biInformation);
        return;
    }
    if (m_dialogs.MessageBox("新しいバージョンがリリースされています。ホームページを表示しますか？", "確認",
                             TBoxIcon::biInformation, TBoxButtons::bbYesNo) == TBoxAnswer::baYes)
        m_view.OpenUrl(HomePageURL);
}

}  // namespace fwp
