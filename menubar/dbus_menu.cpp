#include "menubar/dbus_menu.h"

#include <QAction>
#include <QActionEvent>
#include <QDBusMetaType>
#include <QKeySequence>
#include <QMenu>
#include <QTimer>

namespace tessaway {
namespace {

/// The names a panel knows for the modifiers of a shortcut, in the order it shows them.
const std::pair<Qt::KeyboardModifier, const char*> kModifiers[] = {
    {Qt::ControlModifier, "Control"},
    {Qt::AltModifier, "Alt"},
    {Qt::ShiftModifier, "Shift"},
    {Qt::MetaModifier, "Super"},
};

QList<QStringList> shortcutOf(const QKeySequence& sequence) {
    QList<QStringList> keys;
    for (int i = 0; i < sequence.count(); ++i) {
        const QKeyCombination combination = sequence[i];
        QStringList chord;
        for (const auto& [modifier, name] : kModifiers) {
            if (combination.keyboardModifiers() & modifier) chord << QString::fromLatin1(name);
        }
        chord << QKeySequence(combination.key()).toString();
        keys << chord;
    }
    return keys;
}

/// The properties in `all` that `names` asks for; every one when `names` is empty.
QVariantMap only(const QVariantMap& all, const QStringList& names) {
    if (names.isEmpty()) return all;
    QVariantMap out;
    for (const QString& name : names) {
        if (all.contains(name)) out.insert(name, all.value(name));
    }
    return out;
}

}  // namespace

QString exportedLabel(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == '_') {
            out += QStringLiteral("__");
        } else if (c == '&' && i + 1 < text.size()) {
            // "&&" is a plain "&"; "&x" marks x as the mnemonic.
            ++i;
            out += text[i] == '&' ? QStringLiteral("&") : QStringLiteral("_") + text[i];
            if (text[i] == '_') out += '_';
        } else {
            out += c;
        }
    }
    return out;
}

DBusMenu::DBusMenu(QMenu& menu, QObject* parent) : QObject(parent), menu_(menu) {
    registerDBusMenuTypes();
    for (QAction* action : menu_.actions())
        idOf(action);
    menu_.installEventFilter(this);
}

bool DBusMenu::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &menu_) {
        switch (event->type()) {
            case QEvent::ActionAdded:
            case QEvent::ActionChanged:
            case QEvent::ActionRemoved:
                changed(static_cast<QActionEvent*>(event)->action());
                break;
            default:
                break;
        }
    }
    return QObject::eventFilter(watched, event);
}

int DBusMenu::idOf(QAction* action) {
    auto found = ids_.constFind(action);
    if (found != ids_.constEnd()) return *found;
    const int id = nextId_++;
    ids_.insert(action, id);
    return id;
}

QAction* DBusMenu::actionOf(int id) const {
    for (QAction* action : menu_.actions()) {
        if (ids_.value(action, -1) == id) return action;
    }
    return nullptr;
}

QVariantMap DBusMenu::propertiesOf(QAction* action) const {
    QVariantMap properties;
    properties.insert(QStringLiteral("visible"), action->isVisible());
    if (action->isSeparator()) {
        properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
        return properties;
    }
    properties.insert(QStringLiteral("label"), exportedLabel(action->text()));
    properties.insert(QStringLiteral("enabled"), action->isEnabled());
    if (action->isCheckable()) {
        properties.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
        properties.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
    }
    if (!action->shortcut().isEmpty()) {
        properties.insert(QStringLiteral("shortcut"),
                          QVariant::fromValue(shortcutOf(action->shortcut())));
    }
    return properties;
}

DBusMenuLayout DBusMenu::layout(int parentId, int depth, const QStringList& names) {
    DBusMenuLayout out;
    out.id = parentId;
    if (parentId != 0) {
        if (QAction* action = actionOf(parentId))
            out.properties = only(propertiesOf(action), names);
        return out;
    }
    out.properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    if (depth == 0) return out;
    for (QAction* action : menu_.actions()) {
        out.children.append({idOf(action), only(propertiesOf(action), names), {}});
    }
    return out;
}

DBusMenuItemList DBusMenu::properties(const QList<int>& ids, const QStringList& names) {
    DBusMenuItemList out;
    for (const int id : ids) {
        if (id == 0) {
            out.append({0, layout(0, 0, names).properties});
        } else if (QAction* action = actionOf(id)) {
            out.append({id, only(propertiesOf(action), names)});
        }
    }
    return out;
}

bool DBusMenu::aboutToShow(int id) {
    if (id != 0) return false;
    emit menu_.aboutToShow();
    return !changed_.isEmpty();
}

