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

// The file name part of an offer's name line, in the two forms a file is offered under.
struct TWireName {
    // For a copy of this program: plain CP932 when the name converts to CP932
    // and back unchanged and holds no "\", otherwise the marked UTF-8 form of
    // common/codec, so that the name arrives exactly as it is here.
    std::string Name;
    // For a classic peer, which reads CP932 only; empty when Name serves both.
    // Each character CP932 cannot hold, each "\" (and "¥", which CP932 writes
    // as that byte) and each control character
    // becomes "_", and then "-" and the first six hexadecimal digits of the MD5
    // of the UTF-8 name go before the extension, so that two names that differ
    // only in such characters stay apart: "한국어.txt" -> "___-xxxxxx.txt".
    std::string ClassicName;
};
TWireName WireFileName(std::string_view utf8Name);

struct TOfferResult {
    TTranserTask* Task = nullptr;  // the queued task, or nullptr when the file could not be opened
    std::string FileName;          // the file's name without folder, UTF-8
    std::string ClassicFileName;   // what a classic peer is offered, UTF-8; empty when the same
    std::string Error;             // why it could not be opened
};
// Opens a local regular file for reading (anything else is refused at once,
// never waited on) and queues its offer as "FileTransfering:" + name.
TOfferResult OfferFile(TTranser& transer, const std::filesystem::path& path);

// The name a received file gets on disk, from the file name of an offer
// (CP932 bytes or the marked form): decoded to UTF-8 (undecodable bytes shown
// as U+FFFD), only its last component after "/" (or "\" in a CP932 name), at
// most 255 bytes. Nothing for a name that would be empty, "." or "..", or
// that holds control characters.
std::optional<std::string> SafeReceiveName(std::string_view fileName);

// "photo.jpg" numbered n: "photo (n).jpg"; at most 255 bytes.
std::string NumberedName(const std::string& name, int n);

// Opens name inside folder without following a link in the name, and only
// a plain file with one link; throws TStreamError.
std::unique_ptr<TFileStream> OpenInFolder(const std::filesystem::path& folder,
                                          const std::filesystem::path& name, TFileOpenMode mode);

// Accepts an incoming task into the file at path, without asking: an
// existing file is continued at its end when autoResume is set, otherwise
// replaced. When the file cannot be opened the task is denied. True when accepted.
bool ReceiveToFile(TTranser& transer, TTranserTask& task, const std::filesystem::path& path, bool autoResume);

struct TReceivePlace {
    std::optional<std::filesystem::path> Path;  // the file written, nothing when the task was denied
    std::string Name;                           // its name in the folder, UTF-8
    // Name is not the offered one: another file had it (Name is a free one),
    // or the offered name had a folder part or was too long.
    bool Renamed = false;
    bool Resumed = false;  // an unfinished receive of the same offer is continued
    std::string Error;     // why the task was denied, for the user
    explicit operator bool() const { return Path.has_value(); }
};

// Accepts an incoming file offer into folder under SafeReceiveName of its
// file name. The file is opened inside the folder without following a link
// in the name, so nothing is ever written outside it; a name that is not safe,
// or a file that cannot be opened, denies the task. With autoResume only an
// unfinished receive of the same offer (see app/partial_record.h) is
// continued; another file of that name is kept and the new one saved under the
// first free numbered name, "photo (1).jpg". Without, an existing file is replaced.
TReceivePlace ReceiveIntoFolder(TTranser& transer, TTranserTask& task, const std::filesystem::path& folder,
                                bool autoResume);

// To be called when a receive task into a file ends: a complete file loses
// its unfinished-receive record. The reason a receive failed, for the user
// (empty when there is nothing to add to the result).
std::string EndReceive(const TTranserTask& task);

}  // namespace fwp
