// The task list as the user sees it: texts of every kind of row, the time
// column, the owner-drawn cells in the real view, the link rows, the
// selection rules and a list of ten thousand rows.
#include <QApplication>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QImage>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "app/formats.h"
#include "tests/ui/window_fixture.h"
#include "ui/task_list_delegate.h"
#include "ui/task_list_model.h"
#include "ui/task_list_view.h"

namespace fwp::test {
namespace {

TTranserTask Task(std::string_view fileName, std::int64_t size, TTranserDirection direction,
                  TTranserTaskState state = ttsNew) {
    TTranserTask task;
    task.Name = "FileTransfering:" + Sjis(fileName);
    task.Size = size;
    task.Direction = direction;
    task.State = state;
    return task;
}

// A list on its own, as in the window: rows, model and view.
struct TList {
    TList() : model(rows), view() {
        view.setModel(&model);
        view.resize(560, 300);
        view.header()->resizeSection(0, 80);
        view.header()->resizeSection(1, 250);
        view.header()->setSectionResizeMode(2, QHeaderView::Stretch);
        view.header()->resizeSection(3, 60);
    }
    std::string Text(int row, int column) const { return U(model.index(row, column).data().toString()); }
    TRowLook Look(int row) const {
        return static_cast<TRowLook>(model.index(row, 0).data(TTaskListModel::LookRole).toInt());
    }
    TTaskRows rows;
    TTaskListModel model;
    TTaskListView view;
};

TEST(TaskList, FileRowsShowEachPhaseDecodedFromCp932) {
    TList list;
    TTranserTask incoming = Task("写真.jpg", 3072, tdReceive);
    const int row = list.rows.AddTaskRow(incoming);
    EXPECT_EQ(list.Text(row, 0), "受信");
    EXPECT_EQ(list.Text(row, 1), "写真.jpg(3 KB)のファイルを受信しますか？");
    EXPECT_EQ(list.Look(row), TRowLook::rlLink);

    list.rows.SetMenu(row, false);  // answered
    EXPECT_EQ(list.Text(row, 1), "写真.jpg(3 KB)のファイルを受信しますか？");
    EXPECT_EQ(list.Look(row), TRowLook::rlSpan);

    incoming.State = ttsTransfering;
    incoming.Transfered = 1024;
    EXPECT_EQ(list.rows.ProgressUpdate(incoming, 512, 1024, 3072), "512 B/s");
    EXPECT_EQ(list.Text(row, 1), "写真.jpg(3 KB)のファイルの転送中...");
    EXPECT_EQ(list.Text(row, 2), "1 KB / 3 KB");
    EXPECT_EQ(list.Text(row, 3), "0:04");
    EXPECT_EQ(list.Look(row), TRowLook::rlBar);

    incoming.State = ttsSuspended;
    EXPECT_EQ(list.Look(row), TRowLook::rlSuspended);

    incoming.ResultCode = trComplete;
    list.rows.Completion(incoming);
    EXPECT_EQ(list.Text(row, 1), "写真.jpg(3 KB)のファイルの転送終了");
    EXPECT_EQ(list.Text(row, 2), "転送完了");
    EXPECT_EQ(list.Text(row, 3), "0:00");
    EXPECT_EQ(list.Look(row), TRowLook::rlDefault);

    TTranserTask outgoing = Task("report.pdf", 1000, tdSend);
    const int sent = list.rows.AddTaskRow(outgoing);
    EXPECT_EQ(list.Text(sent, 0), "送信");
    EXPECT_EQ(list.Text(sent, 1), "report.pdf(1000 B)のファイル転送の承諾待ち中");
    EXPECT_EQ(list.Look(sent), TRowLook::rlSpan);
    list.rows.SendStarted(outgoing);
    EXPECT_EQ(list.Text(sent, 2), "転送開始");
    EXPECT_EQ(list.Look(sent), TRowLook::rlDefault);
}

TEST(TaskList, BytesThatDoNotDecodeShowAsReplacementMarks) {
    TList list;
    TTranserTask task;
    task.Name = "FileTransfering:a\x81\x20z.bin";
    task.Direction = tdReceive;
    const int row = list.rows.AddTaskRow(task);
    const std::string shown = list.Text(row, 1);
    EXPECT_TRUE(shown.starts_with("a\xEF\xBF\xBD")) << shown;
    EXPECT_NE(shown.find("z.bin("), std::string::npos) << shown;
}

TEST(TaskList, TheTimeColumnShowsRemainingOrElapsedTime) {
    TList list;
    TTranserTask task = Task("a.bin", 3'600'000, tdSend, ttsTransfering);
    const int row = list.rows.AddTaskRow(task);
    // A first report at 0 bytes per second leaves the rate at 0: no remaining time.
    list.rows.ProgressUpdate(task, 0, 0, 3'600'000);
    EXPECT_EQ(list.Text(row, 3), "");
    // 3600000 bytes at 1000 per second.
    list.rows.ProgressUpdate(task, 1000, 0, 3'600'000);
    EXPECT_EQ(list.Text(row, 3), "1h 0:00");
    // The rate weighs the new sample half: (1000 + 3000) / 2 = 2000.
    list.rows.ProgressUpdate(task, 3000, 0, 3'600'000);
    EXPECT_EQ(list.Text(row, 3), "30:00");
    list.rows.ProgressUpdate(task, 2000, 3'600'000 - 59 * 2000, 3'600'000);
    EXPECT_EQ(list.Text(row, 3), "0:59");

    // Elapsed time in whole seconds (the header follows the mode: SelectionRules below).
    list.rows.TimeViewMode = false;
    for (const auto& [elapsedMs, shown] :
         std::vector<std::pair<std::uint32_t, std::string>>{{999, "0:00"}, {3'725'000, "1h 2:05"}}) {
        task.Elapsed = elapsedMs;
        list.rows.ProgressUpdate(task, 2000, 0, 3'600'000);
        EXPECT_EQ(list.Text(row, 3), shown) << elapsedMs;
    }
}

TEST(TaskList, TheTimeCellReadsLikeAClock) {
    const struct {
        bool Remaining;
        std::uint32_t Rate;
        std::int64_t Size;
        std::int64_t Transfered;
        std::uint32_t ElapsedMs;
        const char* Text;
    } cases[] = {
        {true, 0, 5000, 0, 9000, ""},
        {true, 100, 5000, 0, 9000, "0:50"},
        {true, 1, 3600, 0, 0, "1h 0:00"},
        {true, 1000, 5000, 5000, 0, "0:00"},
        {true, 100, 4600, 0, 0, "0:46"},
        {false, 100, 5000, 0, 125'999, "2:05"},
        {false, 0, 0, 0, 0, "0:00"},
        {false, 0, 0, 0, 5000, "0:05"},
        {false, 0, 0, 0, 59'000, "0:59"},
        {false, 0, 0, 0, 60'000, "1:00"},
        {false, 0, 0, 0, 3'599'000, "59:59"},
        {false, 0, 0, 0, 3'600'000, "1h 0:00"},
        {false, 0, 0, 0, 90'061'000, "25h 1:01"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TimeCellText(c.Remaining, c.Rate, c.Size, c.Transfered, c.ElapsedMs), c.Text)
            << c.Remaining << " " << c.Rate << " " << c.Size << " " << c.Transfered << " " << c.ElapsedMs;
}

TEST(TaskList, TheViewDrawsBarsLinksAndContentAcrossTheRowAndALinkAsksForTheAnswer) {
    TList list;
    list.rows.AddNoteRow(riConnected, Sjis("開始"), Sjis("Fernwaypost Protocol Version 0.90"),
                         Sjis("接続確立"));
    const std::string longText(80, 'W');
    const int span = list.rows.AddNoteRow(riMessage, Sjis("IM受信"), "> " + longText, "");
    TTranserTask offer = Task("a.bin", 3072, tdReceive);
    const int link = list.rows.AddTaskRow(offer);
    TTranserTask running = Task("b.bin", 2048, tdSend, ttsTransfering);
    const int bar = list.rows.AddTaskRow(running);
    running.Transfered = 2048;
    list.rows.ProgressUpdate(running, 100, 2048, 2048);
    list.view.show();
    const QImage image = list.view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const auto rowRect = [&](int row) { return list.view.visualRect(list.model.index(row, 0)); };
    const int x2 = list.view.columnViewportPosition(2);
    const int x3 = list.view.columnViewportPosition(3);
    const auto count = [&](int row, int fromX, int toX, const std::function<bool(QRgb)>& counted) {
        int n = 0;
        for (int y = rowRect(row).top(); y <= rowRect(row).bottom(); ++y)
            for (int x = fromX; x < toX; ++x)
                n += counted(image.pixel(x, y));
        return n;
    };

    // The full bar: black border at its left, the gradient's first row inside.
    const QRect barRow = rowRect(bar);
    EXPECT_EQ(image.pixel(x2, barRow.top()), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(x2 + 1, barRow.top() + 1), qRgb(224, 244, 254));
    EXPECT_EQ(image.pixel(x3 - 2, barRow.bottom() - 1), qRgb(60, 156, 254));
    // The link: pure blue pixels, in the content column and beyond it.
    EXPECT_GT(count(link, list.view.columnViewportPosition(1), image.width(),
                    [](QRgb pixel) { return pixel == qRgb(0, 0, 255); }),
              10);
    // The long message runs on over the state column.
    EXPECT_GT(count(span, x2, x3, [](QRgb pixel) { return qGray(pixel) < 128; }), 10);

    // Over the link the hand shows, and any button asks for the answer.
    std::vector<int> asked;
    list.view.OnLinkClicked = [&](int row, const QPoint&) { asked.push_back(row); };
    const QPoint onLink = list.view.visualRect(list.model.index(link, 1)).center();
    const QPoint onNote = list.view.visualRect(list.model.index(0, 1)).center();
    QTest::mouseMove(list.view.viewport(), onLink);
    EXPECT_EQ(list.view.viewport()->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseMove(list.view.viewport(), onNote);
    EXPECT_EQ(list.view.viewport()->cursor().shape(), Qt::ArrowCursor);
    QTest::mouseClick(list.view.viewport(), Qt::RightButton, Qt::NoModifier, onLink);
    QTest::mouseClick(list.view.viewport(), Qt::LeftButton, Qt::NoModifier, onLink);
    QTest::mouseClick(list.view.viewport(), Qt::LeftButton, Qt::NoModifier, onNote);
    EXPECT_EQ(asked, (std::vector<int>{link, link}));
    // Once answered it is an ordinary row.
    list.rows.SetMenu(link, false);
    QTest::mouseClick(list.view.viewport(), Qt::LeftButton, Qt::NoModifier, onLink);
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_EQ(list.view.SelectedRow(), link);
}

// Counts what the view asks of the model.
class TCountingModel final : public QIdentityProxyModel {
public:
    QVariant data(const QModelIndex& index, int role) const override {
        ++Calls;
        return QIdentityProxyModel::data(index, role);
    }
    mutable int Calls = 0;
};

TEST(TaskList, TenThousandRowsCostOnlyWhatIsVisible) {
    TList list;
    TCountingModel counting;
    counting.setSourceModel(&list.model);
    list.view.setModel(&counting);
    list.view.show();
    for (int i = 0; i < 10'000; ++i)
        list.rows.AddNoteRow(riMessage, Sjis("IM受信"), "> " + std::to_string(i), "");
    QApplication::processEvents();
    EXPECT_EQ(counting.rowCount(), 10'000);
    counting.Calls = 0;
    list.view.scrollToBottom();
    const QImage image = list.view.viewport()->grab().toImage();
    // A few dozen rows are visible; asking every row anything would be tens of thousands of calls.
    EXPECT_GT(counting.Calls, 0);
    EXPECT_LT(counting.Calls, 5000);
    EXPECT_EQ(U(counting.index(9'999, 1).data().toString()), "> 9999");
}

class SelectionRules : public TWindowTest {};

TEST_F(SelectionRules, CancelAndSuspendFollowTheSelectedRow) {
    MakeWindow();
    TTaskRows& rows = window->Controller().Rows();
    auto* cancel = Find<QPushButton>("plCancel");
    auto* suspend = Find<QPushButton>("plSuspend");
    const int note = rows.AddNoteRow(riClosed, Sjis("終了"), Sjis("接続が解除されました"), "");
    TTranserTask offer = Task("a.bin", 3072, tdReceive);
    const int pending = rows.AddTaskRow(offer);
    TTranserTask paused = Task("b.bin", 3072, tdSend, ttsSuspended);
    const int suspended = rows.AddTaskRow(paused);

    SelectRow(note);
    EXPECT_FALSE(cancel->isEnabled());
    EXPECT_FALSE(suspend->isEnabled());
    SelectRow(pending);
    EXPECT_TRUE(cancel->isEnabled());
    EXPECT_TRUE(suspend->isEnabled());
    EXPECT_EQ(U(suspend->text()), "一時停止");
    SelectRow(suspended);
    EXPECT_EQ(U(suspend->text()), "再開");
    paused.ResultCode = trAborted;
    rows.Completion(paused);
    SelectRow(note);
    SelectRow(suspended);
    EXPECT_FALSE(cancel->isEnabled());
    EXPECT_FALSE(suspend->isEnabled());
}

TEST_F(SelectionRules, TheTimeColumnHeaderAndThePopupSwitchTheMode) {
    MakeWindow();
    QHeaderView* header = window->TaskList().header();
    auto* remain = Find<QAction>("miRemain");
    auto* past = Find<QAction>("miPast");
    EXPECT_EQ(U(window->TaskModel().headerData(3, Qt::Horizontal).toString()), "残り時間");
    header->sectionClicked(3);
    EXPECT_EQ(U(window->TaskModel().headerData(3, Qt::Horizontal).toString()), "経過時間");
    EXPECT_TRUE(past->isChecked());
    EXPECT_FALSE(config->TimeViewMode);
    remain->trigger();
    EXPECT_EQ(U(window->TaskModel().headerData(3, Qt::Horizontal).toString()), "残り時間");
    EXPECT_TRUE(config->TimeViewMode);
    header->sectionClicked(1);
    EXPECT_TRUE(config->TimeViewMode);
}

class WindowList : public TWindowTest {};

TEST_F(WindowList, TheContentColumnTakesTheWidthAMaximisedWindowGains) {
    MakeWindow();
    QHeaderView* header = window->TaskList().header();
    const int contentSmall = header->sectionSize(1);
    const int barSmall = header->sectionSize(2);
    window->resize(1280, 800);
    ASSERT_TRUE(RunUntil([&] { return header->sectionSize(1) > contentSmall; }, 10s));
    EXPECT_EQ(header->sectionSize(2), barSmall);
    EXPECT_GT(header->sectionSize(1), 2 * header->sectionSize(2));
}

}  // namespace
}  // namespace fwp::test