void DBusMenu::event(int id, const QString& eventId) {
    if (eventId != QLatin1String("clicked")) return;
    QAction* action = actionOf(id);
    if (action == nullptr || action->isSeparator() || !action->isEnabled()) return;
    action->trigger();
}

void DBusMenu::requestActivation() {
    emit itemActivationRequested(0, 0);
}

void DBusMenu::changed(QAction* action) {
    // One announcement for everything that changes before the event loop runs again: a
    // render changes several entries in a row. It is on its way when something has changed.
    const bool announcing = !changed_.isEmpty();
    if (!changed_.contains(action)) changed_.append(action);
    if (!announcing) QTimer::singleShot(0, this, &DBusMenu::announce);
}

void DBusMenu::announce() {
    DBusMenuItemList updated;
    for (const QPointer<QAction>& action : std::as_const(changed_)) {
        if (action && menu_.actions().contains(action.data())) {
            updated.append({idOf(action.data()), propertiesOf(action.data())});
        }
    }
    changed_.clear();
    ++revision_;
    if (!updated.isEmpty()) emit itemsPropertiesUpdated(updated, {});
    emit layoutUpdated(revision_, 0);
}

DBusMenuAdaptor::DBusMenuAdaptor(DBusMenu* menu) : QDBusAbstractAdaptor(menu), menu_(menu) {
    connect(menu, &DBusMenu::layoutUpdated, this, &DBusMenuAdaptor::LayoutUpdated);
    connect(menu, &DBusMenu::itemsPropertiesUpdated, this,
            &DBusMenuAdaptor::ItemsPropertiesUpdated);
    connect(menu, &DBusMenu::itemActivationRequested, this,
            &DBusMenuAdaptor::ItemActivationRequested);
}

uint DBusMenuAdaptor::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                DBusMenuLayout& layout) {
    layout = menu_->layout(parentId, recursionDepth, propertyNames);
    return menu_->revision();
}

DBusMenuItemList DBusMenuAdaptor::GetGroupProperties(const QList<int>& ids,
                                                     const QStringList& propertyNames) {
    return menu_->properties(ids, propertyNames);
}

QDBusVariant DBusMenuAdaptor::GetProperty(int id, const QString& name) {
    const DBusMenuItemList found = menu_->properties({id}, {name});
    return QDBusVariant(found.isEmpty() ? QVariant(QString()) : found[0].properties.value(name));
}

void DBusMenuAdaptor::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
    menu_->event(id, eventId);
}

QList<int> DBusMenuAdaptor::EventGroup(const DBusMenuEventList& events) {
    for (const DBusMenuEvent& event : events)
        menu_->event(event.id, event.eventId);
    return {};
}

bool DBusMenuAdaptor::AboutToShow(int id) {
    return menu_->aboutToShow(id);
}

QList<int> DBusMenuAdaptor::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
    idErrors.clear();
    QList<int> updates;
    for (const int id : ids) {
        if (menu_->aboutToShow(id)) updates.append(id);
    }
    return updates;
}

void registerDBusMenuTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<DBusMenuLayout>();
        qDBusRegisterMetaType<DBusMenuItem>();
        qDBusRegisterMetaType<DBusMenuItemList>();
        qDBusRegisterMetaType<DBusMenuItemKeys>();
        qDBusRegisterMetaType<DBusMenuItemKeysList>();
        qDBusRegisterMetaType<DBusMenuEvent>();
        qDBusRegisterMetaType<DBusMenuEventList>();
        qDBusRegisterMetaType<QList<QStringList>>();
        // The D-Bus adaptor finds the types of its signals and slots by the names written
        // there.
        qRegisterMetaType<DBusMenuItemList>("tessaway::DBusMenuItemList");
        qRegisterMetaType<DBusMenuItemKeysList>("tessaway::DBusMenuItemKeysList");
        qRegisterMetaType<DBusMenuEventList>("tessaway::DBusMenuEventList");
        return true;
    }();
    (void)registered;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayout& layout) {
    argument.beginStructure();
    argument << layout.id << layout.properties;
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const DBusMenuLayout& child : layout.children) {
        argument << QDBusVariant(QVariant::fromValue(child));
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayout& layout) {
    argument.beginStructure();
    argument >> layout.id >> layout.properties;
    layout.children.clear();
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        layout.children.append(qdbus_cast<DBusMenuLayout>(child.variant().value<QDBusArgument>()));
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& keys) {
    argument.beginStructure();
    argument << keys.id << keys.names;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& keys) {
    argument.beginStructure();
    argument >> keys.id >> keys.names;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event) {
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event) {
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

}  // namespace tessaway
