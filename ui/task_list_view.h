#pragma once

#include <functional>

#include <QTreeView>

namespace fwp {

class TTaskListDelegate;

// The task list: a report of rows with whole-row selection. A row that
// awaits the user's answer is a link: the hand cursor over it, and any mouse
// button released on it selects it and asks for the answer menu, as do Enter
// and the context-menu key on the current row.
class TTaskListView final : public QTreeView {
    Q_OBJECT

public:
    explicit TTaskListView(QWidget* parent = nullptr);

    // The row at a point of the viewport, or -1.
    int RowAt(const QPoint& pos) const;
    // The selected row, or -1.
    int SelectedRow() const;
    // Gives row the focus mark, without selecting it, and scrolls to it.
    void MarkRow(int row);

    std::function<void(int row, const QPoint& globalPos)> OnLinkClicked;
    std::function<void(const QPoint& globalPos)> OnPopup;

protected:
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                 const QModelIndex& index) const override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool IsLink(int row) const;
    // Selects a link row and asks for its answer menu under the row's text.
    void OpenLinkFromKeyboard(int row);

    TTaskListDelegate* m_delegate;
};

}  // namespace fwp
