#include "menubar/menu_position.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPointer>
#include <QScreen>

#include <algorithm>

namespace tessaway {
namespace {

/// `start` moved so that `length` fits between `low` and `high` (inclusive); `low` when it
/// cannot fit at all.
int clamped(int start, int length, int low, int high) {
    return std::max(low, std::min(start, high - length + 1));
}

/// Whether a menu `length` long goes to the far side of the item, with `before` free on the
/// near side and `after` on the far: to the roomier side, unless only the other one fits.
bool towardsAfter(int before, int after, int length) {
    return before <= after ? after >= length || before < length
                           : before < length && after >= length;
}

const QString kAnchorName = QStringLiteral("tessaway-menu-anchor");

/// Keeps an open menu beside its item when the menu's size changes.
class Anchor : public QObject {
public:
    explicit Anchor(QMenu& menu) : QObject(&menu), menu_(menu) {
        setObjectName(kAnchorName);
        menu.installEventFilter(this);
    }

    void place(const QRect& icon) {
        icon_ = icon;
        moveBeside();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &menu_ && event->type() == QEvent::Resize && menu_.isVisible()) {
            moveBeside();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void moveBeside() {
        const QScreen* screen = QGuiApplication::screenAt(icon_.center());
        if (screen == nullptr) screen = QGuiApplication::primaryScreen();
        if (screen == nullptr) return;
        const QPoint at =
            menuPosition(icon_, menu_.size(), screen->geometry(), screen->availableGeometry());
        if (at != menu_.pos()) menu_.move(at);
    }

    QMenu& menu_;
    QRect icon_;
};

}  // namespace

QPoint menuPosition(const QRect& icon, const QSize& size, const QRect& screen,
                    const QRect& available) {
    const int above = icon.top() - screen.top();
    const int below = screen.bottom() - icon.bottom();
    const int before = icon.left() - screen.left();
    const int after = screen.right() - icon.right();
    const bool vertical = std::min(before, after) < std::min(above, below);
    // Where the panel reserves a strip of the screen, the menu starts where the strip ends.
    if (!vertical) {
        // A panel along the top or the bottom edge: the menu goes below or above it.
        const bool down = towardsAfter(above, below, size.height());
        const int y = down ? std::max(icon.bottom() + 1, available.top())
                           : std::min(icon.top(), available.bottom() + 1) - size.height();
        return {clamped(icon.left(), size.width(), screen.left(), screen.right()), y};
    }
    const bool right = towardsAfter(before, after, size.width());
    const int x = right ? std::max(icon.right() + 1, available.left())
                        : std::min(icon.left(), available.right() + 1) - size.width();
    return {x, clamped(icon.top(), size.height(), screen.top(), screen.bottom())};
}

QRect clickedItem(QPoint at, const std::optional<QRect>& window, const QRect& screen) {
    const QRect point(at, QSize(1, 1));
    if (!window || !window->contains(at)) return point;
    const QRect panel = *window & screen;
    const bool alongTopOrBottom = panel.top() == screen.top() || panel.bottom() == screen.bottom();
    const bool alongSide = panel.left() == screen.left() || panel.right() == screen.right();
    if (panel.width() > panel.height() && alongTopOrBottom &&
        panel.height() <= screen.height() / 4) {
        return {at.x(), panel.top(), 1, panel.height()};
    }
    if (panel.height() > panel.width() && alongSide && panel.width() <= screen.width() / 4) {
        return {panel.left(), at.y(), panel.width(), 1};
    }
    return point;
}

void popupBeside(QMenu& menu, const QRect& icon) {
    const QRect at = icon.isValid() ? icon : QRect(QCursor::pos(), QSize(1, 1));
    auto* anchor =
        static_cast<Anchor*>(menu.findChild<QObject*>(kAnchorName, Qt::FindDirectChildrenOnly));
    if (anchor == nullptr) anchor = new Anchor(menu);
    menu.popup(at.bottomLeft());
    // The entries may have changed while the menu opened (it polls): place it for its size now.
    anchor->place(at);
}

}  // namespace tessaway
