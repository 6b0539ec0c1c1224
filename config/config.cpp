// How string settings are kept in config.ini.
//
// In memory every string is UTF-8; the file is CP932, as every copy of the
// program expects. A value that CP932 holds exactly (it converts to CP932 and
// back unchanged, and has no CR, LF or NUL, which one INI line cannot carry)
// is written as its plain CP932 bytes, so such files read the same in any copy.
//
// Any other value ("café", an emoji, "〜" U+301C, which CP932 would turn into
// "～" U+FF5E) is written as the mark EF BB BF followed by the UTF-8 text, in
// which "%", control characters, DEL and bytes that are no UTF-8 are written as
// "%" and two upper-case hexadecimal digits: "é 100%" is stored as
// EF BB BF C3 A9 20 31 30 30 25 32 35.
//
// Why that mark: EF is the first byte of no CP932 character, so no valid CP932
// value can begin with it and plain values never look marked. The mark is
// reserved: a value that begins with it is always read as UTF-8 (it could only
// be a broken CP932 value). Such values stay readable in a UTF-8 editor; other
// copies of the program show them garbled.

#include "config/config.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>

#include <sys/stat.h>

#include "common/codec.h"
#include "common/error.h"
#include "common/numbers.h"
#include "config/comma_text.h"
#include "config/ini_file.h"

namespace fwp {
namespace {

constexpr std::string_view Section = "Config";
constexpr std::string_view Utf8Mark = "\xEF\xBB\xBF";
constexpr char HexDigits[] = "0123456789ABCDEF";

// At most limit bytes of CP932 text, never half of a double-byte character.
std::string_view CutCp932(std::string_view text, std::size_t limit) {
    std::size_t end = 0;
    while (end < text.size()) {
        const std::size_t length = codec::IsCp932LeadByte(static_cast<unsigned char>(text[end])) ? 2 : 1;
        if (end + length > limit)
            break;
        end += length;
    }
    return text.substr(0, std::min(end, text.size()));
}

bool NeedsEscape(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == '%';
}

void AppendEscaped(std::string& out, unsigned char b) {
    out += '%';
    out += HexDigits[b >> 4];
    out += HexDigits[b & 0x0F];
}

std::string EncodeText(std::string_view text) {
    bool exact = false;
    std::string cp932 = codec::Utf8ToCp932(text, &exact);
    const bool oneLine = text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
    if (exact && oneLine && codec::Cp932ToUtf8(cp932) == text)
        return cp932;
    // Bytes that are no UTF-8 (a folder name in another encoding) are escaped
    // too, so that they come back exactly.
    std::string out(Utf8Mark);
    while (!text.empty()) {
        const std::size_t length = codec::ValidUtf8Length(text);
        const auto first = static_cast<unsigned char>(text.front());
        if (length == 0 || (length == 1 && NeedsEscape(first))) {
            AppendEscaped(out, first);
            text.remove_prefix(1);
        } else {
            out += text.substr(0, length);
            text.remove_prefix(length);
        }
    }
    return out;
}

// A text read must read back the same once saved. A cut may leave blanks at
// the end, which would not survive the file, so they go now; and a text that
// is saved in UTF-8 form is held to that form's limit, wherever it came from.
std::string FinishText(std::string_view text) {
    return std::string(TrimBlanks(codec::CutUtf8(TrimBlanks(text), MaxStringBytes)));
}

std::string DecodeText(std::string_view stored) {
    if (!stored.starts_with(Utf8Mark)) {
        std::string text = codec::Cp932ToUtf8(CutCp932(stored, MaxStringBytes));
        return EncodeText(text).starts_with(Utf8Mark) ? FinishText(text) : std::string(TrimBlanks(text));
    }
    stored.remove_prefix(Utf8Mark.size());
    std::string text;
    text.reserve(stored.size());
    while (!stored.empty()) {
        if (stored.size() >= 3 && stored[0] == '%' && HexValue(stored[1]) >= 0 && HexValue(stored[2]) >= 0) {
            text += static_cast<char>(HexValue(stored[1]) * 16 + HexValue(stored[2]));
            stored.remove_prefix(3);
            continue;
        }
        // A byte that is no UTF-8 and was not escaped becomes U+FFFD, as a
        // broken CP932 byte does, so nothing is dropped silently.
        const std::size_t length = codec::ValidUtf8Length(stored);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            stored.remove_prefix(1);
        } else {
            text += stored.substr(0, length);
            stored.remove_prefix(length);
        }
    }
    return FinishText(text);
}

// A whole integer: decimal, or hexadecimal after "0x", "0X" or "$", with an
// optional sign, within 32 bits. Anything else gives no value.
std::optional<std::int32_t> ParseInteger(std::string_view text) {
    if (const auto value = ParseInt32(text))
        return value;
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.starts_with("0x") || text.starts_with("0X"))
        text.remove_prefix(2);
    else if (text.starts_with("$"))
        text.remove_prefix(1);
    else
        return std::nullopt;
    if (text.empty() || HexValue(text.front()) < 0)
        return std::nullopt;
    std::uint32_t magnitude = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, 16);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    const std::int64_t value = negative ? -std::int64_t{magnitude} : std::int64_t{magnitude};
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::optional<std::string> ReadText(const TIniFile& ini, std::string_view key) {
    const auto stored = ini.ReadString(Section, key);
    if (!stored)
        return std::nullopt;
    return DecodeText(*stored);
}

