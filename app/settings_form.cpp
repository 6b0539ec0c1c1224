#include "app/settings_form.h"

#include <algorithm>
#include <filesystem>

#include "common/error.h"
#include "common/numbers.h"
#include "config/config_places.h"

namespace fwp {

const std::array<TBufferPreset, 10> BufferPresets = {{
    {"28.8/3306 Kbps モデム", 1024},
    {"56 Kbps モデム/ISDN/モバイル", 2048},
    {"112 Kbps Dual ISDN/DSL", 4096},
    {"256 Kbps DSL/ケーブル", 6144},
    {"384 Kbps DSL/ケーブル", 8192},
    {"512 Kbps DSL/ケーブル", 10240},
    {"768 Kbps DSL/ケーブル", 12288},
    {"1 Mbps ADSL/ケーブル", 16384},
    {"1.5 Mbps ADSL/T1/LAN", 20480},
    {"8 Mbps 以上", 32767},
}};

int InitialPresetIndex(std::int32_t bufferSize) {
    for (int index = static_cast<int>(BufferPresets.size()) - 1; index >= 0; --index)
        if (BufferPresets[static_cast<std::size_t>(index)].Bytes <= bufferSize)
            return index;
    return -1;
}

std::int64_t NumberFieldValue(std::string_view text, std::int64_t min, std::int64_t max) {
    const auto value = ParseInt64(text);
    return std::clamp(value.value_or(min), min, max);
}

TSettingsForm FormFromConfig(const TConfig& config) {
    TSettingsForm form;
    form.PacketType = config.PacketType;
    form.BufferSize = config.BufferSize;
    form.MaxSendCount = config.MaxSendCount;
    form.MaxSendRate = std::max(config.MaxSendRate, 0);
    form.Reconnect = config.Reconnect;
    form.AutoReceive = config.AutoReceive;
    form.ReceiveTo = config.ReceiveTo;
    form.AutoResume = config.AutoResume;
    form.AutoInviteAllowing = config.AutoInviteAllowing;
    form.SoundAlarm = config.SoundAlarm;
    form.UseUPnP = config.UseUPnP;
    form.MinimizeOnTray = config.MinimizeOnTray;
    form.MsgrUseEasyConnection = config.MsgrUseEasyConnection;
    return form;
}

void CloseSettings(const TSettingsForm& form, TConfig& config, TTranser& transer) {
    config.AutoReceive = form.AutoReceive;
    config.AutoResume = form.AutoResume;
    std::string folder = form.ReceiveTo;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    std::error_code ec;
    if (folder.empty() || !std::filesystem::is_directory(folder, ec))
        throw TError("受信ファイルの保存先が正しくありません");
    config.ReceiveTo = WithTrailingSlash(form.ReceiveTo);
    config.AutoInviteAllowing = form.AutoInviteAllowing;
    config.PacketType = form.PacketType;
    config.BufferSize = form.BufferSize;
    config.SoundAlarm = form.SoundAlarm;
    config.MsgrUseEasyConnection = form.MsgrUseEasyConnection;
    config.Reconnect = form.Reconnect;
    config.MaxSendCount = form.MaxSendCount;
    config.MaxSendRate = std::max(form.MaxSendRate, 0);
    config.UseUPnP = form.UseUPnP;
    config.MinimizeOnTray = form.MinimizeOnTray;
    config.Save();
    transer.PacketType = static_cast<TFileTransPacketType>(config.PacketType);
    transer.BufSize = config.BufferSize;
    transer.MaxSendingCount = config.MaxSendCount;
    transer.MaxSendRate = config.MaxSendRate;
}

}  // namespace fwp
