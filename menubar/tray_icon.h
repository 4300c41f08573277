#pragma once

#include <QIcon>
#include <QString>

#include <optional>
#include <string>

namespace tessaway {

/// Side of the item's picture, in device-independent pixels.
inline constexpr int kTrayIconSize = 18;

/// The item's picture, drawn to read on a light and on a dark panel alike: the shape of a
/// template image (its alpha channel) in white with a black outline around it, at 18 x 18 (and
/// 36 x 36 for dense screens). Without an image, or when it cannot be read, the letters "TW"
/// are drawn the same way in its place.
QIcon trayIcon(const std::optional<std::string>& templatePath);

/// The dimmed look of `icon`: the same picture, faded so that it reads as greyed out.
QIcon dimmedIcon(const QIcon& icon);

/// The names of the item's two looks in the icon theme that the bundle ships, which desktops
/// recolour to suit their panel.
struct ThemeIcon {
    QString normal;
    QString dimmed;
    QString themePath;  ///< the folder that holds the theme's "hicolor" folder
};

/// The bundle's themed icons, when both looks are there.
std::optional<ThemeIcon> themeIcon();

}  // namespace tessaway
