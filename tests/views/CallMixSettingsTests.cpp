#include "ViewTestSupport.h"

#include "views/CallMixSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QSlider>

namespace kestrelamp::test {
namespace {

using CallMixSettingsTest = ViewTest;

MicrophoneList twoMicrophones() {
    return [] {
        return std::vector<std::pair<QString, QString>>{{"usb-mic", "USB Microphone"},
                                                        {"headset", "Headset"}};
    };
}

// What the group writes is what the program's call mix takes up; a stored microphone that is
// away stays chosen, shown by its UID.
TEST_F(CallMixSettingsTest, TheGroupWritesWhatTheCallMixTakesAndKeepsAMicrophoneThatIsAway) {
    CallMixSettingsGroup group(world.defaults(), twoMicrophones());
    EXPECT_FALSE(group.onToggle()->isChecked());
    EXPECT_FALSE(group.microphonePicker()->isEnabled()) << "nothing to choose while it is off";
    QComboBox* picker = group.microphonePicker();
    ASSERT_EQ(picker->count(), 4);
    EXPECT_EQ(picker->currentText(), "None");

    group.onToggle()->click();
    EXPECT_TRUE(world.hardware().callMix().on);
    EXPECT_TRUE(picker->isEnabled());
    Q_EMIT picker->activated(picker->findData("usb-mic"));
    EXPECT_EQ(world.hardware().callMix().microphoneUID, "usb-mic");
    group.volumeSlider()->setValue(50);
    group.muteToggle()->click();
    EXPECT_FLOAT_EQ(world.hardware().callMix().microphoneVolume, 0.5f);
    EXPECT_TRUE(world.hardware().callMix().microphoneMuted);

    manager().callMix().setMicrophone(std::string("dock-mic"));
    CallMixSettingsGroup later(world.defaults(), twoMicrophones());
    EXPECT_EQ(later.microphonePicker()->currentData().toString(), "dock-mic");
    EXPECT_EQ(later.microphonePicker()->count(), 5);
    EXPECT_EQ(later.volumeSlider()->value(), 50);
}

} // namespace
} // namespace kestrelamp::test
