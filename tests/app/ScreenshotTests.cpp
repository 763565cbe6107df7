#include "app/Screenshot.h"
#include "platform/StoredFile.h"

#include "TempHome.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

constexpr const char* kScenario = R"({
  "processes": [
    { "bundleID": "org.example.Player", "pid": 10,
      "signal": { "type": "sine", "frequency": 440, "amplitude": 0.5 } },
    { "bundleID": "org.example.Quiet", "pid": 11, "running": false }
  ],
  "runningApps": [
    { "bundleID": "org.example.Player", "name": "Player" },
    { "bundleID": "org.example.Quiet", "name": "Quiet" }
  ],
  "devices": [ { "uid": "speakers", "name": "Speakers", "transport": "bltn", "sampleRate": 48000 } ],
  "defaultOutput": "speakers",
  "appStates": [
    { "id": "org.example.Player", "displayName": "Player", "volume": 0.5, "isMuted": false,
      "outputDeviceUIDs": ["speakers"], "isPinned": false, "isIgnored": false,
      "boostMultiplier": 1 }
  ]
})";

class ScreenshotTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        scenarioPath = dir.filePath(QStringLiteral("scenario.json")).toStdString();
        write(kScenario);
    }
    void write(const char* contents) {
        QFile file(QString::fromStdString(scenarioPath));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(contents);
    }
    AudioWorld openWorld() {
        auto world = openAudioWorld(scenarioPath);
        EXPECT_TRUE(world);
        return std::move(*world);
    }
    Expected<QImage, ScreenshotError> render(const ScreenshotRequest& request) {
        AudioWorld world = openWorld();
        const auto states = screenshotStates(scenarioPath);
        EXPECT_TRUE(states);
        return renderAppList(request, world, *states);
    }

    QTemporaryDir dir;
    std::string scenarioPath;
};

TEST_F(ScreenshotTest, RendersTheListWithoutTouchingTheUsersFiles) {
    const auto collapsed = render({});
    ASSERT_TRUE(collapsed) << collapsed.error().message;
    EXPECT_EQ(collapsed->width(), 320 * int(collapsed->devicePixelRatio()));
    EXPECT_GT(collapsed->height(), 80);

    ScreenshotRequest expand;
    expand.expandedApps = {"org.example.Player"};
    expand.theme = ScreenshotTheme::dark;
    const auto expanded = render(expand);
    ASSERT_TRUE(expanded) << expanded.error().message;
    EXPECT_GT(expanded->height(), collapsed->height() + 150);
    // Dark background at the bottom corner.
    EXPECT_LT(expanded->pixelColor(2, expanded->height() - 2).lightness(), 80);

    EXPECT_FALSE(QFile::exists(kestrelampDataFolder() + QStringLiteral("/appStates.json")));

    ScreenshotRequest unlisted;
    unlisted.expandedApps = {"org.example.Nobody"};
    const auto refused = render(unlisted);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message,
              "--expand: 'org.example.Nobody' is not in the application list");
}

} // namespace
} // namespace kestrelamp
