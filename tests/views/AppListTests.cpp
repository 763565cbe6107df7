#include "ViewTestSupport.h"

#include "platform/ScreenCapturePermission.h"
#include "views/AppListView.h"
#include "views/AppRowView.h"
#include "views/VUMeterView.h"
#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/SymbolImage.h"
#include "views/toolkit/TextLabel.h"

#include <QLineEdit>
#include <QMenu>

namespace kestrelamp {
namespace {

using test::child;
using test::click;
using test::RouteWorld;
using test::shown;
using toolkit::SymbolImage;
using toolkit::TextLabel;

using test::kOther;
using test::kPlayer;
using test::kQuiet;

std::vector<std::string> idsOf(const std::vector<AppRowView*>& rows) {
    std::vector<std::string> ids;
    for (const AppRowView* row : rows) {
        ids.push_back(row->app().id);
    }
    return ids;
}

class AppListTest : public test::ViewTest {
protected:
    using ViewTest::ViewTest;

    std::unique_ptr<AppListView> openList(ScreenCapturePermission& permission) {
        auto list = std::make_unique<AppListView>(manager(), permission);
        list->resize(320, 420);
        list->show();
        return list;
    }
    std::unique_ptr<AppListView> openList() { return openList(granted); }

    static bool searchBarShown(const AppListView& list) {
        return shown(child(list, QStringLiteral("searchBar")));
    }
    static void pressCtrlF(AppListView& list) {
        list.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&list));
        QTest::keyClick(&list, Qt::Key_F, Qt::ControlModifier);
    }

    LinuxScreenCapturePermission granted;
};

TEST_F(AppListTest, RowsFollowTheFilteredOrderWithDividersBetween) {
    manager().togglePin(kQuiet);
    auto list = openList();
    EXPECT_EQ(idsOf(list->rows()), (std::vector<std::string>{kQuiet, kOther, kPlayer}));
    EXPECT_TRUE(shown(child(*list, QStringLiteral("rowDivider:org.example.Quiet"))));
    EXPECT_TRUE(shown(child(*list, QStringLiteral("rowDivider:org.example.Other"))));
    EXPECT_FALSE(shown(child(*list, QStringLiteral("rowDivider:org.example.Player"))));
    EXPECT_FALSE(shown(child(*list, QStringLiteral("emptyState"))));
    EXPECT_FALSE(shown(child(*list, QStringLiteral("permissionPrompt"))));
}

TEST_F(AppListTest, ReorderingKeepsRowsAndTheirOpenSections) {
    auto list = openList();
    AppRowView* player = list->row(kPlayer);
    player->setShowEQ(true);
    manager().togglePin(kPlayer);
    EXPECT_EQ(idsOf(list->rows()).front(), kPlayer);
    EXPECT_EQ(list->row(kPlayer), player);
    EXPECT_TRUE(player->showsEQ());
    EXPECT_FALSE(shown(child(*list, QStringLiteral("rowDivider:org.example.Quiet"))));
    EXPECT_TRUE(shown(child(*list, QStringLiteral("rowDivider:org.example.Player"))));
}

TEST_F(AppListTest, SearchFieldFiltersThroughTheManager) {
    manager().setSearchQuery(QStringLiteral("oth"));
    auto list = openList();
    auto* field = child<QLineEdit>(*list, QStringLiteral("searchField"));
    EXPECT_EQ(field->text(), "oth");
    EXPECT_EQ(idsOf(list->rows()), std::vector<std::string>{kOther});

    field->clear();
    QTest::keyClicks(field, "QUI");
    EXPECT_EQ(manager().searchQuery(), "QUI");
    EXPECT_EQ(idsOf(list->rows()), std::vector<std::string>{kQuiet});
}

