#include "app/Screenshot.h"
#include "platform/StoredFile.h"
#include "platform/UserDefaults.h"

#include "TempHome.h"

#include <QColor>
#include <QDir>
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

TEST_F(ScreenshotTest, StatesComeFromTheScenario) {
    const auto states = screenshotStates(scenarioPath);
    ASSERT_TRUE(states);
    ASSERT_EQ(states->size(), 1u);
    EXPECT_EQ((*states)[0].outputDeviceUIDs, std::vector<std::string>{"speakers"});
    EXPECT_TRUE(screenshotStates(std::nullopt)->empty());

    write(R"({ "processes": [] })");
    EXPECT_TRUE(screenshotStates(scenarioPath)->empty());
    write(R"({ "appStates": [ { "id": "x" } ] })");
    const auto broken = screenshotStates(scenarioPath);
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().message.rfind("--simulate: ", 0), 0u) << broken.error().message;
}

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

TEST_F(ScreenshotTest, RendersThePopoverOnEitherTabAndTheSettingsPages) {
    write(R"({
      "processes": [ { "bundleID": "org.example.Player", "pid": 10 } ],
      "runningApps": [ { "bundleID": "org.example.Player", "name": "Player" } ],
      "devices": [ { "uid": "speakers", "name": "Speakers", "transport": "bltn",
                     "sampleRate": 48000 } ],
      "profiles": [ { "id": "11111111-2222-3333-4444-555555555555", "name": "Evening",
                      "icon": "film", "routes": [] } ],
      "activeProfileID": "11111111-2222-3333-4444-555555555555"
    })");
    const auto profiles = screenshotProfiles(scenarioPath);
    ASSERT_TRUE(profiles) << profiles.error().message;
    ASSERT_EQ(profiles->profiles.size(), 1u);
    EXPECT_EQ(profiles->profiles[0].name, "Evening");
    EXPECT_EQ(profiles->activeProfileID,
              QUuid::fromString(QStringLiteral("11111111-2222-3333-4444-555555555555")));

    AudioWorld world = openWorld();
    for (const ScreenshotTab tab : {ScreenshotTab::apps, ScreenshotTab::profiles}) {
        ScreenshotRequest request;
        request.tab = tab;
        const auto image = renderScreenshot(request, world, scenarioPath);
        ASSERT_TRUE(image) << image.error().message;
        EXPECT_EQ(image->size() / image->devicePixelRatio(), QSize(320, 420));
    }
    ScreenshotRequest settings;
    settings.settingsPage = ScreenshotSettingsPage::update;
    const auto page = renderScreenshot(settings, world, scenarioPath);
    ASSERT_TRUE(page) << page.error().message;
    EXPECT_EQ(page->size() / page->devicePixelRatio(), QSize(520, 380));
    EXPECT_FALSE(QFile::exists(kestrelampDataFolder() + QStringLiteral("/profiles.json")));
    EXPECT_FALSE(QFile::exists(UserDefaults::defaultFilePath()));

    write(R"({ "activeProfileID": "yesterday" })");
    const auto broken = screenshotProfiles(scenarioPath);
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().message,
              "--simulate: " + scenarioPath + ": activeProfileID: not a UUID");
}

TEST(TrayIconScreenshot, ThePanelInItsThemeWithTheIconOnIt) {
    for (const ScreenshotTheme theme : {ScreenshotTheme::dark, ScreenshotTheme::light}) {
        ScreenshotRequest request;
        request.trayIcon = true;
        request.theme = theme;
        const QImage strip = renderTrayIcon(request);
        ASSERT_FALSE(strip.isNull());
        const int panel = QColor(strip.pixel(1, 1)).lightness();
        EXPECT_EQ(panel < 128, theme == ScreenshotTheme::dark);
        // Both icons stand out from the panel.
        for (const int left : {16, 76}) {
            int standingOut = 0;
            for (int y = 0; y < strip.height(); ++y) {
                for (int x = left; x < left + 44; ++x) {
                    standingOut += std::abs(QColor(strip.pixel(x, y)).lightness() - panel) > 60;
                }
            }
            EXPECT_GT(standingOut, 100) << "icon at " << left;
        }
    }
}

} // namespace
} // namespace kestrelamp
