#include "ViewTestSupport.h"

#include "platform/ScreenCapturePermission.h"
#include "views/AppListView.h"
#include "views/AppRowView.h"
#include "views/MainPopoverView.h"
#include "views/OutputDeviceSection.h"
#include "views/ProfileSwitcherView.h"
#include "views/toolkit/TextLabel.h"

#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QScrollArea>
#include <QScrollBar>

namespace kestrelamp::test {
namespace {

// "tabSwitcher" for a header or footer control, "org.example.Other/muteButton" for a row's.
std::string nameOf(const QWidget* widget) {
    if (!widget) {
        return "(none)";
    }
    for (const QWidget* up = widget; up; up = up->parentWidget()) {
        if (const auto* row = qobject_cast<const AppRowView*>(up)) {
            return row->app().id + "/" + widget->objectName().toStdString();
        }
    }
    return widget->objectName().toStdString();
}

std::string focused() {
    return nameOf(QApplication::focusWidget());
}

void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* target = QApplication::focusWidget();
    ASSERT_NE(target, nullptr);
    QTest::keyClick(target, Qt::Key(key), modifiers);
}

std::vector<std::string> rowStops(const std::string& id) {
    return {id + "/outputDevicesButton", id + "/equalizerButton", id + "/muteButton",
            id + "/volumeSlider", id + "/boostButton"};
}

class KeyboardTest : public test::ViewTest {
protected:
    using ViewTest::ViewTest;

    void open() {
        view = std::make_unique<MainPopoverView>(manager(), permission);
        view->show();
        view->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
        view->setFocus();
    }
    AppListView& list() { return *view->appList(); }
    // Presses Tab (or Backtab) count times and names each stop.
    static std::vector<std::string> walk(int count, bool forward = true) {
        std::vector<std::string> stops;
        for (int i = 0; i < count; ++i) {
            press(forward ? Qt::Key_Tab : Qt::Key_Backtab);
            stops.push_back(focused());
        }
        return stops;
    }

    ControllableScreenCapturePermission permission{true};
    std::unique_ptr<MainPopoverView> view;
};

TEST_F(KeyboardTest, TabRunsHeaderRowsFooterWithAnOpenSectionAfterItsButton) {
    open();
    ASSERT_EQ(list().rows().size(), 3u);
    std::vector<std::string> expected{"defaultDevicePicker", "showOnlyLiveSwitch", "tabSwitcher"};
    for (const AppRowView* row : list().rows()) {
        const auto stops = rowStops(row->app().id);
        expected.insert(expected.end(), stops.begin(), stops.end());
    }
    for (const char* name : {"refreshButton", "settingsButton", "callMixSwitch", "quitButton"}) {
        expected.push_back(name);
    }
    // No stop that shows nothing, and round to the start again.
    EXPECT_EQ(walk(int(expected.size())), expected);
    EXPECT_EQ(walk(1), std::vector<std::string>{expected.front()});
    EXPECT_EQ(walk(2, false), (std::vector<std::string>{"quitButton", "callMixSwitch"}));

    // Space on the first row's devices button opens its list right behind it.
    AppRowView& first = *list().rows().front();
    const std::string id = first.app().id;
    first.focusOrder().front()->setFocus();
    press(Qt::Key_Space);
    ASSERT_TRUE(first.showsOutputDevices());
    std::vector<std::string> section{id + "/systemDefaultRow"};
    for (const AudioDeviceInfo& device : manager().outputDevices()) {
        section.push_back(id + "/deviceRow:" + device.uid);
    }
    section.push_back(id + "/equalizerButton");
    ASSERT_GT(section.size(), 3u);
    EXPECT_EQ(walk(int(section.size())), section);
    EXPECT_EQ(walk(int(section.size()), false).back(), id + "/outputDevicesButton");
}

TEST_F(KeyboardTest, ArrowsMoveBetweenRowsKeepingTheColumn) {
    open();
    const std::vector<AppRowView*> rows = list().rows();
    ASSERT_EQ(rows.size(), 3u);
    const std::string top = rows[0]->app().id;
    child(*rows[0], QStringLiteral("volumeSlider"))->setFocus();
    const float volume = rows[0]->shownState().volume;

    press(Qt::Key_Down);
    EXPECT_EQ(focused(), rows[1]->app().id + "/volumeSlider");
    press(Qt::Key_Down);
    press(Qt::Key_Down);
    EXPECT_EQ(focused(), rows[2]->app().id + "/volumeSlider");
    press(Qt::Key_Up);
    press(Qt::Key_Up);
    EXPECT_EQ(focused(), top + "/volumeSlider");
    // Nothing above the first row without a search field: the focus stays.
    press(Qt::Key_Up);
    EXPECT_EQ(focused(), top + "/volumeSlider");
    // Up and Down went to the rows, not to the volume; Left still sets it.
    EXPECT_FLOAT_EQ(rows[0]->shownState().volume, volume);
    press(Qt::Key_Left);
    EXPECT_LT(rows[0]->shownState().volume, volume);
}

TEST_F(KeyboardTest, EscapeClosesTheSectionHoldingTheFocusThenTheSearch) {
    open();
    AppRowView& first = *list().rows().front();
    first.setShowEQ(true);
    first.setShowOutputDevices(true);
    child(*first.outputDeviceSection(), QStringLiteral("systemDefaultRow"))->setFocus();

    press(Qt::Key_Escape);
    EXPECT_FALSE(first.showsOutputDevices());
    EXPECT_TRUE(first.showsEQ());
    EXPECT_EQ(focused(), first.app().id + "/outputDevicesButton");
    // The focus is in neither section now: the one still open goes.
    press(Qt::Key_Escape);
    EXPECT_FALSE(first.showsEQ());

    press(Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), "oth");
    ASSERT_EQ(manager().searchQuery(), "oth");
    ASSERT_EQ(list().rows().size(), 1u);
    press(Qt::Key_Escape);
    EXPECT_TRUE(manager().searchQuery().isEmpty());
    EXPECT_FALSE(list().searchFieldVisible());
    EXPECT_EQ(list().rows().size(), 3u);
    // Nothing left to close inside: the key goes on to the window.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(QApplication::focusWidget(), &escape);
    EXPECT_FALSE(escape.isAccepted());
}

