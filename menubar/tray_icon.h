#pragma once

#include <QColor>
#include <QIcon>

#include <optional>
#include <string>

namespace tessaway {

/// Side of the item's picture, in device-independent pixels.
inline constexpr int kTrayIconSize = 18;

/// The item's picture. A template image gives only the shape (its alpha channel), drawn in
/// `color` at 18 x 18 (and 36 x 36 for dense screens); without an image, or when it cannot be
/// read, the letters "TW" are drawn in its place.
QIcon trayIcon(const std::optional<std::string>& templatePath, const QColor& color);

/// The dimmed look of `icon`: the same picture, faded so that it reads as greyed out.
QIcon dimmedIcon(const QIcon& icon);

}  // namespace tessaway
