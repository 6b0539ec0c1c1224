#include "app/transfer_actions.h"

#include <gtest/gtest.h>

#include "app/formats.h"
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

TEST_F(Actions, ReceiveIntoFolderResumesOrReplacesAnExistingFile) {
    const auto folder = box.Folder("in");
    for (const bool resume : {true, false}) {
        SCOPED_TRACE(resume);
        box.WriteFile("in/r.bin", "12345");
        TTranserTask& task = Incoming("FileTransfering:r.bin", 10);
        const auto path = ReceiveIntoFolder(transer, task, folder, resume);
        ASSERT_TRUE(path);
        EXPECT_EQ(*path, folder / "r.bin");
        EXPECT_EQ(task.State, ttsOffered);
        ASSERT_TRUE(task.Stream);
        EXPECT_EQ(task.Stream->Position(), resume ? 5 : 0);
        transer.Tasks().RemoveTask(task);
        EXPECT_EQ(ReadAll(folder / "r.bin"), resume ? "12345" : "");
    }
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
