#include "ui/task_list_delegate.h"

#include <algorithm>
#include <cmath>

#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include "ui/task_list_model.h"

using namespace Qt::StringLiterals;

namespace fwp {
namespace {

// Rounding to the nearest whole number sends ties to the even neighbour.
long RoundHalfEven(double value) {
    return std::lrint(value);
}

}  // namespace

int FilledWidth(qint64 transfered, qint64 size, int width) {
    if (transfered >= size)
        return width;
    const double part = static_cast<double>(transfered) / static_cast<double>(size);
    return static_cast<int>(RoundHalfEven(part * width));
}

void GradientFill(QPainter& painter, int x, int top, int width, int height, QRgb topColour,
                  QRgb bottomColour) {
    if (height <= 0 || width <= 0)
        return;
    const int bottom = top + height;
    const auto mix = [](int t, int topChannel, int bottomChannel) {
        return (t * bottomChannel + (255 - t) * topChannel) / 256;
    };
    for (int y = top; y <= bottom; ++y) {
        const long step = RoundHalfEven(static_cast<double>(y - top) / (bottom - top) * 255) % 256;
        const int t = static_cast<int>(step) * 255 / 256;
        const QColor colour(mix(t, qRed(topColour), qRed(bottomColour)),
                            mix(t, qGreen(topColour), qGreen(bottomColour)),
                            mix(t, qBlue(topColour), qBlue(bottomColour)));
        painter.fillRect(QRect(x, y, width, 1), colour);
    }
}

void DrawInvertedText(QPainter& painter, const QRect& rect, const QString& text) {
    const QFontMetrics metrics(painter.font());
    const int textWidth = metrics.horizontalAdvance(text);
    const int textHeight = metrics.height();
    const int width = std::min(rect.width(), textWidth);
    const int height = std::min(rect.height(), textHeight);
    if (width <= 0 || height <= 0)
        return;
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    QImage bitmap(QSize(static_cast<int>(std::ceil(textWidth * ratio)),
                        static_cast<int>(std::ceil(textHeight * ratio))),
                  QImage::Format_RGB32);
    bitmap.setDevicePixelRatio(ratio);
    bitmap.fill(Qt::black);
    {
        QPainter textPainter(&bitmap);
        textPainter.setFont(painter.font());
        textPainter.setPen(Qt::white);
        textPainter.drawText(QRect(0, 0, textWidth, textHeight),
                             Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    }
    painter.save();
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.drawImage(QRectF(rect.left(), rect.top(), width, height), bitmap,
                      QRectF(0, 0, width * ratio, height * ratio));
    painter.restore();
}

QString BarText(const QFontMetrics& metrics, int width, const QString& text, qint64 transfered, qint64 size) {
    const qint64 percent = size > 0 ? std::min<qint64>(100, transfered * 100 / size) : 100;
    const QStringList candidates{text, text.section(u" / "_s, 0, 0), u"%1%"_s.arg(percent)};
    for (const QString& candidate : candidates)
        if (!candidate.isEmpty() && metrics.horizontalAdvance(candidate) <= width)
            return candidate;
    return {};
}

void PaintProgressBar(QPainter& painter, int x, int top, int w, int h, qint64 transfered, qint64 size,
                      const QString& text) {
    const int filled = FilledWidth(transfered, size, w);
    painter.fillRect(QRect(x, top, w, h), Qt::black);
    painter.fillRect(QRect(x + 1, top + 1, w - 2, h - 2), Qt::white);
    if (filled >= 2)
        GradientFill(painter, x + 1, top + 1, filled - 2, h - 3, BarTopColour, BarBottomColour);
    const QRect area(QPoint(x + 4, top + 1), QPoint(x + w - 3, top + h - 2));
    const QString shown = BarText(painter.fontMetrics(), area.width(), text, transfered, size);
    if (shown.isEmpty())
        return;
    // Centred in the bar; each part of the text takes the colour that reads on what lies under it.
    const int fillEnd = x + std::max(filled - 1, 0);
    const QRect fillPart(QPoint(x + 1, top + 1), QPoint(fillEnd - 1, top + h - 2));
    const QRect whitePart(QPoint(fillEnd, top + 1), QPoint(x + w - 2, top + h - 2));
    const auto flags = Qt::AlignCenter | Qt::TextSingleLine;
    painter.save();
    if (fillPart.isValid()) {
        painter.setClipRect(fillPart);
        painter.setPen(QColor(BarTextShadow));
        painter.drawText(area.translated(1, 1), flags, shown);
        painter.setPen(QColor(BarTextLight));
        painter.drawText(area, flags, shown);
    }
    if (whitePart.isValid()) {
        painter.setClipRect(whitePart);
        painter.setPen(QColor(BarTextDark));
        painter.drawText(area, flags, shown);
    }
    painter.restore();
}

void PaintSuspended(QPainter& painter, int x, int top, int w, int h, const QColor& background) {
    painter.fillRect(QRect(x, top, w, h), background);
    DrawInvertedText(painter, QRect(QPoint(x + 4, top + 2), QPoint(x + w - 2, top + h - 2)), u"一時中止"_s);
}

void TTaskListDelegate::PaintSpan(QPainter& painter, const QRect& rect, const QString& text, bool link,
                                  const QColor& background, const QColor& textColour) {
    painter.save();
    painter.fillRect(rect, background);
    painter.setClipRect(rect);
    QFont font = painter.font();
    font.setUnderline(link);
    font.setBold(false);
    font.setItalic(false);
    painter.setFont(font);
    painter.setPen(link ? QColor(LinkColour) : textColour);
    painter.drawText(QRect(rect.left() + 6, rect.top() + 2, std::max(0, rect.width() - 6), rect.height() - 2),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    painter.restore();
}

void TTaskListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    const auto look = static_cast<TRowLook>(index.data(TTaskListModel::LookRole).toInt());
    const int column = index.column();
    if (column >= 1 && (look == TRowLook::rlSpan || look == TRowLook::rlLink))
        return;  // the view draws the content across the row
    if (column == 2 && (look == TRowLook::rlSuspended || look == TRowLook::rlBar)) {
        // A failure while drawing leaves the cell as drawn so far.
        try {
            painter->save();
            painter->setFont(option.font);
            const QRect cell = option.rect;
            if (look == TRowLook::rlSuspended) {
                PaintSuspended(*painter, cell.x(), cell.y(), cell.width(), cell.height(),
                               option.palette.color(QPalette::Base));
            } else {
                const auto progress = index.data(TTaskListModel::ProgressRole).value<TProgress>();
                PaintProgressBar(*painter, cell.x(), cell.y(), cell.width(), cell.height(),
                                 progress.Transfered, progress.Size, index.data(Qt::DisplayRole).toString());
            }
            painter->restore();
        } catch (const std::exception&) {
            painter->restore();
        }
        return;
    }
    QStyledItemDelegate::paint(painter, option, index);
}

}  // namespace fwp
