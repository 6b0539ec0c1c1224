#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/addresses.h"
#include "config/config_places.h"

namespace fwp {

// Save keeps this many recent addresses, the most recent first.
inline constexpr std::size_t MaxDirectConnectTo = 10;

// Longest string value read from the file, in bytes: CP932 bytes of a plain
// value, UTF-8 bytes of one kept in UTF-8 (see config.cpp). A character is
// never cut in half.
inline constexpr std::size_t MaxStringBytes = 2047;

// Every setting of the program, kept in config.ini, section "Config", one key
// per field. The program keeps one instance, loaded before anything else runs
// and saved at its end; other code reads and changes the fields directly.
// Strings hold UTF-8; the file holds CP932.
class TConfig {
public:
    // Sets every field to its default; the file is not read until Load. places
    // gives the default ReceiveTo (see DefaultReceiveTo).
    explicit TConfig(std::filesystem::path file, const TConfigPlaces& places = TConfigPlaces::FromSystem());

    // Reads every key; a missing key, or a whole missing or unreadable file,
    // gives the defaults. Values are not checked beyond their form.
    void Load();

    // Cuts DirectConnectTo to its first ten entries, then writes the eighteen
    // keys (and the 合言葉's two, or removes them) one at a time, creating the file's folder when needed.
    // Other keys and sections in the file stay as they are. Throws TError
    // "<full path> に書き込めません" at the first key that cannot be written;
    // the keys before it stay written.
    void Save();

    const std::filesystem::path& Path() const { return m_path; }

    std::string UserName;                                   // name for the easy connection service
    bool UseEasyConnection = true;                          // find the peer through the service
    bool UseUPnP = true;                                    // open the port on the router when waiting
    std::int32_t Port = 4006;                               // port for waiting and connecting
    std::vector<std::string> DirectConnectTo{"localhost"};  // recent addresses, the most recent first
    bool AutoReceive = false;                               // save offered files without asking
    bool AutoResume = true;                                 // resume partly received files
    bool AutoInviteAllowing = false;                        // accept plug-in invitations without asking
    std::string ReceiveTo;                                  // folder for received files, ends in one "/"
    std::int32_t PacketType = 0;                        // 0 plain, 1 compressed, 2 enciphered; not checked
    std::int32_t BufferSize = 32768;                    // bytes per data packet
    bool SoundAlarm = true;                             // sound when a task arrives unseen
    bool Reconnect = true;                              // rebuild a link that went silent
    bool TimeViewMode = true;                           // task list shows remaining (true) or elapsed time
    std::int32_t MaxSendCount = 3;                      // files sent at the same time
    std::int32_t MaxSendRate = 0;                       // bytes of file data per second, 0 = no limit
    bool MsgrUseEasyConnection = true;                  // use the service in messenger-session starts
    bool MinimizeOnTray = false;                        // hide into the tray when minimised
    bool FirstRunning = true;                           // show the welcome; every save stores false
    std::string EasyServiceURL{DefaultEasyServiceURL};  // read when present, never written
    // The window's 合言葉, kept only while SaveSecret is set: Save then writes
    // both, and otherwise removes both keys from the file.
    std::string Secret;
    bool SaveSecret = false;

private:
    TConfig(std::filesystem::path file, std::string defaultReceiveTo);

    std::filesystem::path m_path;
    std::string m_defaultReceiveTo;
};

}  // namespace fwp
