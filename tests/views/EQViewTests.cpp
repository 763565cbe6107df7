#include "ViewTestSupport.h"

#include "views/EQView.h"
#include "views/VerticalSlider.h"
#include "views/toolkit/TextLabel.h"

#include <QComboBox>
#include <QSignalSpy>

namespace kestrelamp {
namespace {

using test::child;
using toolkit::TextLabel;

using test::kPlayer;

QPoint trackPoint(const VerticalSlider& slider, qreal y) {
    const QRectF track = slider.trackRect();
    return QPoint(int(track.center().x()), int(std::lround(track.top() + y)));
}

TEST(VerticalSliderInput, ClickSetsAtOnceAndDragStaysWithinTheRange) {
    VerticalSlider slider(-24, 24);
    slider.resize(22, slider.sizeHint().height());
    EXPECT_DOUBLE_EQ(slider.trackRect().height(), VerticalSlider::kTrackHeight);
    QSignalSpy edits(&slider, &VerticalSlider::valueEdited);

    QTest::mousePress(&slider, Qt::LeftButton, {}, trackPoint(slider, 0));
    EXPECT_FLOAT_EQ(slider.value(), 24.0f);
    QTest::mouseMove(&slider, trackPoint(slider, 40));
    EXPECT_FLOAT_EQ(slider.value(), 0.0f);
    QTest::mouseMove(&slider, trackPoint(slider, 80));
    EXPECT_FLOAT_EQ(slider.value(), -24.0f);
    QTest::mouseMove(&slider, trackPoint(slider, 200));
    EXPECT_FLOAT_EQ(slider.value(), -24.0f);
    QTest::mouseMove(&slider, trackPoint(slider, -60));
    EXPECT_FLOAT_EQ(slider.value(), 24.0f);
    QTest::mouseRelease(&slider, Qt::LeftButton, {}, trackPoint(slider, -60));
    EXPECT_EQ(edits.count(), 5);

    // Shown values are not edits.
    slider.setValue(3);
    EXPECT_EQ(edits.count(), 5);
    // A track of no height gives the bottom rather than a division by zero.
    EXPECT_FLOAT_EQ(VerticalSlider::valueAt(10, 0, -24, 24), -24.0f);
}

class EQViewTest : public test::ViewTest {
protected:
    void SetUp() override { manager().setOutputDevices(kPlayer, {"speakers"}); }

    std::unique_ptr<EQView> openView(const std::string& id = kPlayer) {
        auto view = std::make_unique<EQView>(id, manager());
        view->resize(304, view->sizeHint().height());
        view->show();
        return view;
    }
    static VerticalSlider* slider(EQView& view, int band) {
        return child<VerticalSlider>(view, QStringLiteral("eqBandSlider%1").arg(band));
    }
    static QString gain(EQView& view, int band) {
        return child<TextLabel>(view, QStringLiteral("eqBandGain%1").arg(band))->text();
    }
    static QComboBox* picker(EQView& view) {
        return child<QComboBox>(view, QStringLiteral("eqPresetPicker"));
    }
    std::optional<QUuid> storedPreset() { return manager().state(kPlayer)->eqPresetID; }
};

TEST_F(EQViewTest, EveryDragStepSetsThatBandOnTheEngine) {
    auto view = openView();
    VerticalSlider* low = slider(*view, 2);
    QTest::mousePress(low, Qt::LeftButton, {}, trackPoint(*low, 20));
    EXPECT_FLOAT_EQ(manager().getEQBands(kPlayer)[2], 12.0f);
    EXPECT_EQ(gain(*view, 2), "12");
    QTest::mouseMove(low, trackPoint(*low, 30));
    EXPECT_FLOAT_EQ(manager().getEQBands(kPlayer)[2], 6.0f);
    QTest::mouseMove(low, trackPoint(*low, 70));
    EXPECT_FLOAT_EQ(manager().getEQBands(kPlayer)[2], -18.0f);
    QTest::mouseRelease(low, Qt::LeftButton, {}, trackPoint(*low, 70));
    EXPECT_FLOAT_EQ(view->bands()[2], -18.0f);
    // Single bands are not settings: nothing stored.
    EXPECT_FALSE(storedPreset());
}

TEST_F(EQViewTest, MovingOneBandAfterAPresetTurnsThePickerToCustomAndKeepsTheRest) {
    auto view = openView();
    picker(*view)->setCurrentIndex(2); // Bass Boost
    EXPECT_EQ(storedPreset(), EQPreset::bassBoost().id);
    EXPECT_FLOAT_EQ(manager().getEQBands(kPlayer)[0], 6.0f);
    EXPECT_EQ(gain(*view, 1), "5");

    VerticalSlider* top = slider(*view, 9);
    QTest::mouseClick(top, Qt::LeftButton, {}, trackPoint(*top, 0));
    EXPECT_EQ(picker(*view)->currentText(), "Custom");
    EXPECT_FALSE(view->selectedPreset());
    const std::vector<float> bands = manager().getEQBands(kPlayer);
    EXPECT_FLOAT_EQ(bands[0], 6.0f);
    EXPECT_FLOAT_EQ(bands[1], 5.0f);
    EXPECT_FLOAT_EQ(bands[9], 24.0f);
    // Choosing "Custom" stores nothing: the preset chosen before stays.
    EXPECT_EQ(storedPreset(), EQPreset::bassBoost().id);
}

TEST_F(EQViewTest, FlatResetsEveryBandAndStoresTheFlatPreset) {
    auto view = openView();
    picker(*view)->setCurrentIndex(4); // Podcast
    QSignalSpy stateChanges(&manager(), &AudioRouteManager::appStatesChanged);
    test::click(child(*view, QStringLiteral("eqFlatButton")));
    EXPECT_EQ(storedPreset(), EQPreset::flat().id);
    EXPECT_EQ(manager().getEQBands(kPlayer), std::vector<float>(10, 0.0f));
    EXPECT_EQ(gain(*view, 4), "0");
    EXPECT_EQ(picker(*view)->currentText(), "Flat");
    // The picker's own change handler applies flat a second time.
    EXPECT_EQ(stateChanges.count(), 2);

    stateChanges.clear();
    test::click(child(*view, QStringLiteral("eqFlatButton")));
    EXPECT_EQ(stateChanges.count(), 1);
}

} // namespace
} // namespace kestrelamp
