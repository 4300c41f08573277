#include "menubar/tray_icon.h"

#include <QFile>
#include <QFont>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPixmap>

#include <algorithm>

#include "platform/bundle.h"

namespace tessaway {
namespace {

constexpr double kDimmedOpacity = 0.35;
const QString kNormalName = QStringLiteral("tessaway-server-symbolic");
const QString kDimmedName = QStringLiteral("tessaway-server-dimmed-symbolic");

/// `source` scaled into the middle of a transparent square of `side` pixels. A whole multiple
/// of its size repeats its pixels, which keeps the edges as sharp as they are.
QImage fitted(const QImage& source, int side) {
    const bool multiple = source.width() == source.height() && side % source.width() == 0;
    const QImage scaled = source.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                              .scaled(side, side, Qt::KeepAspectRatio,
                                      multiple ? Qt::FastTransformation : Qt::SmoothTransformation);
    QImage out(side, side, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.drawImage((side - scaled.width()) / 2, (side - scaled.height()) / 2, scaled);
    return out;
}

/// The letters "TW" as a shape filling a square of `side` pixels.
QImage letters(int side) {
    QImage out(side, side, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font;
    font.setBold(true);
    font.setPixelSize(side * 11 / 18);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(out.rect(), Qt::AlignCenter, QStringLiteral("TW"));
    return out;
}

/// The shape's alpha spread by `radius` pixels in every direction.
QImage spread(const QImage& shape, int radius) {
    QImage out(shape.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    for (int y = 0; y < shape.height(); ++y) {
        for (int x = 0; x < shape.width(); ++x) {
            int alpha = 0;
            for (int dy = -radius; dy <= radius; ++dy) {
                for (int dx = -radius; dx <= radius; ++dx) {
                    if (shape.valid(x + dx, y + dy)) {
                        alpha = std::max(alpha, qAlpha(shape.pixel(x + dx, y + dy)));
                    }
                }
            }
            out.setPixel(x, y, qRgba(0, 0, 0, alpha));
        }
    }
    return out;
}

/// `shape` in `color`.
QImage filled(QImage shape, const QColor& color) {
    QPainter painter(&shape);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(shape.rect(), color);
    return shape;
}

/// The shape in white over a black outline of one pixel per 18: the white reads on a dark
/// panel, the outline on a light one.
QPixmap outlined(const QImage& shape, int side) {
    QImage out = spread(shape, std::max(1, side / kTrayIconSize));
    QPainter painter(&out);
    painter.drawImage(0, 0, filled(shape, Qt::white));
    painter.end();
    return QPixmap::fromImage(out);
}

}  // namespace

QIcon trayIcon(const std::optional<std::string>& templatePath) {
    QImage image;
    if (templatePath) {
        // Read as PNG and nothing else: guessing the format would load every image-format
        // plugin (JPEG, GIF, ICO and their libraries) into the item for good.
        QImageReader reader(QString::fromStdString(*templatePath), "png");
        reader.setAutoDetectImageFormat(false);
        image = reader.read();
    }
    QIcon icon;
    for (const int side : {kTrayIconSize, 2 * kTrayIconSize}) {
        icon.addPixmap(outlined(image.isNull() ? letters(side) : fitted(image, side), side));
    }
    return icon;
}

QIcon dimmedIcon(const QIcon& icon) {
    QIcon out;
    for (const QSize& size : icon.availableSizes()) {
        const QPixmap source = icon.pixmap(size);
        QPixmap faded(source.size());
        faded.fill(Qt::transparent);
        QPainter painter(&faded);
        painter.setOpacity(kDimmedOpacity);
        painter.drawPixmap(0, 0, source);
        painter.end();
        out.addPixmap(faded);
    }
    return out;
}

std::optional<ThemeIcon> themeIcon() {
    const QString path = QString::fromStdString(platform::mainBundle().resources) + "/icons";
    for (const QString& name : {kNormalName, kDimmedName}) {
        if (!QFile::exists(path + "/hicolor/scalable/status/" + name + ".svg")) return std::nullopt;
    }
    return ThemeIcon{kNormalName, kDimmedName, path};
}

}  // namespace tessaway
