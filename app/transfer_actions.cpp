#include "app/transfer_actions.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/envelope.h"
#include "app/partial_record.h"
#include "common/codec.h"
#include "common/error.h"
#include "crypto/md5.h"

namespace fwp {
namespace {

constexpr std::size_t MaxDiskNameBytes = 255;
// Numbered names tried before a receive gives up for want of a free name.
constexpr int MaxNumberedNames = 9999;

// Length of the UTF-8 character at the start of text; 1 for a stray byte.
std::size_t CharLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text.front());
    std::size_t length = 1;
    if (lead >= 0xF0 && lead < 0xF8)
        length = 4;
    else if (lead >= 0xE0 && lead < 0xF0)
        length = 3;
    else if (lead >= 0xC0 && lead < 0xE0)
        length = 2;
    if (length > text.size())
        return 1;
    for (std::size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            return 1;
    return length;
}

// Where a suffix goes in a name: before its extension, if it has one.
std::size_t ExtensionStart(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? name.size() : dot;
}

// Keeps the extension when a long name has to be cut.
std::string ShortenName(const std::string& name) {
    if (name.size() <= MaxDiskNameBytes)
        return name;
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && name.size() - dot <= 16) {
        const std::string extension = name.substr(dot);
        return std::string(codec::CutUtf8(std::string_view(name).substr(0, dot),
                                          MaxDiskNameBytes - extension.size())) +
               extension;
    }
    return std::string(codec::CutUtf8(name, MaxDiskNameBytes));
}

}  // namespace

TTranserTask& SendInstantMessage(TTranser& transer, std::string_view text) {
    TTranserTask& task = transer.Tasks().AddSendTask(std::string(envelope::InstantMessage),
                                                     std::make_unique<TMemoryStream>(std::string(text)));
    task.Priority = true;
    return task;
}

TWireName WireFileName(std::string_view utf8Name) {
    TWireName result;
    const bool backslash = utf8Name.find('\\') != std::string_view::npos;
    result.Name = backslash ? codec::Utf8ToMarked(utf8Name) : codec::Utf8ToCp932OrMarked(utf8Name);
    std::string classic;
    bool replaced = false;
    for (std::string_view rest = utf8Name; !rest.empty();) {
        const std::size_t length = CharLength(rest);
        const std::string_view character = rest.substr(0, length);
        rest.remove_prefix(length);
        const auto first = static_cast<unsigned char>(character.front());
        bool exact = false;
        const std::string cp932 = codec::Utf8ToCp932(character, &exact);
        // "¥" converts to the byte of "\", which a classic peer takes for a separator.
        if (!exact || cp932 == "\\" || first < 0x20 || first == 0x7F) {
            classic += '_';
            replaced = true;
        } else {
            classic += cp932;
        }
    }
    if (replaced) {
        const std::string tag = "-" + DigestToHex(MD5OfString(utf8Name)).substr(0, 6);
        classic.insert(ExtensionStart(classic), tag);
    }
    if (classic != result.Name)
        result.ClassicName = std::move(classic);
    return result;
}

TOfferResult OfferFile(TTranser& transer, const std::filesystem::path& path) {
    TOfferResult result;
    result.FileName = path.filename().string();
    std::unique_ptr<TFileStream> stream;
    try {
        stream = TFileStream::Open(path.string(), TFileOpenMode::fmRead);
    } catch (const TStreamError& error) {
        result.Error = error.what();
        return result;
    }
    const TWireName wire = WireFileName(result.FileName);
    result.Task = &transer.Tasks().AddSendTask(FileNameLine(wire.Name), std::move(stream));
    if (!wire.ClassicName.empty()) {
        result.Task->ClassicName = FileNameLine(wire.ClassicName);
        result.ClassicFileName = codec::Cp932ToUtf8(wire.ClassicName);
    }
    return result;
}

std::string NumberedName(const std::string& name, int n) {
    const std::string number = " (" + std::to_string(n) + ")";
    const std::size_t at = ExtensionStart(name);
    std::string stem = name.substr(0, at);
    const std::string extension = name.substr(at);
    if (stem.size() + number.size() + extension.size() > MaxDiskNameBytes)
        stem = codec::CutUtf8(
            stem, MaxDiskNameBytes - std::min(MaxDiskNameBytes, number.size() + extension.size()));
    return stem + number + extension;
}

std::optional<std::string> SafeReceiveName(std::string_view fileName) {
    // Separators are looked for only in the decoded text: in CP932 the byte of
    // "\" is also the second byte of characters such as ソ. A marked name comes
    // from a copy of this program, where "\" is a character of the name.
    const bool marked = fileName.starts_with(codec::Utf8Mark);
    std::string name = codec::Cp932OrMarkedToUtf8(fileName);
    const std::size_t separator = name.find_last_of(marked ? "/" : "/\\");
    if (separator != std::string::npos)
        name.erase(0, separator + 1);
    if (name.empty() || name == "." || name == "..")
        return std::nullopt;
    for (const unsigned char c : name)
        if (c < 0x20 || c == 0x7F)
            return std::nullopt;
    name = ShortenName(name);
    if (name.empty() || name == "." || name == "..")
        return std::nullopt;
    return name;
}

