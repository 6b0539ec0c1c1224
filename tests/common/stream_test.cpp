#include "common/stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "common/error.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

using test::ReadAll;
using test::TSandbox;

TEST(FileStream, CreateEmptiesAnExistingFileAndWritesAtThePosition) {
    TSandbox box;
    const auto path = box.WriteFile("f.bin", "old content");
    auto stream = TFileStream::Open(path.string(), TFileOpenMode::fmCreate);
    EXPECT_EQ(stream->Size(), 0);
    stream->Write("abc", 3);
    stream->Seek(1);
    stream->Write("Z", 1);
    EXPECT_EQ(stream->Size(), 3);
    stream->Commit();
    stream.reset();
    EXPECT_EQ(ReadAll(path), "aZc");
}

TEST(FileStream, ResumeKeepsContentAndTruncateCutsBack) {
    TSandbox box;
    const auto path = box.WriteFile("f.bin", "12345");
    auto stream = TFileStream::Open(path.string(), TFileOpenMode::fmResume);
    EXPECT_EQ(stream->Size(), 5);
    stream->Seek(stream->Size());
    stream->Write("678", 3);
    stream->Truncate(6);
    stream.reset();
    EXPECT_EQ(ReadAll(path), "123456");
}

TEST(FileStream, SecondWriterOfTheSameFileIsRefused) {
    TSandbox box;
    const auto path = box.Path("f.bin");
    auto first = TFileStream::Open(path.string(), TFileOpenMode::fmCreate);
    EXPECT_THROW(TFileStream::Open(path.string(), TFileOpenMode::fmCreate), TStreamError);
    EXPECT_THROW(TFileStream::Open(path.string(), TFileOpenMode::fmRead), TStreamError);
}

TEST(FileStream, OpenInFolderRefusesLinksPlantedThere) {
    TSandbox box;
    const auto folder = box.Folder("in");
    const auto outside = box.WriteFile("outside.txt", "keep me");
    std::filesystem::create_symlink(outside, folder / "sym.txt");
    std::filesystem::create_hard_link(outside, folder / "hard.txt");
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirFd, 0);
    for (const auto mode : {TFileOpenMode::fmCreate, TFileOpenMode::fmResume}) {
        EXPECT_THROW(TFileStream::OpenIn(dirFd, "sym.txt", mode), TStreamError);
        EXPECT_THROW(TFileStream::OpenIn(dirFd, "hard.txt", mode), TStreamError);
    }
    auto plain = TFileStream::OpenIn(dirFd, "new.txt", TFileOpenMode::fmCreate);
    plain->Write("x", 1);
    plain.reset();
    ::close(dirFd);
    EXPECT_EQ(ReadAll(outside), "keep me");
    EXPECT_EQ(ReadAll(folder / "new.txt"), "x");
}

TEST(MemoryStream, ReadsWritesAndTruncates) {
    TMemoryStream stream;
    stream.Write("hello", 5);
    stream.Truncate(3);
    EXPECT_EQ(stream.Data(), "hel");
    EXPECT_EQ(stream.Position(), 3);
    stream.Seek(1);
    char buffer[8] = {};
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 2u);
    EXPECT_EQ(std::string(buffer, 2), "el");
}

}  // namespace
}  // namespace fwp
