#include "app/transfer_actions.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "app/envelope.h"
#include "common/codec.h"
#include "common/error.h"

namespace fwp {
namespace {

constexpr std::size_t MaxDiskNameBytes = 255;

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
    result.Task =
        &transer.Tasks().AddSendTask(FileNameLine(codec::Utf8ToCp932(result.FileName)), std::move(stream));
    return result;
}

std::optional<std::string> SafeReceiveName(std::string_view fileName) {
    // Separators are looked for only in the decoded text: in CP932 the byte of
    // "\" is also the second byte of characters such as ソ.
    std::string name = codec::Cp932ToUtf8(fileName);
    const std::size_t separator = name.find_last_of("/\\");
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

std::optional<std::filesystem::path> ReceiveIntoFolder(TTranser& transer, TTranserTask& task,
                                                       const std::filesystem::path& folder, bool autoResume) {
    const TEnvelope envelope = ParseEnvelope(task.Name);
    const auto name = SafeReceiveName(envelope.FileName);
    const int dirFd = name ? ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (dirFd < 0) {
        transer.DenyTask(task);
        return std::nullopt;
    }
    auto stream = OpenReceiveStream(dirFd, *name, autoResume);
    ::close(dirFd);
    if (!AcceptInto(transer, task, std::move(stream)))
        return std::nullopt;
    return folder / *name;
}

}  // namespace fwp
