#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "engine/transer.h"

// The operations both front ends use to queue and answer transfers; what
// they show about them is their own business.
namespace fwp {

// A message text larger than this is refused: it is kept in memory whole.
constexpr std::int64_t MaxMessageBytes = 16 << 20;

// Queues an instant message (CP932 text) as a priority task.
TTranserTask& SendInstantMessage(TTranser& transer, std::string_view text);

struct TOfferResult {
    TTranserTask* Task = nullptr;  // the queued task, or nullptr when the file could not be opened
    std::string FileName;          // the file's name without folder, UTF-8
    std::string Error;             // why it could not be opened
};
// Opens a local file for reading and queues its offer as "FileTransfering:" + name.
TOfferResult OfferFile(TTranser& transer, const std::filesystem::path& path);

// The name a received file gets on disk, from the file name of an offer
// (CP932 bytes): decoded to UTF-8 (undecodable bytes shown as U+FFFD), only
// its last component after "/" or "\", at most 255 bytes. Nothing for a name
// that would be empty, "." or "..", or that holds control characters.
std::optional<std::string> SafeReceiveName(std::string_view fileName);

// Opens name inside folder without following a link in the name, and only
// a plain file with one link; throws TStreamError.
std::unique_ptr<TFileStream> OpenInFolder(const std::filesystem::path& folder,
                                          const std::filesystem::path& name, TFileOpenMode mode);

// Accepts an incoming task into the file at path, without asking: an
// existing file is continued at its end when autoResume is set, otherwise
// replaced. When the file cannot be opened the task is denied. True when accepted.
bool ReceiveToFile(TTranser& transer, TTranserTask& task, const std::filesystem::path& path, bool autoResume);

// Accepts an incoming file offer into folder under SafeReceiveName of its
// file name. The file is opened inside the folder without following a link
// in the name, so nothing is ever written outside it; a name that is not safe,
// or a file that cannot be opened, denies the task. The path used, or nothing.
std::optional<std::filesystem::path> ReceiveIntoFolder(TTranser& transer, TTranserTask& task,
                                                       const std::filesystem::path& folder, bool autoResume);

}  // namespace fwp
