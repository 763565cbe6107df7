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
      "outputDeviceUIDs": ["speakers"] }
  ]
})";

// The option ships with the program: the scenario's states must never reach the user's own files.
TEST(Screenshot, RendersTheListWithoutTouchingTheUsersFiles) {
    QTemporaryDir dir;
    const std::string scenarioPath = dir.filePath(QStringLiteral("scenario.json")).toStdString();
    ASSERT_TRUE(test::writeFile(QString::fromStdString(scenarioPath), kScenario));
    auto world = openAudioWorld(scenarioPath);
    ASSERT_TRUE(world);
    const auto states = screenshotStates(scenarioPath);
    ASSERT_TRUE(states);

    const auto picture = renderAppList({}, *world, *states);
    ASSERT_TRUE(picture) << picture.error().message;
    EXPECT_EQ(picture->width(), 320 * int(picture->devicePixelRatio()));
    EXPECT_GT(picture->height(), 80);
    EXPECT_FALSE(QFile::exists(kestrelampDataFolder() + QStringLiteral("/appStates.json")));
}

} // namespace
} // namespace kestrelamp
