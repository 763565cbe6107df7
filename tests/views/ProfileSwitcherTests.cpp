#include "ViewTestSupport.h"

#include "views/ProfileSwitcherView.h"
#include "views/toolkit/SymbolImage.h"
#include "views/toolkit/TextLabel.h"

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

TEST_F(ProfileSwitcherTest, ClickingARowAppliesItAndMarksItAloneActive) {
    AudioProfile one;
    one.id = QUuid::createUuid();
    one.name = "One";
    AppAudioState player;
    player.id = "org.example.Player";
    player.outputDeviceUIDs = {"hdmi"};
    one.routes.push_back(player);
    AudioProfile none = one;
    none.id = QUuid::createUuid();
    none.routes.clear();
    profiles().setProfiles({one, none});

    auto view = openSwitcher();
    std::vector<ProfileRow*> rows = view->rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rowText(rows[0], "profileAppCount"), "1 app");
    for (ProfileRow* row : rows) {
        EXPECT_FALSE(row->isActive());
    }
    click(rows[0]);
    EXPECT_EQ(profiles().activeProfileID(), one.id);
    EXPECT_EQ(manager().state("org.example.Player")->outputDeviceUIDs,
              std::vector<std::string>{"hdmi"});
    rows = view->rows();
    ASSERT_TRUE(rows[0]->isActive());
    EXPECT_NE(rows[0]->findChild<SymbolImage*>(QStringLiteral("activeCheck")), nullptr);
    EXPECT_FALSE(rows[1]->isActive());
}

} // namespace
} // namespace kestrelamp
