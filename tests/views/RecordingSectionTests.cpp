#include "ViewTestSupport.h"

#include "platform/ScreenCapturePermission.h"
#include "views/AppListView.h"
#include "views/AppRowView.h"
#include "views/RecordingRowView.h"
#include "views/RecordingSectionView.h"
#include "views/VUMeterView.h"
#include "views/VolumeSlider.h"

#include <QComboBox>

#include <cmath>

namespace kestrelamp::test {
namespace {

constexpr const char* kRecorder = "org.example.Recorder";

class RecordingSectionTest : public ViewTest {
protected:
    std::unique_ptr<AppListView> openList() {
        auto list = std::make_unique<AppListView>(manager(), granted);
        list->resize(320, 600);
        list->show();
        return list;
    }
    // The service's notices reach the main thread.
    void settle() {
        world.hardware().waitForListeners();
        waitUntil([] { return false; }, 20);
    }
    const RecordingApp& recording() { return *manager().recordings().recording(kRecorder); }

    LinuxScreenCapturePermission granted;
};

TEST_F(RecordingSectionTest, ShownWhileSomethingRecordsAndItsControlsReachTheRecordingControl) {
    world.hardware().addDevice({"usb-mic", "USB Microphone", "", 0, 1});
    auto list = openList();
    RecordingSectionView* section = list->recordingSection();
    EXPECT_FALSE(shown(section));

    world.hardware().addRecorder({kRecorder, "Recorder", 50, -20});
    settle();
    ASSERT_TRUE(shown(section));
    RecordingRowView* row = section->row(kRecorder);
    ASSERT_NE(row, nullptr);
    QComboBox* chooser = row->inputChooser();
    ASSERT_EQ(chooser->count(), 2);
    EXPECT_EQ(chooser->itemText(0), "System Default");
    EXPECT_EQ(chooser->itemText(1), "USB Microphone");

    Q_EMIT chooser->activated(1);
    EXPECT_EQ(recording().choice.inputUID, "usb-mic");
    EXPECT_EQ(world.hardware().recordingChoices().at(kRecorder).inputUID, "usb-mic");
    click(child(*row, QStringLiteral("recordingMuteButton")));
    EXPECT_TRUE(recording().choice.muted);
    Q_EMIT child<VolumeSlider>(*row, QStringLiteral("recordingVolume"))->valueEdited(0.25f);
    EXPECT_EQ(recording().choice.volume, 0.25f);
    EXPECT_EQ(section->row(kRecorder), row) << "the row is kept";
    EXPECT_EQ(chooser->currentIndex(), 1);

    // The call mix is offered while it is on; the rows come after the players in Tab order.
    manager().callMix().setOn(true);
    settle();
    EXPECT_EQ(chooser->count(), 3);
    const QList<QWidget*> order = list->focusOrder(nullptr);
    ASSERT_TRUE(order.contains(chooser));
    EXPECT_GT(order.indexOf(chooser),
              order.indexOf(child(*list->rows().back(), QStringLiteral("boostButton"))));

    // The meter shows what the application receives, at the volume set above.
    EXPECT_LE(row->level(), meter::kSilenceDb);
    click(child(*row, QStringLiteral("recordingMuteButton")));
    manager().setLevelsWatched(true);
    EXPECT_TRUE(waitUntil([&] {
        world.render(2);
        return std::abs(row->level() + 32.0f) < 0.1f;
    })) << row->level();

    world.hardware().removeRecorder(kRecorder);
    settle();
    EXPECT_FALSE(shown(section));
    EXPECT_EQ(section->rowCount(), 0u);
}

} // namespace
} // namespace kestrelamp::test