TEST_F(AppListTest, EmptyStatesDependOnTheLiveOnlyFlag) {
    manager().setSearchQuery(QStringLiteral("zzz"));
    auto list = openList();
    ASSERT_TRUE(shown(child(*list, QStringLiteral("emptyState"))));
    EXPECT_FALSE(shown(child(*list, QStringLiteral("appRows"))));
    auto* title = child<TextLabel>(*list, QStringLiteral("emptyStateTitle"));
    const QString anyApps = title->text();
    EXPECT_EQ(child<SymbolImage>(*list, QStringLiteral("emptyStateSymbol"))->symbol(),
              "speaker.slash");

    manager().setShowOnlyLive(true);
    EXPECT_EQ(child<SymbolImage>(*list, QStringLiteral("emptyStateSymbol"))->symbol(),
              "waveform.slash");
    EXPECT_NE(title->text(), anyApps);

    manager().setSearchQuery(QString());
    EXPECT_EQ(idsOf(list->rows()), (std::vector<std::string>{kOther, kPlayer}));
}

TEST_F(AppListTest, IgnoredFooterCountsAndBringsApplicationsBack) {
    auto list = openList();
    QWidget* footer = child(*list, QStringLiteral("ignoredFooter"));
    EXPECT_FALSE(shown(footer));

    manager().toggleIgnore(kQuiet);
    ASSERT_TRUE(shown(footer));
    EXPECT_EQ(child<TextLabel>(*footer, QStringLiteral("ignoredCount"))->text(), "1 ignored app");
    EXPECT_EQ(list->row(kQuiet), nullptr);

    manager().toggleIgnore(kPlayer);
    EXPECT_EQ(child<TextLabel>(*footer, QStringLiteral("ignoredCount"))->text(), "2 ignored apps");

    auto* menu = child<QMenu>(*footer, QStringLiteral("showIgnoredMenu"));
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), "Player");
    EXPECT_EQ(menu->actions()[1]->text(), "Quiet");
    menu->actions()[1]->trigger();
    EXPECT_FALSE(manager().state(kQuiet)->isIgnored);
    EXPECT_NE(list->row(kQuiet), nullptr);
    EXPECT_EQ(child<TextLabel>(*footer, QStringLiteral("ignoredCount"))->text(), "1 ignored app");
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), "Player");

    menu->actions()[0]->trigger();
    EXPECT_FALSE(shown(footer));
}

TEST_F(AppListTest, IgnoringFromARowRemovesItSafely) {
    auto list = openList();
    AppRowView* quiet = list->row(kQuiet);
    QPointer<AppRowView> guard(quiet);
    quiet->setShowOutputDevices(true);
    manager().toggleIgnore(kQuiet);
    EXPECT_EQ(list->row(kQuiet), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull());
    EXPECT_EQ(list->rows().size(), 2u);
}

class SearchBarAt : public AppListTest, public testing::WithParamInterface<int> {
protected:
    SearchBarAt()
        : AppListTest(test::scenarioWithApps(GetParam())) {}
};

TEST_P(SearchBarAt, ShownAboveEightApplicationsOrOnCtrlF) {
    auto list = openList();
    ASSERT_EQ(manager().audioApps().size(), std::size_t(GetParam()));
    const bool always = GetParam() > 8;
    EXPECT_EQ(searchBarShown(*list), always);
    pressCtrlF(*list);
    EXPECT_TRUE(list->searchFieldVisible());
    EXPECT_TRUE(searchBarShown(*list));

    auto* field = child<QLineEdit>(*list, QStringLiteral("searchField"));
    QTest::keyClicks(field, "05");
    pressCtrlF(*list);
    EXPECT_FALSE(list->searchFieldVisible());
    EXPECT_EQ(searchBarShown(*list), always);
    // Hiding the bar keeps the filter in force.
    EXPECT_EQ(manager().searchQuery(), "05");
    EXPECT_EQ(idsOf(list->rows()), std::vector<std::string>{"org.example.App05"});
}

INSTANTIATE_TEST_SUITE_P(Counts, SearchBarAt, testing::Values(8, 9));

} // namespace
} // namespace kestrelamp
