#include "menubar/dbus_menu.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QKeySequence>
#include <QMenu>

namespace tessaway {
namespace {

TEST(DBusMenuLabel, QtMnemonicsBecomeTheExportedOnes) {
    const std::pair<QString, QString> cases[] = {
        {"Tom && Jerry_s", "Tom & Jerry__s"},
        {"&Open", "_Open"},
        {"__", "____"},
        {"&&&x", "&_x"},
        {"&_", "___"},
        {"ends in &", "ends in &"},
    };
    for (const auto& [text, label] : cases)
        EXPECT_EQ(exportedLabel(text), label) << text.toStdString();
}

class DBusMenuTest : public ::testing::Test {
protected:
    DBusMenuTest() {
        status = menu.addAction(QStringLiteral("Status: on"));
        status->setEnabled(false);
        menu.addSeparator();
        login = menu.addAction(QStringLiteral("Start at Login"));
        login->setCheckable(true);
        quit = menu.addAction(QStringLiteral("Quit"));
        quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
        exported = std::make_unique<DBusMenu>(menu);
    }

    QVariantMap propertiesOf(int index) {
        return exported->layout(0, -1, {}).children.at(index).properties;
    }

    QMenu menu;
    QAction* status;
    QAction* login;
    QAction* quit;
    std::unique_ptr<DBusMenu> exported;
};

TEST_F(DBusMenuTest, TheLayoutCarriesEveryEntryWithItsState) {
    const DBusMenuLayout root = exported->layout(0, -1, {});
    ASSERT_EQ(root.children.size(), 4);
    EXPECT_EQ(propertiesOf(0).value("label"), "Status: on");
    EXPECT_EQ(propertiesOf(0).value("enabled"), false);
    EXPECT_EQ(propertiesOf(1).value("type"), "separator");
    EXPECT_EQ(propertiesOf(2).value("toggle-type"), "checkmark");
    EXPECT_EQ(propertiesOf(2).value("toggle-state"), 0);
    EXPECT_EQ(propertiesOf(3).value("shortcut").value<QList<QStringList>>(),
              (QList<QStringList>{{"Control", "Q"}}));
    // Only the properties asked for; an entry's own layout by its id.
    const int quitId = root.children.at(3).id;
    EXPECT_EQ(exported->layout(quitId, -1, {"label"}).properties,
              (QVariantMap{{"label", QStringLiteral("Quit")}}));
    EXPECT_TRUE(exported->layout(0, 0, {}).children.isEmpty());
}

TEST_F(DBusMenuTest, ChangesAreAnnouncedOnceTheyAreComplete) {
    std::vector<uint> layouts;
    std::vector<DBusMenuItemList> properties;
    QObject::connect(exported.get(), &DBusMenu::layoutUpdated,
                     [&](uint revision, int) { layouts.push_back(revision); });
    QObject::connect(exported.get(), &DBusMenu::itemsPropertiesUpdated,
                     [&](const DBusMenuItemList& updated) { properties.push_back(updated); });
    const uint before = exported->revision();
    login->setChecked(true);
    status->setText(QStringLiteral("Status: off"));
    EXPECT_TRUE(layouts.empty());  // not before the event loop runs
    QCoreApplication::processEvents();
    EXPECT_EQ(layouts, std::vector<uint>{before + 1});
    EXPECT_EQ(exported->revision(), before + 1);
    ASSERT_EQ(properties.size(), 1u);
    ASSERT_EQ(properties[0].size(), 2);
    EXPECT_EQ(properties[0].at(0).properties.value("toggle-state"), 1);
    EXPECT_EQ(properties[0].at(1).properties.value("label"), "Status: off");
    // Setting what is already there announces nothing.
    login->setChecked(true);
    QCoreApplication::processEvents();
    EXPECT_EQ(layouts.size(), 1u);
}

TEST_F(DBusMenuTest, OpeningRunsTheMenusOwnHandlerAndSaysWhetherItChangedTheEntries) {
    bool changes = false;
    QObject::connect(&menu, &QMenu::aboutToShow, [&] {
        if (changes) login->toggle();
    });
    EXPECT_FALSE(exported->aboutToShow(0));
    changes = true;
    EXPECT_TRUE(exported->aboutToShow(0));
    EXPECT_FALSE(exported->aboutToShow(-3));  // no such entry: nothing runs
    EXPECT_TRUE(login->isChecked());
}

TEST_F(DBusMenuTest, AClickTriggersOnlyAnEnabledEntry) {
    const QList<DBusMenuLayout> entries = exported->layout(0, -1, {}).children;
    int triggered = 0;
    for (QAction* action : menu.actions()) {
        QObject::connect(action, &QAction::triggered, [&] { ++triggered; });
    }
    exported->event(entries.at(0).id, "clicked");  // disabled
    exported->event(entries.at(1).id, "clicked");  // separator
    exported->event(entries.at(3).id, "hovered");
    exported->event(999, "clicked");
    EXPECT_EQ(triggered, 0);
    exported->event(entries.at(2).id, "clicked");
    EXPECT_EQ(triggered, 1);
    EXPECT_TRUE(login->isChecked());
}

}  // namespace
}  // namespace tessaway
