#include "cli/settings.h"

#include <algorithm>
#include <filesystem>

#include "common/error.h"
#include "config/config.h"

namespace fwp::cli {

TSessionSettings LoadSessionSettings(const TOptions& options) {
    const std::filesystem::path file =
        options.ConfigFile ? std::filesystem::path(*options.ConfigFile) : DefaultConfigPath();
    std::error_code ec;
    if (options.ConfigFile && !std::filesystem::is_regular_file(file, ec))
        throw TError("設定ファイルを読めません: " + file.string());
    // Read only: fwpost never writes the settings.
    TConfig config(file);
    config.Load();

    TSessionSettings settings;
    settings.Port = options.Port.value_or(config.Port);
    settings.ReceiveTo = options.ReceiveTo.value_or(config.ReceiveTo);
    settings.PacketType = options.PacketType.value_or(config.PacketType);
    // Values from the file are not checked when read; bring them into the range the panel allows.
    settings.BufferSize = std::max(options.BufferSize.value_or(config.BufferSize), 128);
    settings.MaxSendCount = std::clamp(options.MaxSend.value_or(config.MaxSendCount), 1, 64);
    settings.MaxSendRate = options.LimitRate.value_or(std::max(config.MaxSendRate, 0));
    settings.AutoReceive = options.AutoReceive || config.AutoReceive;
    settings.AutoResume = config.AutoResume && !options.NoResume;
    settings.Reconnect = config.Reconnect;
    settings.ServiceUrl = options.ServiceUrl.value_or(config.EasyServiceURL);
    if (settings.AutoReceive && !std::filesystem::is_directory(settings.ReceiveTo, ec))
        throw TError("受信ファイルの保存先が正しくありません: " + settings.ReceiveTo.string());
    return settings;
}

}  // namespace fwp::cli
