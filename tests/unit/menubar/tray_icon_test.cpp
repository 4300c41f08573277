#include "menubar/tray_icon.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "tests/doubles/temp_home.h"

namespace tessaway {
namespace {

QImage pictureOf(const QIcon& icon, int side) {
    return icon.pixmap(QSize(side, side)).toImage().convertToFormat(QImage::Format_ARGB32);
}

/// Counts of the picture's opaque white and opaque black pixels.
std::pair<int, int> whiteAndBlack(const QImage& image) {
    int white = 0, black = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) < 250) continue;
            white += qGray(pixel) == 255;
            black += qGray(pixel) == 0;
        }
    }
    return {white, black};
}

struct OutlineCase {
    int side;
    int outline;  ///< pixels of black around the shape
};

class TrayIconOutline : public ::testing::TestWithParam<OutlineCase> {};

// The shape of the template, whatever its colour, in white; around it a black outline that
// scales with the picture; beyond that, nothing.
TEST_P(TrayIconOutline, ATemplateGivesItsShapeInWhiteInsideABlackOutline) {
    const auto [side, outline] = GetParam();
    testing::TempDir dir;
    QImage source(side, side, QImage::Format_ARGB32);  // not scaled: no soft edges
    source.fill(Qt::transparent);
    QPainter(&source).fillRect(0, 0, side / 2, side, Qt::red);
    const std::string path = (dir.path() / "TrayTemplate.png").string();
    ASSERT_TRUE(source.save(QString::fromStdString(path)));

    const QImage picture = pictureOf(trayIcon(path), side);
    const int edge = side / 2;  // the first column beyond the shape
    const int y = side / 2;
    EXPECT_EQ(picture.pixel(edge - 1, y), qRgba(255, 255, 255, 255));
    for (int x = edge; x < edge + outline; ++x) {
        EXPECT_EQ(picture.pixel(x, y), qRgba(0, 0, 0, 255)) << x;
    }
    EXPECT_EQ(qAlpha(picture.pixel(edge + outline, y)), 0);
    EXPECT_EQ(whiteAndBlack(picture), std::make_pair(edge * side, outline * side));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TrayIconOutline,
                         ::testing::Values(OutlineCase{18, 1}, OutlineCase{36, 2}));

TEST(TrayIcon, WithoutATemplateTheLettersAreDrawnTheSameWay) {
    for (const std::optional<std::string>& path :
         {std::optional<std::string>(), std::optional<std::string>("/nonexistent/Tray.png")}) {
        const auto [white, black] = whiteAndBlack(pictureOf(trayIcon(path), 18));
        EXPECT_GT(white, 10);
        EXPECT_GT(black, 10);
    }
}

TEST(TrayIcon, TheDimmedPictureIsTheSameShapeFainter) {
    const QIcon normal = trayIcon(std::nullopt);
    const QIcon dimmed = dimmedIcon(normal);
    const QImage a = pictureOf(normal, 18);
    const QImage b = pictureOf(dimmed, 18);
    ASSERT_EQ(a.size(), b.size());
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const int before = qAlpha(a.pixel(x, y));
            const int after = qAlpha(b.pixel(x, y));
            if (before == 0) {
                EXPECT_EQ(after, 0);
            }
            if (before >= 16) {
                EXPECT_GT(after, 0);
            }
            EXPECT_LE(after, before / 2 + 1);
        }
    }
}

}  // namespace
}  // namespace tessaway
