#include "ViewTestSupport.h"

#include "platform/ScreenCapturePermission.h"
#include "views/AppListView.h"
#include "views/AppRowView.h"
#include "views/toolkit/TextLabel.h"

#include <QMenu>

namespace kestrelamp::test {
namespace {

using toolkit::TextLabel;

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
} // namespace kestrelamp::test
