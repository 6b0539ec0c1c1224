#include "app/transfer_actions.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "app/formats.h"
#include "app/partial_record.h"
#include "common/codec.h"
#include "engine/poll_loop.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

using test::ReadAll;
using test::TSandbox;

TEST(ReceiveNames, PeerNamesBecomeOneSafeNameInsideTheFolder) {
    const struct {
        std::string peerName;  // CP932 bytes as they come
        const char* expected;  // nullptr: refused
    } cases[] = {
        {"a.txt", "a.txt"},
        {"../../etc/passwd", "passwd"},
        {"C:\\Windows\\x.dll", "x.dll"},
        {"\x83\x5C\x83\x74\x83\x67.txt", "ソフト.txt"},  // 5C inside characters is no separator
        {"\x83\x5C\\\x95\x5C", "表"},
        {"x\x81", "x\xEF\xBF\xBD"},  // an undecodable byte stays visible
        {"", nullptr},
        {".", nullptr},
        {"..", nullptr},
        {"a/", nullptr},
        {"a\\..", nullptr},
        {std::string("a\0b", 3), nullptr},
        {"tab\there", nullptr},
        {"del\x7F", nullptr},
        // The marked form of a copy of this program: "\\" is part of the name there.
        {"\xEF\xBB\xBF\xED\x95\x9C.txt", "한.txt"},
        {"\xEF\xBB\xBF"
         "a\\b.txt",
         "a\\b.txt"},
        {"\xEF\xBB\xBF../x", "x"},
        {"\xEF\xBB\xBF"
         "a%2Fb",
         "b"},
        {"\xEF\xBB\xBF"
         "a%0Ab",
         nullptr},
        {"\xEF\xBB\xBF..", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peerName);
        const auto name = SafeReceiveName(c.peerName);
        if (!c.expected)
            EXPECT_FALSE(name);
        else
            EXPECT_EQ(name.value_or("<refused>"), c.expected);
    }
}

TEST(ReceiveNames, OverlongNamesAreCutKeepingTheExtension) {
    std::string peer;
    for (int i = 0; i < 200; ++i)
        peer += "\x82\xA0";  // あ, three bytes each in UTF-8
    const auto name = SafeReceiveName(peer + ".txt");
    ASSERT_TRUE(name);
    EXPECT_LE(name->size(), 255u);
    EXPECT_TRUE(name->ends_with("あ.txt"));
}

class Actions : public ::testing::Test {
protected:
    TTranserTask& Incoming(const std::string& name, std::int64_t size) {
        TTranserTask& task = transer.Tasks().AddReceiveTask(name, nullptr);
        task.Size = size;
        return task;
    }
    TSandbox box;
    TPollLoop loop;
    TTranser transer{loop};
};

