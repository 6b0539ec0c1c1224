#pragma once

#include <QColor>
#include <QStyledItemDelegate>

class QPainter;

namespace fwp {

// The colours of the progress bar's gradient, top row to bottom row.
inline constexpr QRgb BarTopColour = qRgb(225, 245, 255);
inline constexpr QRgb BarBottomColour = qRgb(60, 157, 255);
// The colour of a row that awaits the user's answer.
inline constexpr QRgb LinkColour = qRgb(0, 0, 255);

// Draws the task list's owner-drawn cells: the progress bar and the
// suspended mark in the state column, and the content that runs across the
// state and time columns (plain or as a link). Everything else is drawn as
// usual. The drawing is exact to the pixel so that it can be checked on an image.
class TTaskListDelegate final : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    // The content of a row drawn across the rest of the row: rect starts at the
    // content column and ends at the row's right end.
    static void PaintSpan(QPainter& painter, const QRect& rect, const QString& text, bool link,
                          const QColor& background, const QColor& textColour);
};

// Pixels of a bar width wide that are filled at transfered of size bytes.
int FilledWidth(qint64 transfered, qint64 size, int width);

// The progress bar in the cell at (x, top) of width w and height h: white
// with a black border, the filled part as a vertical gradient. The text is
// dark over the white part and light over the fill, each clipped to its part.
void PaintProgressBar(QPainter& painter, int x, int top, int w, int h, qint64 transfered, qint64 size,
                      const QString& text);

// What the bar says in width pixels: text ("12.87 MB / 19.07 MB") while it
// fits, else the bytes done ("12.87 MB"), else the percentage ("67%"), else nothing.
QString BarText(const QFontMetrics& metrics, int width, const QString& text, qint64 transfered, qint64 size);

// The colours of the bar's text over the white part and over the fill.
constexpr QRgb BarTextDark = 0xFF1A1A1A;
constexpr QRgb BarTextLight = 0xFFFFFFFF;
constexpr QRgb BarTextShadow = 0xFF1D4E89;

// The suspended cell: the background colour and "一時中止" inverted.
void PaintSuspended(QPainter& painter, int x, int top, int w, int h, const QColor& background);

// Fills the rows top to top + height (both included) of the rectangle at
// (x, top) and width wide, each row one colour of the way from topColour to
// bottomColour. A height of 0 or less draws nothing.
void GradientFill(QPainter& painter, int x, int top, int width, int height, QRgb topColour,
                  QRgb bottomColour);

// Draws text white on black in a bitmap of the text's size and combines it
// with the surface by XOR at rect's top-left corner, at most over rect's
// size: where the text has pixels the surface's colours are inverted.
void DrawInvertedText(QPainter& painter, const QRect& rect, const QString& text);

}  // namespace fwp
