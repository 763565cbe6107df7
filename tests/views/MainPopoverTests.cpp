#include "ViewTestSupport.h"

#include "platform/ScreenCapturePermission.h"
#include "views/MainPopoverView.h"
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

} // namespace
} // namespace kestrelamp::test