TEST_F(KeyboardTest, MenuKeysOpenTheFocusedRowsMenu) {
    open();
    AppRowView& first = *list().rows().front();
    const auto menuOpen = [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        const bool open = menu && menu->objectName() == "appRowContextMenu";
        if (menu) {
            menu->close();
        }
        return open;
    };
    child(first, QStringLiteral("muteButton"))->setFocus();
    press(Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_TRUE(menuOpen());
    child(first, QStringLiteral("boostButton"))->setFocus();
    press(Qt::Key_Menu);
    EXPECT_TRUE(menuOpen());
    // As the platform sends it for the menu key.
    QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(1, 1), QPoint(1, 1));
    QApplication::sendEvent(QApplication::focusWidget(), &request);
    EXPECT_TRUE(menuOpen());
    // F10 alone is no menu key.
    press(Qt::Key_F10);
    EXPECT_FALSE(menuOpen());
}

class KeyboardWithEightApps : public KeyboardTest {
protected:
    KeyboardWithEightApps()
        : KeyboardTest(test::scenarioWithApps(8)) {}
};

TEST_F(KeyboardWithEightApps, CtrlFShowsFocusesAndScrollsToTheSearchField) {
    open();
    QScrollBar* scroll = list().scrollArea()->verticalScrollBar();
    ASSERT_GT(scroll->maximum(), 0) << "the rows must not all fit";
    scroll->setValue(scroll->maximum());
    list().rows().back()->focusOrder().front()->setFocus();

    press(Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(shown(child(list(), QStringLiteral("searchBar"))));
    EXPECT_EQ(focused(), "searchField");
    EXPECT_EQ(scroll->value(), 0);
    QTest::keyClicks(QApplication::focusWidget(), "07");
    EXPECT_EQ(manager().searchQuery(), "07");
    ASSERT_EQ(list().rows().size(), 1u);
    // Down goes from the field to the rows and Up back.
    press(Qt::Key_Down);
    EXPECT_EQ(focused(), "org.example.App07/outputDevicesButton");
    press(Qt::Key_Up);
    EXPECT_EQ(focused(), "searchField");
}

TEST_F(KeyboardTest, ReturnSavesTheNewProfile) {
    ProfileSwitcherView switcher(manager());
    switcher.show();
    switcher.setShowCreateSheet(true);
    QLineEdit* name = switcher.creationForm()->nameField();
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_TRUE(manager().profileManager().profiles().empty());
    EXPECT_TRUE(switcher.showCreateSheet());

    QTest::keyClicks(name, "Evening");
    QTest::keyClick(name, Qt::Key_Return);
    ASSERT_EQ(manager().profileManager().profiles().size(), 1u);
    EXPECT_EQ(manager().profileManager().profiles()[0].name, "Evening");
    EXPECT_FALSE(switcher.showCreateSheet());
}

TEST(ElidedText, TheWholeTextIsTheTooltipWhileCut) {
    toolkit::TextLabel label(QStringLiteral("Extremely Long Application Name"), QFont(),
                             toolkit::ColorSpec::primary());
    label.resize(40, 20);
    label.show();
    ASSERT_NE(label.displayedText(), label.text());
    EXPECT_EQ(label.toolTip(), label.text());
    // It takes the pointer so that the tooltip can show.
    EXPECT_FALSE(label.testAttribute(Qt::WA_TransparentForMouseEvents));

    label.resize(600, 20);
    EXPECT_EQ(label.displayedText(), label.text());
    EXPECT_TRUE(label.toolTip().isEmpty());
    EXPECT_TRUE(label.testAttribute(Qt::WA_TransparentForMouseEvents));
    label.setText(label.text().repeated(30));
    EXPECT_EQ(label.toolTip(), label.text());
}

} // namespace
} // namespace kestrelamp::test
