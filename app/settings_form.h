#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/config.h"
#include "engine/transer.h"

// The settings panel without its widgets: what its controls hold, how they
// are filled from the settings and how closing the panel takes them over.
namespace fwp {

struct TBufferPreset {
    const char* Caption;  // UTF-8
    std::int32_t Bytes;
};
// The buffer sizes offered for common connections; the last is 32767, not 32768.
extern const std::array<TBufferPreset, 10> BufferPresets;

// The preset shown when the panel is made: from the last down, the first
// whose size is not above bufferSize; -1 below the smallest.
int InitialPresetIndex(std::int32_t bufferSize);

// A number field's value: text that is no whole number counts as min; the
// value is brought into [min, max] as when the field loses the focus.
std::int64_t NumberFieldValue(std::string_view text, std::int64_t min, std::int64_t max);
constexpr std::int64_t MinBufferSize = 128;
constexpr std::int64_t MaxBufferSize = 2147483647;
constexpr std::int64_t MinSendCount = 1;
constexpr std::int64_t MaxSendCount = 64;
constexpr std::int64_t MaxSendRateField = 2147483647;  // bytes per second; 0 = no limit

// The controls of the panel. Texts are UTF-8.
struct TSettingsForm {
    int PacketType = 0;
    std::int32_t BufferSize = 32768;
    std::int32_t MaxSendCount = 3;
    std::int32_t MaxSendRate = 0;
    bool Reconnect = true;
    bool AutoReceive = false;
    std::string ReceiveTo;
    bool AutoResume = true;
    bool AutoInviteAllowing = false;
    bool SoundAlarm = true;
    bool UseUPnP = true;
    bool MinimizeOnTray = false;
    bool MsgrUseEasyConnection = true;
};

TSettingsForm FormFromConfig(const TConfig& config);

// "閉じる(&C)": AutoReceive and AutoResume are taken over first; a save folder
// that is no existing folder then throws TError("受信ファイルの保存先が正しくありません")
// and nothing more is taken over. Otherwise everything is, the file is
// written (which may throw), and the engine gets its transfer values at once.
void CloseSettings(const TSettingsForm& form, TConfig& config, TTranser& transer);

}  // namespace fwp
