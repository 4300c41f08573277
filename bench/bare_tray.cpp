// The reference for the menu-bar item's footprint: a bare Qt program with one tray icon and the
// same menu as the item (the same rows, titles, separators, check mark and shortcut, so both
// menus are drawn at the same size), and nothing behind it. Runs until it is terminated.

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    QPixmap picture(18, 18);
    picture.fill(Qt::transparent);
    QPainter(&picture).drawText(picture.rect(), Qt::AlignCenter, QStringLiteral("TW"));
    QMenu menu;
    menu.addAction(QStringLiteral("Tessaway Server: Running"))->setEnabled(false);
    menu.addAction(QStringLiteral("Not claimed yet: open setup to link it"))->setEnabled(false);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Open Setup / Dashboard"));
    menu.addAction(QStringLiteral("Add Media Folder\u2026"));
    menu.addSeparator();
    menu.addAction(QStringLiteral("Pause Sharing"));
    menu.addAction(QStringLiteral("Start at Login"))->setCheckable(true);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Quit Tessaway Server"))
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    QSystemTrayIcon item{QIcon(picture)};
    item.setToolTip(QStringLiteral("Reference"));
    item.setContextMenu(&menu);
    item.show();
    return app.exec();
}
