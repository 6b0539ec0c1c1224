// The owner drawing of the task list, pixel by pixel on an image. Colours
// are worked out by hand from the gradient's formula.
#include <QFont>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include "ui/task_list_delegate.h"

namespace fwp::test {
namespace {

constexpr QRgb Red = qRgb(255, 0, 0);
constexpr QRgb Black = qRgb(0, 0, 0);
constexpr QRgb White = qRgb(255, 255, 255);
// The first and last rows of the bar's gradient: t = 0 and t = 254.
constexpr QRgb GradientTop = qRgb(224, 244, 254);
constexpr QRgb GradientBottom = qRgb(60, 156, 254);

QImage Canvas(int width = 240, int height = 40, QRgb fill = Red) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(fill);
    return image;
}

// A bar 200 wide and 20 high at (10, 5), without text: its border runs at
// x 10 and 209, y 5 and 24; the gradient rows are 6 to 23.
QImage Bar(qint64 transfered, qint64 size) {
    QImage image = Canvas();
    QPainter painter(&image);
    PaintProgressBar(painter, 10, 5, 200, 20, transfered, size, QString());
    return image;
}

void SetPixelSize(QPainter& painter, int pixels) {
    QFont font = painter.font();
    font.setPixelSize(pixels);
    painter.setFont(font);
}

// Calls check(x, y) for every pixel of area.
template <typename F>
void EachPixel(const QRect& area, F check) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            check(x, y);
}

TEST(ProgressBar, AtZeroOnlyTheWhiteBoxWithItsBlackBorderShows) {
    const QImage image = Bar(0, 1000);
    for (const QPoint corner :
         {QPoint(10, 5), QPoint(209, 5), QPoint(10, 24), QPoint(209, 24), QPoint(100, 5)})
        EXPECT_EQ(image.pixel(corner), Black) << corner.x() << "," << corner.y();
    for (const QPoint inside : {QPoint(11, 6), QPoint(11, 23), QPoint(208, 23), QPoint(100, 14)})
        EXPECT_EQ(image.pixel(inside), White) << inside.x() << "," << inside.y();
    // Nothing outside the cell is touched.
    EXPECT_EQ(image.pixel(9, 5), Red);
    EXPECT_EQ(image.pixel(210, 24), Red);
    EXPECT_EQ(image.pixel(10, 25), Red);
}

TEST(ProgressBar, AQuarterFillsFiftyPixelsWithTheGradient) {
    // b = 200 / 4 = 50: the gradient covers x 11 to 58.
    const QImage image = Bar(250, 1000);
    EXPECT_EQ(image.pixel(11, 6), GradientTop);
    EXPECT_EQ(image.pixel(58, 6), GradientTop);
    EXPECT_EQ(image.pixel(11, 23), GradientBottom);
    EXPECT_EQ(image.pixel(58, 23), GradientBottom);
    // Row 14 is 8 of 17 steps down: t = round(8 / 17 * 255) = 120, scaled to 119.
    EXPECT_EQ(image.pixel(30, 14), qRgb(147, 203, 254));
    EXPECT_EQ(image.pixel(59, 14), White);
    EXPECT_EQ(image.pixel(209, 14), Black);
}

TEST(ProgressBar, BelowThreeFilledPixelsOnlyTheOutlineShows) {
    // 1 of 100 of 200 pixels: b = 2, a gradient of width 0.
    const QImage image = Bar(1, 100);
    EXPECT_EQ(image.pixel(11, 6), White);
    EXPECT_EQ(image.pixel(12, 23), White);
}

TEST(ProgressBar, HalfwayPixelsRoundToTheEvenNeighbour) {
    // 25 of 10000 of 200 pixels is 0.5: b = 0. 75 of 10000 is 1.5: b = 2.
    EXPECT_EQ(FilledWidth(25, 10000, 200), 0);
    EXPECT_EQ(FilledWidth(75, 10000, 200), 2);
    EXPECT_EQ(FilledWidth(125, 10000, 200), 2);
    EXPECT_EQ(FilledWidth(175, 10000, 200), 4);
}

