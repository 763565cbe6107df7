#include "ViewTestSupport.h"

#include "views/AppRowView.h"
#include "views/OutputDeviceSection.h"
#include "views/VUMeterView.h"
#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/TextLabel.h"

namespace kestrelamp::test {
namespace {

using toolkit::BorderlessButton;
using toolkit::TextLabel;

class AppRowTest : public test::ViewTest {
protected:
    const AppAudioState& state(const std::string& id = kPlayer) { return *manager().state(id); }

    std::unique_ptr<AppRowView> makeRow(const std::string& id = kPlayer) {
        auto row = std::make_unique<AppRowView>(*manager().app(id), manager());
        row->resize(320, row->sizeHint().height());
        row->show();
        return row;
    }
    static BorderlessButton* button(AppRowView& row, const char* name) {
        return child<BorderlessButton>(row, QLatin1String(name));
    }
    // What the device's line says under its name; empty when it says nothing.
    static QString connection(OutputDeviceSection& section, const std::string& uid) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QWidget* device =
            section.findChild<QWidget*>(QStringLiteral("deviceRow:%1").arg(uid.c_str()));
        if (!device) {
            return QStringLiteral("no row");
        }
        auto* status = child<TextLabel>(*device, QStringLiteral("deviceStatus"));
        return shown(status) ? status->text() : QString();
    }
};

TEST_F(AppRowTest, DeviceRowsAddAndRemoveRoutes) {
    auto row = makeRow();
    click(button(*row, "outputDevicesButton"));
    OutputDeviceSection* section = row->outputDeviceSection();
    ASSERT_NE(section, nullptr);

    click(child(*section, QStringLiteral("deviceRow:headphones")));
    EXPECT_EQ(state().outputDeviceUIDs, std::vector<std::string>{"headphones"});

    click(child(*section, QStringLiteral("deviceRow:hdmi")));
    EXPECT_EQ(state().outputDeviceUIDs, (std::vector<std::string>{"headphones", "hdmi"}));
    click(child(*section, QStringLiteral("deviceRow:headphones")));
    EXPECT_EQ(state().outputDeviceUIDs, std::vector<std::string>{"hdmi"});

    click(child(*section, QStringLiteral("systemDefaultRow")));
    EXPECT_TRUE(state().outputDeviceUIDs.empty());
}

TEST_F(AppRowTest, ATickedDeviceWhoseRouteCarriesNothingSaysWhy) {
    auto row = makeRow();
    click(button(*row, "outputDevicesButton"));
    OutputDeviceSection& section = *row->outputDeviceSection();
    click(child(section, QStringLiteral("deviceRow:headphones")));
    EXPECT_EQ(connection(section, "headphones"), "");

    world.hardware().failOperation(hal::SimulatedOperation::createProcessTap, -1);
    click(child(section, QStringLiteral("deviceRow:hdmi")));
    EXPECT_EQ(connection(section, "hdmi"), "Not connected: Failed to create audio tap: -1");
    EXPECT_EQ(connection(section, "speakers"), "") << "not ticked";
    // Folded, the row still tells.
    EXPECT_TRUE(
        button(*row, "outputDevicesButton")->toolTip().contains("Failed to create audio tap"));

    world.hardware().clearFailures();
    world.hardware().removeDevice(world.device("headphones"));
    manager().refreshAudioApps();
    EXPECT_EQ(connection(section, "headphones"), "Not connected: waiting for the device");
    EXPECT_EQ(connection(section, "hdmi"), "") << "tried again once the devices changed";

    // While a helper of it still plays there, the device carries the application.
    world.hardware().removeProcess(world.hardware().processID(kPlayer));
    manager().refreshAudioApps();
    EXPECT_EQ(connection(section, "hdmi"), "");
    world.hardware().removeProcess(world.hardware().processID(test::kHelper));
    manager().refreshAudioApps();
    EXPECT_EQ(connection(section, "hdmi"), "Not connected: waiting for the application");
}

TEST_F(AppRowTest, AnUnroutedRowsMeterShowsSilenceUntilItsSettingsAct) {
    auto row = makeRow();
    auto* meter = child<InlineVUMeter>(*row, QStringLiteral("levelMeter"));
    EXPECT_FLOAT_EQ(meter->level(), -96.0f);
    // Unrouted, the route of ours on the default output meters it once a setting acts on it.
    click(button(*row, "boostButton"));
    world.render();
    manager().eqProcessor().deliverLevels();
    // A sine at half of full scale, boosted twice.
    EXPECT_GT(meter->level(), -20.0f);
    EXPECT_GE(meter::litBarCount(meter->level(), 6), 5);
    EXPECT_TRUE(state().outputDeviceUIDs.empty());
}

} // namespace
} // namespace kestrelamp::test