namespace {

// Opens the target of a receive; nullptr when it cannot be opened.
std::unique_ptr<TFileStream> OpenReceiveStream(int dirFd, const std::string& name, bool autoResume) {
    try {
        if (autoResume) {
            try {
                auto stream = TFileStream::OpenIn(dirFd, name, TFileOpenMode::fmResume);
                stream->Seek(stream->Size());
                return stream;
            } catch (const TStreamError&) {
                // No file to resume (or not one we may use): create it below.
                if (::faccessat(dirFd, name.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0)
                    return nullptr;
            }
        }
        return TFileStream::OpenIn(dirFd, name, TFileOpenMode::fmCreate);
    } catch (const TStreamError&) {
        return nullptr;
    }
}

bool AcceptInto(TTranser& transer, TTranserTask& task, std::unique_ptr<TFileStream> stream) {
    if (!stream) {
        transer.DenyTask(task);
        return false;
    }
    std::unique_ptr<TStream> target = std::move(stream);
    return transer.AcceptTask(task, std::move(target));
}

// Finds the file an automatic receive writes to: the offered name when it is
// free, an unfinished receive of the same offer under the offered name or a
// numbered one, or else the first free numbered name. Throws TStreamError.
std::unique_ptr<TFileStream> OpenFreeOrUnfinished(int dirFd, const std::string& name,
                                                  const TTranserTask& task, TReceivePlace& place) {
    for (int n = 0; n <= MaxNumberedNames; ++n) {
        const std::string candidate = n == 0 ? name : NumberedName(name, n);
        struct stat st {};
        if (::fstatat(dirFd, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                throw TStreamError(candidate + ": " + SystemErrorText(errno));
            place.Name = candidate;
            auto stream = TFileStream::OpenIn(dirFd, candidate, TFileOpenMode::fmCreateNew);
            WritePartialRecord(*stream, task.Size, task.Name);
            return stream;
        }
        // A link or anything else planted under the name refuses the offer, as opening it would.
        if (!S_ISREG(st.st_mode))
            throw TStreamError(candidate + ": 通常のファイルではありません");
        if (!PartialRecordMatches(dirFd, candidate, task.Size, task.Name))
            continue;
        try {
            auto stream = TFileStream::OpenIn(dirFd, candidate, TFileOpenMode::fmResume);
            stream->Seek(stream->Size());
            place.Name = candidate;
            place.Resumed = true;
            return stream;
        } catch (const TStreamError&) {
            // Another receive of this program holds it: look further.
        }
    }
    throw TStreamError(name + ": 空いている名前が見つかりません");
}

}  // namespace

std::unique_ptr<TFileStream> OpenInFolder(const std::filesystem::path& folder,
                                          const std::filesystem::path& name, TFileOpenMode mode) {
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        throw TStreamError(folder.string() + ": " + std::strerror(errno));
    try {
        auto stream = TFileStream::OpenIn(dirFd, name.string(), mode);
        ::close(dirFd);
        return stream;
    } catch (...) {
        ::close(dirFd);
        throw;
    }
}

bool ReceiveToFile(TTranser& transer, TTranserTask& task, const std::filesystem::path& path,
                   bool autoResume) {
    return AcceptInto(transer, task, OpenReceiveStream(AT_FDCWD, path.string(), autoResume));
}

TReceivePlace ReceiveIntoFolder(TTranser& transer, TTranserTask& task, const std::filesystem::path& folder,
                                bool autoResume) {
    TReceivePlace place;
    const TEnvelope envelope = ParseEnvelope(task.Name);
    const auto name = SafeReceiveName(envelope.FileName);
    if (!name) {
        place.Error = "受信できないファイル名です";
        transer.DenyTask(task);
        return place;
    }
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        place.Error = folder.string() + ": " + SystemErrorText(errno);
        transer.DenyTask(task);
        return place;
    }
    std::unique_ptr<TFileStream> stream;
    try {
        if (autoResume) {
            stream = OpenFreeOrUnfinished(dirFd, *name, task, place);
        } else {
            place.Name = *name;
            stream = TFileStream::OpenIn(dirFd, *name, TFileOpenMode::fmCreate);
            WritePartialRecord(*stream, task.Size, task.Name);
        }
    } catch (const TStreamError& error) {
        place.Error = error.what();
    }
    ::close(dirFd);
    if (!AcceptInto(transer, task, std::move(stream)))
        return place;
    place.Renamed = place.Name != codec::Cp932OrMarkedToUtf8(envelope.FileName);
    place.Path = folder / place.Name;
    return place;
}

std::string EndReceive(const TTranserTask& task) {
    const auto* file = dynamic_cast<const TFileStream*>(task.Stream.get());
    if (task.Direction != tdReceive || !file)
        return {};
    if (task.ResultCode == trComplete)
        ClearPartialRecord(*file);
    return file->Failure();
}

}  // namespace fwp