TEST(ProgressBar, FullFillsUpToTheBorder) {
    const QImage image = Bar(1000, 1000);
    EXPECT_EQ(image.pixel(11, 6), GradientTop);
    EXPECT_EQ(image.pixel(208, 6), GradientTop);
    EXPECT_EQ(image.pixel(208, 23), GradientBottom);
    EXPECT_EQ(image.pixel(209, 6), Black);
    // More than the size counts as full as well.
    EXPECT_EQ(FilledWidth(1001, 1000, 200), 200);
}

TEST(GradientFill, RowsGoFromTheTopColourToTheBottomColourBothIncluded) {
    QImage image = Canvas(10, 10);
    QPainter painter(&image);
    // Height 4 from row 2: rows 2 to 6. Row 3: t = round(255 / 4) = 64, scaled to 63.
    GradientFill(painter, 1, 2, 5, 4, BarTopColour, BarBottomColour);
    painter.end();
    EXPECT_EQ(image.pixel(1, 1), Red);
    EXPECT_EQ(image.pixel(1, 2), GradientTop);
    EXPECT_EQ(image.pixel(5, 3), qRgb(183, 222, 254));
    EXPECT_EQ(image.pixel(1, 6), GradientBottom);
    EXPECT_EQ(image.pixel(1, 7), Red);
    EXPECT_EQ(image.pixel(6, 4), Red);

    // Nothing is drawn at a height of zero or less.
    QImage untouched = Canvas(10, 10);
    painter.begin(&untouched);
    GradientFill(painter, 1, 2, 5, 0, BarTopColour, BarBottomColour);
    GradientFill(painter, 1, 2, 5, -3, BarTopColour, BarBottomColour);
    painter.end();
    EXPECT_EQ(untouched, Canvas(10, 10));
}

// Half white, half black: the text turns black over white and white over black.
TEST(InvertedText, InvertsTheSurfaceUnderTheTextAndTwiceRestoresIt) {
    const QImage before = [] {
        QImage image = Canvas(200, 30, White);
        QPainter painter(&image);
        painter.fillRect(QRect(40, 0, 160, 30), Qt::black);
        return image;
    }();
    QImage image = before;
    QPainter painter(&image);
    SetPixelSize(painter, 16);
    const QRect rect(4, 4, 190, 24);
    DrawInvertedText(painter, rect, QStringLiteral("一時中止 ABC"));
    bool blackOverWhite = false;
    bool whiteOverBlack = false;
    EachPixel(image.rect(), [&](int x, int y) {
        const QRgb now = image.pixel(x, y);
        const QRgb was = before.pixel(x, y);
        if (now == was)
            return;
        EXPECT_TRUE(rect.contains(x, y)) << x << "," << y;
        blackOverWhite = blackOverWhite || (was == White && now == Black);
        whiteOverBlack = whiteOverBlack || (was == Black && now == White);
    });
    EXPECT_TRUE(blackOverWhite);
    EXPECT_TRUE(whiteOverBlack);
    DrawInvertedText(painter, rect, QStringLiteral("一時中止 ABC"));
    painter.end();
    EXPECT_EQ(image, before);
}

TEST(InvertedText, StaysInsideARectangleSmallerThanTheText) {
    QImage image = Canvas(100, 30, White);
    QPainter painter(&image);
    SetPixelSize(painter, 16);
    DrawInvertedText(painter, QRect(10, 5, 12, 6), QStringLiteral("WWWWWW"));
    painter.end();
    EachPixel(image.rect(), [&](int x, int y) {
        if (image.pixel(x, y) != White) {
            EXPECT_TRUE(QRect(10, 5, 12, 6).contains(x, y)) << x << "," << y;
        }
    });
}

