#include "app/task_rows.h"

#include "app/envelope.h"
#include "app/formats.h"
#include "common/codec.h"

namespace fwp {
namespace {

std::string Sjis(std::string_view utf8) {
    return codec::Utf8ToCp932(utf8);
}

bool IsFileLine(const TTranserTask& task) {
    return task.Name.starts_with(envelope::FilePrefix);
}

// "name(size)" followed by what is happening to the file.
std::string FileText(const TTranserTask& task, std::string_view what) {
    return RowFileName(task) + "(" + FormatByteSize(task.Size) + ")" + Sjis(what);
}

}  // namespace

std::string RowFileName(const TTranserTask& task) {
    const TEnvelope envelope = ParseEnvelope(task.Name);
    if (envelope.FileName.starts_with(codec::Utf8Mark))
        return Sjis(codec::Cp932OrMarkedToUtf8(envelope.FileName));
    return envelope.FileName;
}

// "m:ss", or "h時間 m:ss" from an hour on: the way a clock reads.
std::string ClockText(std::uint32_t seconds) {
    const std::uint32_t second = seconds % 60;
    const std::string tail = (second < 10 ? ":0" : ":") + std::to_string(second);
    if (seconds < 3600)
        return std::to_string(seconds / 60) + tail;
    return std::to_string(seconds / 3600) + "h " + std::to_string(seconds % 3600 / 60) + tail;
}

std::string TimeCellText(bool remaining, std::uint32_t rate, std::int64_t size, std::int64_t transfered,
                         std::uint32_t elapsedMs) {
    if (!remaining)
        return ClockText(elapsedMs / 1000);
    if (rate == 0)
        return {};
    return ClockText(static_cast<std::uint32_t>((size - transfered) / static_cast<std::int64_t>(rate)));
}

int TTaskRows::Append(TTaskRow row) {
    m_rows.push_back(std::move(row));
    const int index = static_cast<int>(m_rows.size()) - 1;
    if (OnRowAdded)
        OnRowAdded(index);
    if (OnAlert)
        OnAlert();
    return index;
}

void TTaskRows::Clear() {
    m_rows.clear();
    if (OnCleared)
        OnCleared();
}

void TTaskRows::Changed(int row) {
    if (OnRowChanged)
        OnRowChanged(row);
}

int TTaskRows::AddNoteRow(int image, std::string_view caption, std::string_view content,
                          std::string_view state, std::unique_ptr<TListData> data) {
    TTaskRow row;
    row.Image = image;
    row.Caption = caption;
    row.Content = content;
    row.State = state;
    row.SubItems = 2;
    row.Data = std::move(data);
    return Append(std::move(row));
}

int TTaskRows::AddTaskRow(TTranserTask& task) {
    TTaskRow row;
    row.Data = std::make_unique<TListData>();
    row.Data->Task = &task;
    const bool sending = task.Direction == tdSend;
    row.Caption = Sjis(sending ? "送信" : "受信");
    row.Image = sending ? riOutgoing : riIncoming;
    row.SubItems = 3;
    if ((task.State == ttsNew || task.State == ttsOffered) && IsFileLine(task)) {
        row.Content = FileText(task, sending ? "のファイル転送の承諾待ち中" : "のファイルを受信しますか？");
        if (!sending)
            row.Data->Menu = true;
    }
    if (task.ResultCode == trGeneralError || task.ResultCode == trDenied || task.ResultCode == trAborted)
        row.Image = riError;
    return Append(std::move(row));
}

int TTaskRows::FindTaskRow(const TTranserTask& task) const {
    for (int i = static_cast<int>(m_rows.size()) - 1; i >= 0; --i)
        if (m_rows[i].Data && m_rows[i].Data->Task == &task)
            return i;
    return -1;
}

int TTaskRows::FindPluginRow(const TFernPlugin* plugin) const {
    for (int i = static_cast<int>(m_rows.size()) - 1; i >= 0; --i)
        if (m_rows[i].Data && m_rows[i].Data->Plugin == plugin)
            return i;
    return -1;
}

TListData* TTaskRows::DataAt(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return nullptr;
    return m_rows[row].Data.get();
}

std::string TTaskRows::ProgressUpdate(TTranserTask& task, std::int64_t byteRate, std::int64_t transfered,
                                      std::int64_t size) {
    int index = FindTaskRow(task);
    if (index < 0)
        index = AddTaskRow(task);
    TTaskRow& row = m_rows[index];
    if (row.Data) {
        // Each report weighs half of the new sample.
        TListData& data = *row.Data;
        if (data.Rate == 0)
            data.Rate = static_cast<std::uint32_t>(byteRate);
        if (byteRate > 0)
            data.Rate = static_cast<std::uint32_t>((static_cast<std::int64_t>(data.Rate) + byteRate) / 2);
        row.Content = FileText(task, "のファイルの転送中...");
        row.State = FormatByteSize(transfered) + " / " + FormatByteSize(size);
        row.Time = TimeCellText(TimeViewMode, data.Rate, size, transfered, task.Elapsed);
        Changed(index);
    }
    return FormatByteSize(byteRate) + "/s";
}

void TTaskRows::Completion(TTranserTask& task, std::string_view reason) {
    const int index = FindTaskRow(task);
    if (index < 0)
        return;
    TTaskRow& row = m_rows[index];
    row.Content = FileText(task, "のファイルの転送終了");
    if (task.ResultCode != trComplete && !reason.empty())
        row.Content += Sjis(std::string(" (") + std::string(reason) + ")");
    // A file that arrived whole has nothing left to wait for.
    if (TimeViewMode && task.ResultCode == trComplete)
        row.Time = "0:00";
    row.Data.reset();
    row.State = Sjis(ResultText(task.ResultCode));
    Changed(index);
}

void TTaskRows::SendStarted(TTranserTask& task, bool waiting) {
    int index = FindTaskRow(task);
    if (index < 0)
        index = AddTaskRow(task);
    // Its first progress report replaces the text once its turn has come.
    m_rows[index].State = Sjis(waiting ? "順番待ち" : "転送開始");
    Changed(index);
}

void TTaskRows::SetContent(int row, std::string_view content) {
    m_rows[row].Content = content;
    Changed(row);
}

void TTaskRows::SetImage(int row, int image) {
    m_rows[row].Image = image;
    Changed(row);
}

void TTaskRows::SetMenu(int row, bool menu) {
    if (TListData* data = DataAt(row)) {
        data->Menu = menu;
        Changed(row);
    }
}

void TTaskRows::Detach(int row) {
    if (TListData* data = m_rows[row].Data.get()) {
        data->Menu = false;
        data->Plugin = nullptr;
    }
    Changed(row);
}

std::int64_t TTaskRows::TransferRate() const {
    std::int64_t total = 0;
    for (const TTaskRow& row : m_rows)
        if (row.Data && row.Data->Task && row.Data->Task->State == ttsTransfering)
            total += row.Data->Rate;
    return total;
}

bool TTaskRows::SomeFileMoving() const {
    for (const TTaskRow& row : m_rows)
        if (row.Data && row.Data->Task && row.Data->Task->State == ttsTransfering)
            return true;
    return false;
}

TSelectionState SelectionFor(const TTaskRows& rows, int selected) {
    TSelectionState state;
    const TListData* data = rows.DataAt(selected);
    if (!data || (!data->Task && !data->Plugin))
        return state;
    state.CancelEnabled = true;
    state.SuspendEnabled = data->Task != nullptr;
    state.Resume = data->Task && data->Task->State == ttsSuspended;
    return state;
}

}  // namespace fwp
