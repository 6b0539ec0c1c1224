#include "engine/task_list.h"

#include <set>

#include <gtest/gtest.h>

namespace fwp {
namespace {

TEST(TaskList, FreshIdsAreDistinctAndNeverZero) {
    TTranserTaskList tasks;
    std::set<std::int32_t> ids;
    for (int i = 0; i < 2000; ++i) {
        const TTranserTask& task = tasks.AddSendTask("t", std::make_unique<TMemoryStream>());
        EXPECT_GE(task.ID, 1);
        EXPECT_LE(task.ID, 2147483646);
        ids.insert(task.ID);
    }
    EXPECT_EQ(ids.size(), 2000u);
}

TEST(TaskList, SendTaskTakesItsSizeFromTheStream) {
    TTranserTaskList tasks;
    const TTranserTask& task = tasks.AddSendTask("n", std::make_unique<TMemoryStream>("12345"));
    EXPECT_EQ(task.Size, 5);
    EXPECT_EQ(task.State, ttsNew);
    EXPECT_EQ(task.Direction, tdSend);
    EXPECT_EQ(task.ResultCode, -1);
    const TTranserTask& incoming = tasks.AddReceiveTask("m", nullptr);
    EXPECT_EQ(incoming.Size, 0);
    EXPECT_EQ(incoming.Direction, tdReceive);
}

TEST(TaskList, RemovingFromTheMiddleKeepsTheOrderAndUnknownIdsAreIgnored) {
    TTranserTaskList tasks;
    const std::int32_t a = tasks.AddSendTask("a", nullptr).ID;
    const std::int32_t b = tasks.AddSendTask("b", nullptr).ID;
    const std::int32_t c = tasks.AddSendTask("c", nullptr).ID;
    tasks.RemoveTask(b);
    tasks.RemoveTask(12345);
    ASSERT_EQ(tasks.Count(), 2u);
    EXPECT_EQ(tasks[0].ID, a);
    EXPECT_EQ(tasks[1].ID, c);
    EXPECT_EQ(tasks.FindTask(b), nullptr);
}

TEST(TaskList, FindTaskReturnsTheFirstOfEqualIds) {
    TTranserTaskList tasks;
    TTranserTask& mine = tasks.AddSendTask("mine", nullptr);
    TTranserTask& theirs = tasks.AddReceiveTask("theirs", nullptr);
    theirs.ID = mine.ID;
    EXPECT_EQ(tasks.FindTask(mine.ID), &mine);
}

TEST(TaskList, RemovedTaskReleasesItsStreamAtOnce) {
    TTranserTaskList tasks;
    TTranserTask& task = tasks.AddSendTask("a", std::make_unique<TMemoryStream>("x"));
    tasks.RemoveTask(task);
    EXPECT_EQ(task.Stream, nullptr);  // the object itself lives until ReleaseRemoved
    tasks.ReleaseRemoved();
}

TEST(ResultTexts, EveryCodeHasItsText) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {0, "転送完了"},
        {1, "一般転送エラー"},
        {2, "拒否"},
        {3, "中断"},
        {6, "プロトコルのバージョンが違うエラー"},
        {7, "ファイルオープンエラー"},
        {10, "受信側エラー"},
        {11, "送信側エラー"},
        {12, "応答無しエラー"},
        {-1, "予期せぬエラー"},
        {4, "予期せぬエラー"},
        {99, "予期せぬエラー"},
    };
    for (const auto& [code, text] : cases)
        EXPECT_STREQ(ResultText(code), text) << code;
}

TEST(ByteSizes, UnitIsChosenBeforeRoundingToHundredths) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1 KB"},
        {1025, "1 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024 KB"},
        {1048576, "1 MB"},
        {1073741824, "1 GB"},
        {1099511627776, "1 TB"},
        {1125899906842624, "1 "},
        {1126, "1.1 KB"},
        {1280, "1.25 KB"},
        {10485, "10.24 KB"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(FormatByteSize(bytes), text) << bytes;
}

}  // namespace
}  // namespace fwp
