// The plug-in half of the window's logic: invitations and their answers,
// and the services that running plug-ins call.
#include "app/main_controller.h"

#include "app/transfer_actions.h"
#include "common/codec.h"
#include "common/error.h"

namespace fwp {
namespace {

std::string Sjis(std::string_view utf8) {
    return codec::Utf8ToCp932(utf8);
}

constexpr std::string_view CmdInvite = "invite";
constexpr std::string_view CmdAccept = "accept";
constexpr std::string_view CmdDeny = "deny";
constexpr std::string_view CmdDifferentVersion = "differentver";
constexpr std::string_view CmdNotInstalled = "notinstalled";

// name "|" version "|" command. The separators are not checked: a missing one
// leaves the field before it empty and costs one character of what follows.
struct TPluginMessage {
    std::string Name;
    std::string Version;
    std::string Command;
};

TPluginMessage ParsePluginMessage(std::string_view text) {
    TPluginMessage message;
    auto take = [&text]() {
        const std::size_t bar = text.find('|');
        const std::string field(text.substr(0, bar == std::string_view::npos ? text.size() : bar));
        const std::size_t drop = std::min(text.size(), field.size() + 1);
        text.remove_prefix(drop);
        return field;
    };
    message.Name = take();
    message.Version = take();
    message.Command = text;
    return message;
}

}  // namespace

TPluginTaskInfo PluginTaskInfo(const TTranserTask& task, void* data) {
    TPluginTaskInfo info{};
    info.ID = task.ID;
    info.Size = task.Size;
    info.Transfered = task.Transfered;
    info.State = static_cast<std::int32_t>(task.State);
    info.Direction = static_cast<std::int32_t>(task.Direction);
    info.Data = data;
    return info;
}

// What the services of this window's plug-ins do.
class TMainController::TControllerPluginHost final : public TPluginHost {
public:
    explicit TControllerPluginHost(TMainController& owner) : m_owner(owner) {}

