#include "cli/settings.h"

#include <filesystem>

#include "common/error.h"

namespace fwp::cli {

TSessionSettings LoadSessionSettings(const TOptions& options) {
    TSessionSettings settings;
    settings.ReceiveTo = std::filesystem::current_path();
    if (options.Port)
        settings.Port = *options.Port;
    if (options.ReceiveTo)
        settings.ReceiveTo = *options.ReceiveTo;
    if (options.PacketType)
        settings.PacketType = *options.PacketType;
    if (options.BufferSize)
        settings.BufferSize = *options.BufferSize;
    if (options.MaxSend)
        settings.MaxSendCount = *options.MaxSend;
    if (options.AutoReceive)
        settings.AutoReceive = true;
    if (options.NoResume)
        settings.AutoResume = false;
    std::error_code ec;
    if (settings.AutoReceive && !std::filesystem::is_directory(settings.ReceiveTo, ec))
        throw TError("受信ファイルの保存先が正しくありません: " + settings.ReceiveTo.string());
    return settings;
}

}  // namespace fwp::cli
