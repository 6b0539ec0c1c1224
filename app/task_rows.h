#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/task_list.h"

// The rows of the task list: one per file task, one per note (connection
// made or lost, chat lines, plug-in events, errors). Rows are only ever
// appended. Row texts are CP932 bytes like everything the peer sends; the
// view converts them for display.
namespace fwp {

class TFernPlugin;

// Pictures of the rows, numbers of the window's image list.
enum TRowImage : int {
    riOutgoing = 1,
    riIncoming = 2,
    riMessage = 4,
    riClosed = 5,
    riConnected = 6,
    riError = 8,
};

// Links a row to what it shows while that lives.
struct TListData {
    TTranserTask* Task = nullptr;   // the file task of the row
    bool Menu = false;              // the row waits for the user's answer (accept or deny)
    TFernPlugin* Plugin = nullptr;  // the plug-in whose invitation the row shows
    std::uint32_t Rate = 0;         // smoothed transfer rate, bytes per second
};

struct TTaskRow {
    std::string Caption;
    int Image = 0;
    std::string Content;  // first sub-item
    std::string State;    // second sub-item
    std::string Time;     // third sub-item, file rows only
    int SubItems = 0;
    std::unique_ptr<TListData> Data;
};

class TTaskRows {
public:
    // A note row with two sub-items; data may be nullptr. The row's index.
    int AddNoteRow(int image, std::string_view caption, std::string_view content, std::string_view state,
                   std::unique_ptr<TListData> data = nullptr);
    // A file row linked to task; an incoming offer waits for its answer.
    int AddTaskRow(TTranserTask& task);
    // The last row linked to task or plugin, or -1.
    int FindTaskRow(const TTranserTask& task) const;
    int FindPluginRow(const TFernPlugin* plugin) const;

    // A progress report of a file task; the text for the status bar's rate panel.
    std::string ProgressUpdate(TTranserTask& task, std::int64_t byteRate, std::int64_t transfered,
                               std::int64_t size);
    // The task ended: the row shows its result (with reason, UTF-8, when the
    // receiving side knows why it failed) and lets go of the task.
    void Completion(TTranserTask& task, std::string_view reason = {});
    // The outgoing task was accepted by the peer.
    // The peer accepted a file; waiting: it waits for a sending slot.
    void SendStarted(TTranserTask& task, bool waiting = false);

    // Changes that the view shows at once.
    void SetContent(int row, std::string_view content);
    void SetImage(int row, int image);
    void Detach(int row);  // the row keeps its texts but no longer acts
    // The row waits for the user's answer, or no longer does.
    void SetMenu(int row, bool menu);

    // The smoothed rates of the files on their way, added up (bytes per second).
    std::int64_t TransferRate() const;
    // Some row's file is on its way (not waiting, not suspended).
    bool SomeFileMoving() const;

    std::size_t Count() const { return m_rows.size(); }
    const TTaskRow& Row(std::size_t index) const { return m_rows[index]; }
    TListData* DataAt(int row) const;

    bool TimeViewMode = true;  // last column: remaining time (true) or elapsed time

    std::function<void(int row)> OnRowAdded;    // scroll to it, mark it
    std::function<void(int row)> OnRowChanged;  // repaint it
    std::function<void()> OnAlert;              // a row was added: draw attention
    std::function<void()> OnCleared;            // every row went (Clear)

    // Removes every row: a new session starts with an empty list.
    void Clear();

private:
    int Append(TTaskRow row);
    void Changed(int row);

    std::vector<TTaskRow> m_rows;
};

// The file name a row shows for a task: for a plug-in file the part after
// "|", else the part after "FileTransfering:" (CP932 bytes; a name in the
// marked form is shown in CP932, "?" for what CP932 cannot hold).
std::string RowFileName(const TTranserTask& task);
// "m:ss" remaining at the smoothed rate, or the elapsed time.
std::string ClockText(std::uint32_t seconds);
std::string TimeCellText(bool remaining, std::uint32_t rate, std::int64_t size, std::int64_t transfered,
                         std::uint32_t elapsedMs);

// What the cancel and suspend controls offer for the selected row.
struct TSelectionState {
    bool CancelEnabled = false;
    bool SuspendEnabled = false;
    bool Resume = false;  // the suspend control reads "再開" instead of "一時停止"
};
TSelectionState SelectionFor(const TTaskRows& rows, int selected);

}  // namespace fwp
