#include "ViewTestSupport.h"

#include "views/ProfileSwitcherView.h"
#include "views/toolkit/SymbolImage.h"
#include "views/toolkit/TextLabel.h"

#include <QLineEdit>

namespace kestrelamp {
namespace {

using test::child;
using test::click;
using toolkit::SymbolImage;
using toolkit::TextLabel;

class ProfileSwitcherTest : public test::ViewTest {
protected:
    ProfileManager& profiles() { return manager().profileManager(); }

    std::unique_ptr<ProfileSwitcherView> openSwitcher() {
        auto view = std::make_unique<ProfileSwitcherView>(manager());
        view->resize(320, 360);
        view->show();
        return view;
    }

    static QString rowText(ProfileRow* row, const char* objectName) {
        return child<TextLabel>(*row, QLatin1String(objectName))->text();
    }
};

TEST_F(ProfileSwitcherTest, RowsCountAppsAndMarkTheActiveProfile) {
    const auto profileWith = [](const char* name, std::vector<std::string> apps) {
        AudioProfile profile;
        profile.id = QUuid::createUuid();
        profile.name = name;
        profile.icon = "headphones";
        for (const std::string& app : apps) {
            AppAudioState state;
            state.id = app;
            state.outputDeviceUIDs = {"hdmi"};
            profile.routes.push_back(state);
        }
        return profile;
    };
    const AudioProfile one = profileWith("One", {"org.example.Player"});
    const AudioProfile three =
        profileWith("Three", {"org.example.Player", "org.example.Other", "org.example.Quiet"});
    const AudioProfile none = profileWith("None", {});
    profiles().setProfiles({one, three, none});

    auto view = openSwitcher();
    std::vector<ProfileRow*> rows = view->rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rowText(rows[0], "profileAppCount"), "1 app");
    EXPECT_EQ(rowText(rows[1], "profileAppCount"), "3 apps");
    EXPECT_EQ(rowText(rows[2], "profileAppCount"), "0 apps");
    // No divider after the last row.
    EXPECT_EQ(view->findChild<QWidget*>("profileDivider:" + none.id.toString(QUuid::WithoutBraces)),
              nullptr);
    for (ProfileRow* row : rows) {
        EXPECT_FALSE(row->isActive());
        EXPECT_EQ(row->findChild<SymbolImage*>(QStringLiteral("activeCheck")), nullptr);
    }

    click(rows[0]);
    EXPECT_EQ(profiles().activeProfileID(), one.id);
    EXPECT_EQ(manager().state("org.example.Player")->outputDeviceUIDs,
              std::vector<std::string>{"hdmi"});
    rows = view->rows();
    ASSERT_TRUE(rows[0]->isActive());
    EXPECT_NE(rows[0]->findChild<SymbolImage*>(QStringLiteral("activeCheck")), nullptr);

    // Saving another leaves the active one as it was, the new row last and unmarked.
    manager().saveCurrentAsProfile("Later", "mic");
    rows = view->rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_TRUE(rows[0]->isActive());
    EXPECT_FALSE(rows[3]->isActive());
    EXPECT_EQ(rows[3]->profile().name, "Later");
}

} // namespace
} // namespace kestrelamp
