#include "ui/task_list_view.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "ui/task_list_delegate.h"
#include "ui/task_list_model.h"

namespace fwp {

TTaskListView::TTaskListView(QWidget* parent) : QTreeView(parent), m_delegate(new TTaskListDelegate(this)) {
    setItemDelegate(m_delegate);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFrameShape(QFrame::NoFrame);
    setIconSize(QSize(16, 16));
    setSortingEnabled(false);
    setMouseTracking(true);
    setDragEnabled(false);
    setAcceptDrops(false);
    header()->setSectionsMovable(true);
    header()->setStretchLastSection(false);
    header()->setSectionsClickable(true);
    // Columns dragged to another order change what is drawn where.
    connect(header(), &QHeaderView::sectionMoved, viewport(), [this] { viewport()->update(); });
}

int TTaskListView::RowAt(const QPoint& pos) const {
    const QModelIndex index = indexAt(pos);
    return index.isValid() ? index.row() : -1;
}

int TTaskListView::SelectedRow() const {
    if (!selectionModel())
        return -1;
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TTaskListView::MarkRow(int row) {
    if (!model() || !selectionModel())
        return;
    const QModelIndex index = model()->index(row, 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    scrollTo(index);
}

bool TTaskListView::IsLink(int row) const {
    if (row < 0 || !model())
        return false;
    const QModelIndex index = model()->index(row, 0);
    return static_cast<TRowLook>(index.data(TTaskListModel::LookRole).toInt()) == TRowLook::rlLink;
}

void TTaskListView::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    QTreeView::drawRow(painter, option, index);
    const auto look = static_cast<TRowLook>(index.data(TTaskListModel::LookRole).toInt());
    const QRect rowRect = visualRect(index);
    const int right = viewport()->width();
    const QColor background = palette().color(QPalette::Base);
    if (look == TRowLook::rlSpan || look == TRowLook::rlLink) {
        const int x1 = columnViewportPosition(1);
        const QString content = index.siblingAtColumn(1).data(Qt::DisplayRole).toString();
        painter->save();
        painter->setFont(option.font);
        TTaskListDelegate::PaintSpan(*painter, QRect(x1, rowRect.top(), right - x1, rowRect.height()),
                                     content, look == TRowLook::rlLink, background,
                                     palette().color(QPalette::Text));
        painter->restore();
    } else if (look == TRowLook::rlBar) {
        // The strip right of the last column, over the bar's height.
        const int end = columnViewportPosition(3) + columnWidth(3);
        if (end < right)
            painter->fillRect(QRect(end, rowRect.top(), right - end, rowRect.height()), background);
    }
}

void TTaskListView::mouseMoveEvent(QMouseEvent* event) {
    if (IsLink(RowAt(event->position().toPoint())))
        viewport()->setCursor(Qt::PointingHandCursor);
    else
        viewport()->unsetCursor();
    QTreeView::mouseMoveEvent(event);
}

void TTaskListView::leaveEvent(QEvent* event) {
    viewport()->unsetCursor();
    QTreeView::leaveEvent(event);
}

void TTaskListView::mouseReleaseEvent(QMouseEvent* event) {
    const int row = RowAt(event->position().toPoint());
    if (!IsLink(row)) {
        QTreeView::mouseReleaseEvent(event);
        return;
    }
    const QModelIndex index = model()->index(row, 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    event->accept();
    if (OnLinkClicked)
        OnLinkClicked(row, event->globalPosition().toPoint());
}

void TTaskListView::OpenLinkFromKeyboard(int row) {
    const QModelIndex index = model()->index(row, 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollTo(index);
    const QRect text = visualRect(model()->index(row, 1));
    if (OnLinkClicked)
        OnLinkClicked(row, viewport()->mapToGlobal(text.bottomLeft()));
}

void TTaskListView::keyPressEvent(QKeyEvent* event) {
    const int row = currentIndex().isValid() ? currentIndex().row() : SelectedRow();
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && IsLink(row)) {
        event->accept();
        OpenLinkFromKeyboard(row);
        return;
    }
    QTreeView::keyPressEvent(event);
}

void TTaskListView::contextMenuEvent(QContextMenuEvent* event) {
    // A link row answers the release of the button with its own menu.
    if (event->reason() == QContextMenuEvent::Mouse && IsLink(RowAt(event->pos()))) {
        event->accept();
        return;
    }
    // From the keyboard, a link row offers its answers.
    if (event->reason() == QContextMenuEvent::Keyboard) {
        const int row = currentIndex().isValid() ? currentIndex().row() : SelectedRow();
        if (IsLink(row)) {
            event->accept();
            OpenLinkFromKeyboard(row);
            return;
        }
    }
    if (OnPopup)
        OnPopup(event->globalPos());
}

}  // namespace fwp