    TSpaceHandle CreateSpace(std::string_view caption) override {
        return m_owner.m_view.CreateSpace(codec::Cp932ToUtf8(caption));
    }
    void DeleteSpace(TSpaceHandle handle) override { m_owner.m_view.DeleteSpace(handle); }
    std::int32_t SendBuffer(std::string_view name, std::string_view bytes) override {
        TTranserTask& task = m_owner.m_transer->Tasks().AddSendTask(
            std::string(name), std::make_unique<TMemoryStream>(std::string(bytes)));
        task.Priority = true;
        return task.ID;
    }
    std::int32_t SendFile(std::string_view pluginName, std::string_view path) override {
        const std::filesystem::path local = codec::Cp932ToUtf8(path);
        std::unique_ptr<TFileStream> stream;
        try {
            stream = TFileStream::Open(local.string(), TFileOpenMode::fmRead);
        } catch (const TStreamError&) {
            return 0;
        }
        std::string name(envelope::FilePrefix);
        name += envelope::PluginFilePrefix;
        name += pluginName;
        name += '|';
        name += codec::Utf8ToCp932(local.filename().string());
        return m_owner.m_transer->Tasks().AddSendTask(std::move(name), std::move(stream)).ID;
    }
    std::int32_t BufferSize() override { return m_owner.m_transer->BufSize; }
    void Alarm(TSpaceHandle handle) override { m_owner.m_view.AlertSpace(handle); }
    void* SpaceObject(TSpaceHandle handle) override { return m_owner.m_view.SpaceObject(handle); }
    void* Application() override { return m_owner.m_view.Application(); }

private:
    TMainController& m_owner;
};

// Here, where the plug-in host is a complete type.
TMainController::~TMainController() {
    StopAddressTimer();
    // The engine may still raise events while it closes; they must not reach a half-gone controller.
    m_transer.reset();
    m_plugins.Clear();
    if (m_pluginHost)
        DetachPluginHost(m_pluginHost.get());
}

void TMainController::LoadPlugins(const std::filesystem::path& folder) {
    if (!m_pluginHost) {
        m_pluginHost = std::make_unique<TControllerPluginHost>(*this);
        AttachPluginHost(m_pluginHost.get());
    }
    m_plugins.LoadFromFolder(folder);
}

TEnvelope TMainController::Envelope(const TTranserTask& task) const {
    return ParseEnvelope(task.Name, [this](std::string_view name) { return IsPluginName(name); });
}

std::string TMainController::DisplayName(std::string_view name) const {
    const TFernPlugin* plugin = m_plugins.Find(name);
    return plugin ? plugin->FunctionName() : std::string(name);
}

void TMainController::PluginNote(int image, std::string_view caption, std::string_view content) {
    m_rows.AddNoteRow(image, Sjis(caption), content, "");
}

void TMainController::InvitePlugin(std::size_t index) {
    if (index >= m_plugins.Count())
        return;
    TFernPlugin& plugin = m_plugins.Items(index);
    if (plugin.Running()) {
        PluginNote(riError, "注意", plugin.FunctionName() + Sjis("はすでに実行されています。"));
        return;
    }
    SendPluginCommand(plugin, CmdInvite);
}

void TMainController::SendPluginCommand(TFernPlugin& plugin, std::string_view command) {
    TTranserTask& task = m_transer->Tasks().AddSendTask(
        std::string(envelope::PluginMessage),
        std::make_unique<TMemoryStream>(plugin.Name() + "|" + plugin.Version() + "|" + std::string(command)));
    task.Priority = true;
}

void TMainController::SendPluginReply(std::string_view name, std::string_view command) {
    TTranserTask& task = m_transer->Tasks().AddSendTask(
        std::string(envelope::PluginMessage),
        std::make_unique<TMemoryStream>(std::string(name) + "||" + std::string(command)));
    task.Priority = true;
}

void TMainController::AcceptInvitation(int row) {
    TListData* data = m_rows.DataAt(row);
    if (!data || !data->Plugin)
        return;
    SendPluginCommand(*data->Plugin, CmdAccept);
    m_rows.SetMenu(row, false);
}

void TMainController::HandlePluginMessage(const TTranserTask& task, const std::string& text) {
    const TPluginMessage message = ParsePluginMessage(text);
    TFernPlugin* plugin = m_plugins.Find(message.Name);
    const std::string shown = DisplayName(message.Name);
    const bool own = task.Direction == tdSend;
    const int row = plugin ? m_rows.FindPluginRow(plugin) : -1;

    if (message.Command == CmdInvite) {
        if (own) {
            if (!plugin)
                return;
            auto data = std::make_unique<TListData>();
            data->Plugin = plugin;
            m_rows.AddNoteRow(riConnected, Sjis("機能"), shown + Sjis("の実行を招待しています。"), "",
                              std::move(data));
        } else if (plugin && plugin->Version() == message.Version) {
            auto data = std::make_unique<TListData>();
            data->Plugin = plugin;
            const int asked = m_rows.AddNoteRow(riConnected, Sjis("機能"),
                                                shown + Sjis("の実行を承諾しますか？"), "", std::move(data));
            if (m_config.AutoInviteAllowing)
                SendPluginCommand(*plugin, CmdAccept);
            else
                m_rows.SetMenu(asked, true);
        } else if (plugin) {
            PluginNote(riError, "機能", shown + Sjis("のバージョンが相手と違います。"));
            SendPluginCommand(*plugin, CmdDifferentVersion);
        } else {
            SendPluginReply(message.Name, CmdNotInstalled);
            PluginNote(riError, "エラー", shown + Sjis("のプラグインがインストールされていません"));
        }
        return;
    }
    if (message.Command == CmdAccept) {
        if (row < 0)
            return;
        const TPluginServices services = MakePluginServices();
        if (plugin->Initialize(services) == 0)
            m_rows.SetContent(row, shown + Sjis("を実行しました。"));
        else
            PluginNote(riError, "エラー", shown + Sjis("の読み込みに失敗しました。"));
        m_rows.Detach(row);
    } else if (message.Command == CmdDeny) {
        if (row < 0)
            return;
        m_rows.SetImage(row, riError);
        m_rows.SetContent(row, own ? shown + Sjis("の実行をキャンセルしました")
                                   : Sjis("相手は") + shown + Sjis("の実行をキャンセルしました"));
        m_rows.Detach(row);
    } else if (message.Command == CmdDifferentVersion) {
        if (row < 0)
            return;
        m_rows.SetContent(row, shown + Sjis("のバージョンが相手と違います。"));
        m_rows.SetImage(row, riError);
        m_rows.Detach(row);
    } else if (message.Command == CmdNotInstalled && !own) {
        if (row >= 0)
            m_rows.Detach(row);
        PluginNote(riError, "エラー",
                   Sjis("相手に") + shown + Sjis("のプラグインがインストールされていません"));
    }
}

}  // namespace fwp
