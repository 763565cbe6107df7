#include "app/PopoverWindow.h"
#include "platform/ScreenCapturePermission.h"
#include "views/AppListView.h"
#include "views/AppRowView.h"

#include "RouteWorld.h"

#include <QApplication>
#include <QComboBox>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

using Presentation = PopoverWindow::Presentation;

class PopoverSizeTest : public testing::Test {
protected:
    explicit PopoverSizeTest(const std::string& scenario = test::standardScenario())
        : world(scenario)
        , popover(world.manager(), permission, Presentation::attached) {}

    void open() {
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        popover.showAttached(QRect(area.center().x(), area.top(), 24, 24), area);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&popover));
        settle();
    }
    // Size changes travel as layout requests, one level at a time.
    static void settle() {
        for (int pass = 0; pass < 4; ++pass) {
            QCoreApplication::processEvents();
        }
    }
    QScrollBar* listScroll() {
        return popover.view()->appList()->scrollArea()->verticalScrollBar();
    }
    static int screenCap() {
        return int(QGuiApplication::primaryScreen()->availableGeometry().height() *
                   PopoverWindow::kScreenShare);
    }

    test::RouteWorld world;
    ControllableScreenCapturePermission permission{true};
    PopoverWindow popover;
};

TEST_F(PopoverSizeTest, FollowsRowsAsTheyComeAndGo) {
    open();
    const int three = popover.height();
    EXPECT_LT(three, screenCap());
    EXPECT_GT(three, popover.view()->chromeHeight());
    // Everything shows without scrolling.
    EXPECT_EQ(listScroll()->maximum(), 0);

    world.manager().toggleIgnore(test::kQuiet);
    world.manager().toggleIgnore(test::kOther);
    settle();
    const int one = popover.height();
    EXPECT_LT(one, three);
    EXPECT_EQ(listScroll()->maximum(), 0);

    // An open equalizer makes it grow, and it shrinks back when it closes.
    AppRowView* row = popover.view()->appList()->rows().front();
    row->setShowEQ(true);
    settle();
    EXPECT_GT(popover.height(), one);
    EXPECT_EQ(listScroll()->maximum(), 0);
    row->setShowEQ(false);
    settle();
    EXPECT_EQ(popover.height(), one);
}

TEST_F(PopoverSizeTest, EscapeClosesTheOpenDropDownFirstThenThePopover) {
    open();
    popover.activateWindow();
    QComboBox* picker = popover.view()->devicePicker();
    picker->setFocus();
    picker->showPopup();
    QWidget* dropDown = QApplication::activePopupWidget();
    ASSERT_NE(dropDown, &popover);
    QTest::keyClick(dropDown->focusWidget() ? dropDown->focusWidget() : dropDown, Qt::Key_Escape);
    settle();
    EXPECT_TRUE(popover.isVisible());
    EXPECT_NE(QApplication::activePopupWidget(), dropDown);

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(popover.isVisible());
}

class PopoverWithManyApps : public PopoverSizeTest {
protected:
    PopoverWithManyApps()
        : PopoverSizeTest(test::scenarioWithApps(40)) {}
};

TEST_F(PopoverWithManyApps, StopsAtAShareOfTheScreenAndScrolls) {
    open();
    EXPECT_EQ(popover.height(), screenCap());
    EXPECT_GT(listScroll()->maximum(), 0);
    // More rows than the old fixed height held are in view.
    EXPECT_GT(popover.view()->appList()->rows().size(), 5u);
}

} // namespace
} // namespace kestrelamp