std::string ReadString(const TIniFile& ini, std::string_view key, const std::string& fallback) {
    return ReadText(ini, key).value_or(fallback);
}

std::int32_t ReadInteger(const TIniFile& ini, std::string_view key, std::int32_t fallback) {
    const auto stored = ini.ReadString(Section, key);
    return stored ? ParseInteger(*stored).value_or(fallback) : fallback;
}

bool ReadBool(const TIniFile& ini, std::string_view key, bool fallback) {
    const auto stored = ini.ReadString(Section, key);
    if (!stored)
        return fallback;
    const auto value = ParseInteger(*stored);
    return value ? *value != 0 : fallback;
}

void WriteString(TIniFile& ini, std::string_view key, std::string_view text) {
    ini.WriteString(Section, key, EncodeText(text));
}

void WriteInteger(TIniFile& ini, std::string_view key, std::int32_t value) {
    ini.WriteString(Section, key, std::to_string(value));
}

void WriteBool(TIniFile& ini, std::string_view key, bool value) {
    ini.WriteString(Section, key, value ? "1" : "0");
}

// Creates folder and its missing parents, open to the user only, as is usual
// for a folder of settings.
void CreateFolders(const std::filesystem::path& folder) {
    std::error_code ec;
    if (folder.empty() || std::filesystem::is_directory(folder, ec))
        return;
    if (folder.has_parent_path() && folder.parent_path() != folder)
        CreateFolders(folder.parent_path());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw TStreamError(folder.string() + ": " + std::strerror(errno));
}

}  // namespace

TConfig::TConfig(std::filesystem::path file, const TConfigPlaces& places)
    : TConfig(std::move(file), DefaultReceiveTo(places)) {}

TConfig::TConfig(std::filesystem::path file, std::string defaultReceiveTo)
    : ReceiveTo(defaultReceiveTo), m_defaultReceiveTo(std::move(defaultReceiveTo)) {
    std::error_code ec;
    m_path = std::filesystem::absolute(file, ec);
    if (ec)
        m_path = std::move(file);
}

