#include "ViewTestSupport.h"

#include "platform/ScreenCapturePermission.h"
#include "views/MainPopoverView.h"
#include "views/toolkit/Switch.h"
#include "views/toolkit/SymbolImage.h"

#include <QComboBox>

namespace kestrelamp::test {
namespace {

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

// The footer's switch offers the call mix: the service makes it, it is stored, and the switch
// follows a change made elsewhere (ctl, the settings window).
TEST_F(MainPopoverTest, CallMixSwitchTurnsTheCallMixOnAndFollowsOtherChanges) {
    auto view = openPopover();
    toolkit::Switch* callMix = view->callMixSwitch();
    ASSERT_NE(callMix, nullptr);
    EXPECT_FALSE(callMix->isChecked());
    EXPECT_FALSE(world.hardware().callMix().on);

    QTest::mouseClick(callMix, Qt::LeftButton);
    EXPECT_TRUE(world.hardware().callMix().on);
    EXPECT_NE(world.device(hal::kCallMixDeviceUID), hal::kAudioObjectUnknown);
    EXPECT_TRUE(world.defaults().boolForKey(UserDefaults::callMixOnKey));

    manager().callMix().setOn(false);
    EXPECT_FALSE(callMix->isChecked());
    EXPECT_EQ(world.device(hal::kCallMixDeviceUID), hal::kAudioObjectUnknown);
}

} // namespace
} // namespace kestrelamp::test
