#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include <QAbstractTableModel>
#include <QIcon>

#include "app/task_rows.h"

namespace fwp {

// How the task list draws a row's content, state and time cells.
enum class TRowLook : std::uint8_t {
    rlDefault,    // every cell drawn as it is
    rlSpan,       // no answer awaited and no state: the content runs across state and time
    rlLink,       // an offer awaits the user's answer: blue, underlined, across state and time
    rlSuspended,  // the state cell reads "一時中止", inverted
    rlBar,        // the state cell is a progress bar with the byte counts over it
};

// Bytes done and size of a row's task, for its progress bar.
struct TProgress {
    qint64 Transfered = 0;
    qint64 Size = 0;
};

// The task list's rows as a table: task, content, state, remaining or
// elapsed time. Rows are only ever appended and each change repaints its
// own row. The rows' CP932 texts become QStrings here and nowhere else.
class TTaskListModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    enum TRole : int {
        LookRole = Qt::UserRole + 1,  // TRowLook
        ProgressRole,                 // TProgress of a row with a running task
    };

    explicit TTaskListModel(TTaskRows& rows, QObject* parent = nullptr);
    ~TTaskListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The last column's caption follows the rows' time mode.
    void TimeViewModeChanged();
    // Stops following the rows (they are about to go).
    void Detach();

    static TRowLook LookOf(const TTaskRow& row);
    // CP932 bytes shown as text; bytes that do not decode show as U+FFFD.
    static QString Text(std::string_view cp932);

private:
    void RowAdded(int row);
    void RowChanged(int row);

    TTaskRows* m_rows;
    int m_count = 0;
    std::array<QIcon, 9> m_images;
};

}  // namespace fwp

Q_DECLARE_METATYPE(fwp::TProgress)