void TConfig::Load() {
    const TConfig defaults(m_path, m_defaultReceiveTo);
    const TIniFile ini(m_path);
    UserName = ReadString(ini, "UserName", defaults.UserName);
    UseEasyConnection = ReadBool(ini, "UseEasyConnection", defaults.UseEasyConnection);
    UseUPnP = ReadBool(ini, "UseUPnP", defaults.UseUPnP);
    // Only a missing key gives the default list; an empty value is an empty list.
    const auto addresses = ReadText(ini, "DirectConnectTo");
    DirectConnectTo = addresses ? FromCommaText(*addresses) : defaults.DirectConnectTo;
    Port = ReadInteger(ini, "Port", defaults.Port);
    AutoReceive = ReadBool(ini, "AutoReceive", defaults.AutoReceive);
    AutoResume = ReadBool(ini, "AutoResume", defaults.AutoResume);
    AutoInviteAllowing = ReadBool(ini, "AutoInviteAllowing", defaults.AutoInviteAllowing);
    // An empty folder would mean the root folder once the "/" is added.
    ReceiveTo = WithTrailingSlash(ReadString(ini, "ReceiveTo", defaults.ReceiveTo));
    if (ReceiveTo.empty())
        ReceiveTo = defaults.ReceiveTo;
    PacketType = ReadInteger(ini, "PacketType", defaults.PacketType);
    BufferSize = ReadInteger(ini, "BufferSize", defaults.BufferSize);
    SoundAlarm = ReadBool(ini, "SoundAlarm", defaults.SoundAlarm);
    MsgrUseEasyConnection = ReadBool(ini, "MsgrUseEasyConnection", defaults.MsgrUseEasyConnection);
    Reconnect = ReadBool(ini, "Reconnect", defaults.Reconnect);
    TimeViewMode = ReadBool(ini, "TimeViewMode", defaults.TimeViewMode);
    MaxSendCount = ReadInteger(ini, "MaxSendCount", defaults.MaxSendCount);
    MaxSendRate = ReadInteger(ini, "MaxSendRate", defaults.MaxSendRate);
    MinimizeOnTray = ReadBool(ini, "MinimizeOnTray", defaults.MinimizeOnTray);
    FirstRunning = ReadBool(ini, "FirstRunning", defaults.FirstRunning);
    // Not one of the settings the program writes; an empty value cannot name a service.
    EasyServiceURL = ReadString(ini, "EasyServiceURL", defaults.EasyServiceURL);
    if (EasyServiceURL.empty())
        EasyServiceURL = defaults.EasyServiceURL;
    SaveSecret = ReadBool(ini, "SaveSecret", defaults.SaveSecret);
    Secret = SaveSecret ? ReadString(ini, "Secret", defaults.Secret) : defaults.Secret;
}

void TConfig::Save() {
    if (DirectConnectTo.size() > MaxDirectConnectTo)
        DirectConnectTo.resize(MaxDirectConnectTo);
    ReceiveTo = WithTrailingSlash(ReceiveTo);
    try {
        CreateFolders(m_path.parent_path());
        TIniFile ini(m_path);
        WriteBool(ini, "UseEasyConnection", UseEasyConnection);
        WriteString(ini, "UserName", UserName);
        WriteBool(ini, "UseUPnP", UseUPnP);
        WriteString(ini, "DirectConnectTo", ToCommaText(DirectConnectTo));
        WriteInteger(ini, "Port", Port);
        WriteBool(ini, "AutoReceive", AutoReceive);
        WriteBool(ini, "AutoResume", AutoResume);
        WriteBool(ini, "AutoInviteAllowing", AutoInviteAllowing);
        WriteString(ini, "ReceiveTo", ReceiveTo);
        WriteInteger(ini, "PacketType", PacketType);
        WriteInteger(ini, "BufferSize", BufferSize);
        WriteBool(ini, "SoundAlarm", SoundAlarm);
        WriteBool(ini, "MsgrUseEasyConnection", MsgrUseEasyConnection);
        WriteBool(ini, "Reconnect", Reconnect);
        WriteBool(ini, "TimeViewMode", TimeViewMode);
        WriteInteger(ini, "MaxSendCount", MaxSendCount);
        WriteInteger(ini, "MaxSendRate", MaxSendRate);
        WriteBool(ini, "FirstRunning", false);  // the welcome shows on the first run only
        WriteBool(ini, "MinimizeOnTray", MinimizeOnTray);
        if (SaveSecret && !Secret.empty()) {
            WriteBool(ini, "SaveSecret", true);
            WriteString(ini, "Secret", Secret);
            // The phrase is for the user's eyes only.
            ::chmod(m_path.c_str(), S_IRUSR | S_IWUSR);
        } else {
            ini.DeleteKey(Section, "SaveSecret");
            ini.DeleteKey(Section, "Secret");
        }
    } catch (const TError&) {
        // The reason (the system's message) stays reachable as the nested exception.
        std::throw_with_nested(TError(m_path.string() + " に書き込めません"));
    }
}

}  // namespace fwp
