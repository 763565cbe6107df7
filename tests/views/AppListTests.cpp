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

    std::unique_ptr<AppListView> openList() {
        auto list = std::make_unique<AppListView>(manager(), granted);
        list->resize(320, 420);
        list->show();
        return list;
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

} // namespace
} // namespace kestrelamp
