// The reference for the menu-bar item's footprint: a bare Qt program with one tray icon and a
// seven-row menu, nothing else. Runs until it is terminated.

#include <QAction>
#include <QApplication>
#include <QIcon>
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
    for (const char* title : {"Status", "Detail", "Open", "Add", "Pause", "Login", "Quit"}) {
        menu.addAction(QString::fromLatin1(title));
    }
    QSystemTrayIcon item{QIcon(picture)};
    item.setToolTip(QStringLiteral("Reference"));
    item.setContextMenu(&menu);
    item.show();
    return app.exec();
}
