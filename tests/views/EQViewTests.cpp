#include "ViewTestSupport.h"

#include "views/EQView.h"
#include "views/VerticalSlider.h"
#include "views/toolkit/TextLabel.h"

namespace kestrelamp::test {
namespace {

using toolkit::TextLabel;

QPoint trackPoint(const VerticalSlider& slider, qreal y) {
    const QRectF track = slider.trackRect();
    return QPoint(int(track.center().x()), int(std::lround(track.top() + y)));
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

} // namespace
} // namespace kestrelamp::test
