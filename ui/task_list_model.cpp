#include "ui/task_list_model.h"

#include "common/codec.h"

using namespace Qt::StringLiterals;

namespace fwp {

TTaskListModel::TTaskListModel(TTaskRows& rows, QObject* parent)
    : QAbstractTableModel(parent), m_rows(&rows), m_count(static_cast<int>(rows.Count())) {
    for (const int image : {riOutgoing, riIncoming, riMessage, riClosed, riConnected, riError})
        m_images[static_cast<std::size_t>(image)] = QIcon(u":/fernwaypost/rows/%1.png"_s.arg(image));
    rows.OnRowAdded = [this](int row) { RowAdded(row); };
    rows.OnRowChanged = [this](int row) { RowChanged(row); };
    rows.OnCleared = [this] {
        beginResetModel();
        m_count = 0;
        endResetModel();
    };
}

TTaskListModel::~TTaskListModel() {
    Detach();
}

void TTaskListModel::Detach() {
    if (!m_rows)
        return;
    m_rows->OnRowAdded = nullptr;
    m_rows->OnRowChanged = nullptr;
    m_rows->OnCleared = nullptr;
    m_rows = nullptr;
}

QString TTaskListModel::Text(std::string_view cp932) {
    const std::string utf8 = codec::Cp932ToUtf8(cp932);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

TRowLook TTaskListModel::LookOf(const TTaskRow& row) {
    const TListData* data = row.Data.get();
    if ((!data || !data->Menu) && row.State.empty())
        return TRowLook::rlSpan;
    if (data && data->Menu)
        return TRowLook::rlLink;
    if (data && data->Task && data->Task->State == ttsSuspended)
        return TRowLook::rlSuspended;
    if (data && data->Task && data->Task->State == ttsTransfering)
        return TRowLook::rlBar;
    return TRowLook::rlDefault;
}

int TTaskListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_count;
}

int TTaskListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 4;
}

QVariant TTaskListModel::data(const QModelIndex& index, int role) const {
    if (!m_rows || !index.isValid() || index.row() >= m_count)
        return {};
    const TTaskRow& row = m_rows->Row(static_cast<std::size_t>(index.row()));
    switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
                case 0:
                    return Text(row.Caption);
                case 1:
                    return Text(row.Content);
                case 2:
                    return Text(row.State);
                case 3:
                    return Text(row.Time);
                default:
                    return {};
            }
        case Qt::DecorationRole:
            if (index.column() == 0 && row.Image > 0 && row.Image < static_cast<int>(m_images.size()))
                return m_images[static_cast<std::size_t>(row.Image)];
            return {};
        case LookRole:
            return QVariant::fromValue(static_cast<int>(LookOf(row)));
        case ProgressRole:
            if (row.Data && row.Data->Task)
                return QVariant::fromValue(TProgress{row.Data->Task->Transfered, row.Data->Task->Size});
            return {};
        default:
            return {};
    }
}

QVariant TTaskListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
        case 0:
            return u"タスク"_s;
        case 1:
            return u"内容"_s;
        case 2:
            return u"状態"_s;
        case 3:
            return (!m_rows || m_rows->TimeViewMode) ? u"残り時間"_s : u"経過時間"_s;
        default:
            return {};
    }
}

void TTaskListModel::TimeViewModeChanged() {
    emit headerDataChanged(Qt::Horizontal, 3, 3);
}

void TTaskListModel::RowAdded(int row) {
    // The rows already hold the new one; the count follows only inside the insertion.
    beginInsertRows(QModelIndex(), row, row);
    m_count = row + 1;
    endInsertRows();
}

void TTaskListModel::RowChanged(int row) {
    if (row < m_count)
        emit dataChanged(index(row, 0), index(row, 3));
}

}  // namespace fwp
