#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <optional>

class QMenu;

namespace tessaway {

/// Where a menu of `size` opens for an item at `icon` on a screen covering `screen`, of which
/// panels leave `available` free: beside the panel that holds the item (below a panel at the
/// top of the screen, above one at the bottom, to the right of one on the left, to the left of
/// one on the right), never over the item nor over a panel's reserved strip, and inside the
/// screen as far as it fits.
QPoint menuPosition(const QRect& icon, const QSize& size, const QRect& screen,
                    const QRect& available);

/// Where an item sits that its panel names only by a point clicked on it, to open a menu
/// beside: the strip across the panel through `at` when `window`, the window clicked, lies
/// along an edge of `screen` as a panel does (wider than high along the top or the bottom,
/// higher than wide along the left or the right, at most a quarter of the screen thick);
/// otherwise the point itself.
QRect clickedItem(QPoint at, const std::optional<QRect>& window, const QRect& screen);

/// Opens `menu` beside the item at `icon` and keeps it there while it is open, also when its
/// entries change its size. An invalid `icon` (the tray does not say where the item is) stands
/// for the pointer.
void popupBeside(QMenu& menu, const QRect& icon);

}  // namespace tessaway
