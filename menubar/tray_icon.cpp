#include "menubar/tray_icon.h"

#include <QFont>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPixmap>

namespace tessaway {
namespace {

constexpr double kDimmedOpacity = 0.35;

/// The shape of `source` (its alpha channel), scaled into a square of `side` pixels and
/// filled with `color`.
QPixmap tinted(const QImage& source, int side, const QColor& color) {
    QImage shape = source.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                       .scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QImage out(side, side, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.drawImage((side - shape.width()) / 2, (side - shape.height()) / 2, shape);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(out.rect(), color);
    painter.end();
    return QPixmap::fromImage(out);
}

QPixmap letters(int side, const QColor& color) {
    QPixmap out(side, side);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font;
    font.setBold(true);
    font.setPixelSize(side * 11 / 18);
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(out.rect(), Qt::AlignCenter, QStringLiteral("TW"));
    return out;
}

}  // namespace

QIcon trayIcon(const std::optional<std::string>& templatePath, const QColor& color) {
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
        icon.addPixmap(image.isNull() ? letters(side, color) : tinted(image, side, color));
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

}  // namespace tessaway