TEST(ProgressBar, TheTextIsLightOverTheFillAndDarkOverTheRest) {
    // Filled up to x 108; the centred text runs across both parts.
    QImage image = Canvas();
    QPainter painter(&image);
    SetPixelSize(painter, 12);
    PaintProgressBar(painter, 10, 5, 200, 20, 500, 1000, QStringLiteral("500 KB / 1000 KB 50%"));
    painter.end();
    const QImage plain = Bar(500, 1000);
    int lightOverFill = 0;
    int darkOverWhite = 0;
    EachPixel(QRect(QPoint(11, 6), QPoint(208, 23)), [&](int x, int y) {
        const QRgb pixel = image.pixel(x, y);
        if (pixel == plain.pixel(x, y))
            return;
        if (x <= 107) {
            // Never darker than the fill's darkest row unless it is the shadow: no brown, no inversion.
            EXPECT_TRUE(pixel == BarTextLight || qBlue(pixel) >= qBlue(BarTextShadow)) << x << "," << y;
            lightOverFill += pixel == BarTextLight;
        } else {
            EXPECT_LE(qRed(pixel), qRed(White));
            darkOverWhite += qGray(pixel) < 100;
        }
    });
    EXPECT_GT(lightOverFill, 0);
    EXPECT_GT(darkOverWhite, 0);
    // The border stays as it was.
    for (int x = 10; x < 210; ++x) {
        EXPECT_EQ(image.pixel(x, 5), Black) << x;
        EXPECT_EQ(image.pixel(x, 24), Black) << x;
    }
}

TEST(ProgressBar, ANarrowBarSaysLessRatherThanCutTheText) {
    QFont font;
    font.setPixelSize(12);
    const QFontMetrics metrics(font);
    const QString full = QStringLiteral("12.87 MB / 19.07 MB");
    const int fullWidth = metrics.horizontalAdvance(full);
    const int doneWidth = metrics.horizontalAdvance(QStringLiteral("12.87 MB"));
    const int percentWidth = metrics.horizontalAdvance(QStringLiteral("67%"));
    const struct {
        int Width;
        const char* Shown;
    } cases[] = {{fullWidth, "12.87 MB / 19.07 MB"},
                 {fullWidth - 1, "12.87 MB"},
                 {doneWidth, "12.87 MB"},
                 {doneWidth - 1, "67%"},
                 {percentWidth, "67%"},
                 {percentWidth - 1, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(BarText(metrics, c.Width, full, 13'495'000, 19'996'000).toStdString(), c.Shown) << c.Width;
}

TEST(SuspendedCell, ShowsItsMarkOnTheBackground) {
    QImage image = Canvas();
    QPainter painter(&image);
    PaintSuspended(painter, 10, 5, 200, 20, Qt::white);
    painter.end();
    bool dark = false;
    EachPixel(QRect(10, 5, 200, 20), [&](int x, int y) {
        if (qRed(image.pixel(x, y)) < 128) {
            dark = true;
        } else if (x < 14 || y < 7) {
            EXPECT_EQ(image.pixel(x, y), White) << x << "," << y;
        }
    });
    EXPECT_TRUE(dark);
    EXPECT_EQ(image.pixel(9, 5), Red);
    EXPECT_EQ(image.pixel(210, 5), Red);
}

TEST(SpanText, ALinkIsPureBlueAndUnderlinedOnTheBackground) {
    QImage image = Canvas(300, 20);
    QPainter painter(&image);
    TTaskListDelegate::PaintSpan(painter, QRect(20, 0, 280, 20),
                                 QStringLiteral("a.bin(3 KB)のファイルを受信しますか？"), true, Qt::white,
                                 Qt::black);
    painter.end();
    int blue = 0;
    EachPixel(QRect(20, 0, 280, 20), [&](int x, int y) { blue += image.pixel(x, y) == qRgb(0, 0, 255); });
    EXPECT_GT(blue, 20);
    EXPECT_EQ(image.pixel(19, 10), Red);
    // Nothing is drawn in the first six pixels.
    EachPixel(QRect(20, 0, 6, 20),
              [&](int x, int y) { EXPECT_EQ(image.pixel(x, y), White) << x << "," << y; });
}

}  // namespace
}  // namespace fwp::test
