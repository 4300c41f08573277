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

/// Opaque pixels of `image`, and whether every one of them has the colour `ink`.
std::pair<int, bool> opaquePixels(const QImage& image, QColor ink) {
    int count = 0;
    bool allInk = true;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) < 250) continue;
            ++count;
            allInk = allInk && qRed(pixel) == ink.red() && qGreen(pixel) == ink.green() &&
                     qBlue(pixel) == ink.blue();
        }
    }
    return {count, allInk};
}

TEST(TrayIcon, ATemplateGivesItsShapeInTheInkAtEighteenPixels) {
    testing::TempDir dir;
    // A red square on the left half: only the shape counts, not the colour.
    QImage source(18, 18, QImage::Format_ARGB32);
    source.fill(Qt::transparent);
    QPainter(&source).fillRect(0, 0, 9, 18, Qt::red);
    const std::string path = (dir.path() / "TrayTemplate.png").string();
    ASSERT_TRUE(source.save(QString::fromStdString(path)));

    const QIcon icon = trayIcon(path, QColor(20, 40, 60));
    ASSERT_TRUE(icon.availableSizes().contains(QSize(18, 18)));
    const QImage picture = pictureOf(icon, 18);
    const auto [opaque, allInk] = opaquePixels(picture, QColor(20, 40, 60));
    EXPECT_EQ(opaque, 9 * 18);
    EXPECT_TRUE(allInk);
    EXPECT_EQ(qAlpha(picture.pixel(4, 9)), 255);
    EXPECT_EQ(qAlpha(picture.pixel(14, 9)), 0);
}

TEST(TrayIcon, WithoutATemplateTheLettersAreDrawn) {
    for (const std::optional<std::string>& path :
         {std::optional<std::string>(), std::optional<std::string>("/nonexistent/Tray.png")}) {
        const QIcon icon = trayIcon(path, Qt::black);
        ASSERT_FALSE(icon.isNull());
        const auto [opaque, allInk] = opaquePixels(pictureOf(icon, 18), Qt::black);
        EXPECT_GT(opaque, 10);  // the letters put ink into the picture
        EXPECT_TRUE(allInk);
    }
}

TEST(TrayIcon, TheDimmedPictureIsTheSameShapeFainter) {
    const QIcon normal = trayIcon(std::nullopt, Qt::black);
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