TEST(ReceiveNames, OwnNamesGoOutExactlyAndClassicPeersGetAUniqueCp932Name) {
    const struct {
        const char* name;
        std::string wire;
        std::string classic;  // empty: the same as wire
    } cases[] = {
        {"photo.jpg", "photo.jpg", ""},
        {"ソフト.txt", "\x83\x5C\x83\x74\x83\x67.txt", ""},
        {"한국어.txt", "\xEF\xBB\xBF\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4.txt", "___-267f7b.txt"},
        {"ÀÉÎ.txt", "\xEF\xBB\xBF\xC3\x80\xC3\x89\xC3\x8E.txt", "___-89c945.txt"},
        {"😀", "\xEF\xBB\xBF\xF0\x9F\x98\x80", "_-2a02ea"},
        // CP932 holds these only as their full-width cousins: classic peers get those.
        {"〜−.txt", "\xEF\xBB\xBF\xE3\x80\x9C\xE2\x88\x92.txt", "\x81\x60\x81\x7C.txt"},
        {"a\\b.txt",
         "\xEF\xBB\xBF"
         "a\\b.txt",
         "a_b-2201b6.txt"},
        {"¥.txt", "\xEF\xBB\xBF\xC2\xA5.txt", "_-1e6218.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TWireName wire = WireFileName(c.name);
        EXPECT_EQ(wire.Name, c.wire);
        EXPECT_EQ(wire.ClassicName, c.classic);
        EXPECT_EQ(SafeReceiveName(wire.Name).value_or("<refused>"), c.name);
    }
}

TEST(ReceiveNames, NumberedNamesKeepTheExtension) {
    EXPECT_EQ(NumberedName("photo.jpg", 1), "photo (1).jpg");
    EXPECT_EQ(NumberedName("README", 2), "README (2)");
    EXPECT_EQ(NumberedName(".bashrc", 3), ".bashrc (3)");
    const std::string longName = std::string(251, 'x') + ".txt";
    EXPECT_EQ(NumberedName(longName, 12), std::string(246, 'x') + " (12).txt");
}

TEST_F(Actions, AutomaticResumeContinuesOnlyAnUnfinishedReceiveOfTheSameOffer) {
    const auto folder = box.Folder("in");
    // The record of an unfinished receive of the offer "r.bin", 10 bytes.
    const auto unfinished = [&](const std::string& name, std::int64_t size) {
        TTranserTask& earlier = Incoming("FileTransfering:r.bin", size);
        const auto stream = OpenInFolder(folder, name, TFileOpenMode::fmCreate);
        stream->Write("12345", 5);
        ASSERT_TRUE(WritePartialRecord(*stream, earlier.Size, earlier.Name));
        transer.Tasks().RemoveTask(earlier);
    };
    const struct {
        const char* what;
        std::function<void()> prepare;
        bool resume;
        const char* savedAs;
        std::int64_t position;
    } cases[] = {
        {"another file of that name is kept", [&] { box.WriteFile("in/r.bin", "12345"); }, true, "r (1).bin",
         0},
        {"an unfinished receive of it continues", [&] { unfinished("r.bin", 10); }, true, "r.bin", 5},
        {"one of another size is kept", [&] { unfinished("r.bin", 11); }, true, "r (1).bin", 0},
        {"one under a numbered name continues",
         [&] {
             box.WriteFile("in/r.bin", "other");
             unfinished("r (1).bin", 10);
         },
         true, "r (1).bin", 5},
        {"without resume the file is replaced", [&] { box.WriteFile("in/r.bin", "12345"); }, false, "r.bin",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directory(folder);
        c.prepare();
        TTranserTask& task = Incoming("FileTransfering:r.bin", 10);
        const TReceivePlace place = ReceiveIntoFolder(transer, task, folder, c.resume);
        ASSERT_TRUE(place) << place.Error;
        EXPECT_EQ(*place.Path, folder / c.savedAs);
        EXPECT_EQ(place.Renamed, std::string(c.savedAs) != "r.bin");
        EXPECT_EQ(task.State, ttsOffered);
        ASSERT_TRUE(task.Stream);
        EXPECT_EQ(task.Stream->Position(), c.position);
        // The new receive is itself marked unfinished until it completes.
        EXPECT_TRUE(PartialRecordMatches(*place.Path, 10, "FileTransfering:r.bin"));
        task.ResultCode = trComplete;
        EndReceive(task);
        EXPECT_FALSE(PartialRecordMatches(*place.Path, 10, "FileTransfering:r.bin"));
        transer.Tasks().RemoveTask(task);
        if (place.Renamed) {
            EXPECT_FALSE(ReadAll(folder / "r.bin").empty());  // the other file is kept
        }
    }
}

// In a mount namespace of its own the child mounts ramfs, which keeps no
// extended attributes, so the record goes into the hidden file beside.
TEST_F(Actions, WithoutUserAttributesTheRecordIsAHiddenFileBeside) {
    const auto folder = box.Folder("ramfs");
    const auto mountRamfs = [&] {
        return ::unshare(CLONE_NEWNS) == 0 &&
               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               ::mount("fwp-test", folder.c_str(), "ramfs", 0, nullptr) == 0;
    };
    const pid_t probe = ::fork();
    if (probe == 0)
        ::_exit(mountRamfs() ? 0 : 1);
    int status = 0;
    ::waitpid(probe, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        GTEST_SKIP() << "no mount namespace with ramfs can be made here";
    const auto check = [&] {
        if (!mountRamfs())
            std::exit(2);
        const auto stream = OpenInFolder(folder, "r.bin", TFileOpenMode::fmCreate);
        const bool written = WritePartialRecord(*stream, 10, "FileTransfering:r.bin");
        const bool beside = std::filesystem::exists(folder / ".r.bin.fwpost-partial");
        const bool matches = PartialRecordMatches(folder / "r.bin", 10, "FileTransfering:r.bin");
        const bool otherSize = PartialRecordMatches(folder / "r.bin", 11, "FileTransfering:r.bin");
        ClearPartialRecord(*stream);
        const bool cleared = !std::filesystem::exists(folder / ".r.bin.fwpost-partial");
        std::exit(written && beside && matches && !otherSize && cleared ? 0 : 1);
    };
    EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Actions, FileThatCannotBeOpenedDeniesTheOffer) {
    const auto folder = box.Folder("in");
    std::filesystem::create_directory(folder / "sub");
    TTranserTask& dir = Incoming("FileTransfering:sub", 1);
    EXPECT_FALSE(ReceiveIntoFolder(transer, dir, folder, false));
    EXPECT_EQ(dir.State, ttsOffered);
    EXPECT_EQ(dir.Stream, nullptr);
    TTranserTask& missing = Incoming("FileTransfering:a.txt", 1);
    EXPECT_FALSE(ReceiveIntoFolder(transer, missing, box.Path("no-such-folder"), true));
    EXPECT_EQ(missing.Stream, nullptr);
    TTranserTask& unsafe = Incoming("FileTransfering:..", 1);
    EXPECT_FALSE(ReceiveIntoFolder(transer, unsafe, folder, true));
    TTranserTask& plain = Incoming("FileTransfering:p.bin", 1);
    EXPECT_TRUE(ReceiveToFile(transer, plain, folder / "p.bin", false));
    EXPECT_EQ(plain.State, ttsOffered);
    EXPECT_NE(plain.Stream, nullptr);
}

TEST_F(Actions, OfferedFilesCarryTheirCp932NameAndMissingOnesAreReported) {
    const auto file = box.WriteFile("日本語.txt", "abc");
    const TOfferResult offer = OfferFile(transer, file);
    ASSERT_TRUE(offer.Task);
    EXPECT_EQ(offer.Task->Name, "FileTransfering:" + codec::Utf8ToCp932("日本語.txt"));
    EXPECT_EQ(offer.Task->Size, 3);
    EXPECT_FALSE(offer.Task->Priority);
    EXPECT_EQ(offer.FileName, "日本語.txt");
    const TOfferResult missing = OfferFile(transer, box.Path("missing.txt"));
    EXPECT_EQ(missing.Task, nullptr);
    EXPECT_FALSE(missing.Error.empty());
    const TOfferResult folder = OfferFile(transer, box.Root());
    EXPECT_EQ(folder.Task, nullptr);
    EXPECT_EQ(transer.Tasks().Count(), 1u);
}

TEST_F(Actions, InstantMessagesArePriorityTasksWithTheirText) {
    const TTranserTask& task = SendInstantMessage(transer, "hello");
    EXPECT_EQ(task.Name, "InstantMessage:");
    EXPECT_TRUE(task.Priority);
    EXPECT_EQ(task.Size, 5);
}

TEST(Formats, SecondsAreMinutesAndSecondsOrHoursToo) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0, "0:0"},       {59, "0:59"},     {65, "1:5"},        {3599, "59:59"},
        {3600, "1h 0:0"}, {3725, "1h 2:5"}, {90061, "25h 1:1"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(FormatSeconds(seconds), text) << seconds;
}

}  // namespace
}  // namespace fwp
