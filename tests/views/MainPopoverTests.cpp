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

} // namespace
} // namespace kestrelamp
