#include "ViewTestSupport.h"

#include "platform/ScreenCapturePermission.h"
#include "views/AppListView.h"
#include "views/MainPopoverView.h"
#include "views/ProfileSwitcherView.h"
#include "views/toolkit/SegmentedControl.h"
#include "views/toolkit/Switch.h"
#include "views/toolkit/SymbolImage.h"

#include <QComboBox>
#include <QSignalSpy>

namespace kestrelamp {
namespace {

using test::child;
using test::click;
using Tab = MainPopoverView::Tab;

class MainPopoverTest : public test::ViewTest {
protected:
    using ViewTest::ViewTest;

    std::unique_ptr<MainPopoverView> openPopover(Tab tab = Tab::apps) {
        auto view = std::make_unique<MainPopoverView>(manager(), permission, tab);
        view->show();
        return view;
    }
    static QString shownSymbol(const MainPopoverView& view) {
        return view.headerSymbolImage()->symbol();
    }

    ControllableScreenCapturePermission permission{true};
};

TEST_F(MainPopoverTest, FooterActions) {
    auto view = openPopover();

    QSignalSpy settings(view.get(), &MainPopoverView::settingsRequested);
    QSignalSpy quit(view.get(), &MainPopoverView::quitRequested);
    click(child(*view, QStringLiteral("settingsButton")));
    click(child(*view, QStringLiteral("quitButton")));
    EXPECT_EQ(settings.count(), 1);
    EXPECT_EQ(quit.count(), 1);

    // The refresh button drops an application that has gone since.
    ASSERT_NE(manager().app("org.example.Quiet"), nullptr);
    world.hardware().removeProcess(world.hardware().processID("org.example.Quiet"));
    click(child(*view, QStringLiteral("refreshButton")));
    EXPECT_EQ(manager().app("org.example.Quiet"), nullptr);
}

TEST_F(MainPopoverTest, PickerShowsAndSetsTheDefaultDevice) {
    auto view = openPopover();
    QComboBox* picker = view->devicePicker();
    ASSERT_EQ(picker->count(), 3);
    EXPECT_EQ(picker->itemText(1), "Headphones");
    EXPECT_EQ(view->selectedDeviceUID(), "speakers");
    EXPECT_EQ(picker->currentData().toString(), "speakers");
    EXPECT_EQ(shownSymbol(*view), "laptopcomputer");

    Q_EMIT picker->activated(1);
    EXPECT_EQ(manager().defaultOutputDevice()->uid, "headphones");
    EXPECT_EQ(world.hardware().defaultOutputDevice(), world.device("headphones"));
    EXPECT_EQ(picker->currentData().toString(), "headphones");
    EXPECT_EQ(shownSymbol(*view), "headphones");

    // An empty choice changes nothing.
    view->chooseDevice("");
    EXPECT_EQ(manager().defaultOutputDevice()->uid, "headphones");
}

TEST_F(MainPopoverTest, ShowOnlyLiveIsBoundBothWays) {
    auto view = openPopover();
    toolkit::Switch* live = view->liveSwitch();
    EXPECT_FALSE(live->isChecked());
    click(live);
    EXPECT_TRUE(manager().showOnlyLive());
    EXPECT_TRUE(world.defaults().boolForKey("showOnlyLive"));
    // Only the playing applications are listed now.
    ASSERT_NE(view->appList(), nullptr);
    EXPECT_EQ(view->appList()->rows().size(), 2u);

    manager().setShowOnlyLive(false);
    EXPECT_FALSE(live->isChecked());
    EXPECT_EQ(view->appList()->rows().size(), 3u);
}

TEST_F(MainPopoverTest, TabsReplaceTheContentAndTheListStartsAfresh) {
    auto view = openPopover();
    AppListView* first = view->appList();
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(first->searchFieldVisible());
    EXPECT_TRUE(first->hasScreenCapturePermission());
    EXPECT_EQ(view->profileSwitcher(), nullptr);

    QTest::mouseClick(view->tabSwitcher(), Qt::LeftButton, Qt::NoModifier,
                      view->tabSwitcher()->segmentRect(1).center());
    EXPECT_EQ(view->selectedTab(), Tab::profiles);
    EXPECT_EQ(view->appList(), nullptr);
    ASSERT_NE(view->profileSwitcher(), nullptr);
    EXPECT_TRUE(view->profileSwitcher()->isVisible());

    // Back on Apps the list is a new one, which reads the permission again.
    permission.setGranted(false);
    view->setSelectedTab(Tab::apps);
    ASSERT_NE(view->appList(), nullptr);
    EXPECT_FALSE(view->appList()->searchFieldVisible());
    EXPECT_FALSE(view->appList()->hasScreenCapturePermission());
    EXPECT_EQ(view->tabSwitcher()->currentIndex(), 0);
}

} // namespace
} // namespace kestrelamp
