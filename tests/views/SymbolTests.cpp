#include "ViewTestSupport.h"

#include "platform/ScreenCapturePermission.h"
#include "views/AppListView.h"
#include "views/AppRowView.h"
#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/SymbolImage.h"
#include "views/toolkit/Symbols.h"

#include <QImage>
#include <QMenu>
#include <QTemporaryDir>

#include <set>

namespace kestrelamp {
namespace {

using namespace toolkit;

int visiblePixels(const QPixmap& pixmap) {
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            count += qAlpha(image.pixel(x, y)) > 40 ? 1 : 0;
        }
    }
    return count;
}

TEST(Symbols, EveryTableEntryDrawsOnThisMachine) {
    for (const SymbolEntry& entry : symbolTable()) {
        const QString name = QLatin1String(entry.name);
        EXPECT_FALSE(symbolSourceIcon(name).isNull()) << entry.name;
        const QPixmap pixmap = symbolPixmap(name, QSize(16, 16), Qt::black, 1.0);
        EXPECT_GT(visiblePixels(pixmap), 8) << entry.name;
    }
    EXPECT_FALSE(isKnownSymbol(QStringLiteral("no.such.symbol")));
    EXPECT_TRUE(symbolSourceIcon(QStringLiteral("no.such.symbol")).isNull());
}

TEST(Symbols, ApplicationIconsFromThemeNamesAndFiles) {
    EXPECT_TRUE(applicationIcon(std::nullopt).isNull());
    EXPECT_TRUE(applicationIcon(std::string()).isNull());
    EXPECT_TRUE(applicationIcon(std::string("no-such-icon-anywhere")).isNull());
    EXPECT_TRUE(applicationIcon(std::string("/no/such/file.png")).isNull());
    EXPECT_FALSE(applicationIcon(std::string("multimedia-player")).isNull());

    QTemporaryDir dir;
    const QString png = dir.filePath(QStringLiteral("icon.png"));
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::darkCyan);
    ASSERT_TRUE(image.save(png));
    EXPECT_FALSE(applicationIcon(png.toStdString()).isNull());
    const QString garbage = dir.filePath(QStringLiteral("broken.png"));
    QFile file(garbage);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not an image");
    file.close();
    EXPECT_TRUE(applicationIcon(garbage.toStdString()).isNull());
}

// Every symbol on screen, with every section open and every state drawn at least once.
TEST(Symbols, EverySymbolTheViewsShowResolves) {
    test::RouteWorld world;
    AudioRouteManager& manager = world.manager();
    manager.togglePin("org.example.Player");
    manager.toggleMute("org.example.Other");
    manager.setOutputDevices("org.example.Other", {"speakers", "hdmi"});
    manager.toggleIgnore("org.example.Quiet");

    std::set<QString> names;
    auto collect = [&](const QWidget& root) {
        for (const SymbolImage* image : root.findChildren<SymbolImage*>()) {
            names.insert(image->symbol());
        }
        for (const BorderlessButton* button : root.findChildren<BorderlessButton*>()) {
            if (!button->symbol().isEmpty()) {
                names.insert(button->symbol());
            }
        }
    };

    ControllableScreenCapturePermission denied(false);
    AppListView prompt(manager, denied);
    collect(prompt);

    LinuxScreenCapturePermission granted;
    AppListView list(manager, granted);
    for (AppRowView* row : list.rows()) {
        row->setShowOutputDevices(true);
        row->setShowEQ(true);
    }
    collect(list);
    manager.setShowOnlyLive(true);
    manager.setSearchQuery(QStringLiteral("nothing matches this"));
    collect(list);
    manager.setShowOnlyLive(false);
    collect(list);

    EXPECT_TRUE(names.count(QStringLiteral("lock.shield")));
    EXPECT_TRUE(names.count(QStringLiteral("tv")));
    EXPECT_TRUE(names.count(QStringLiteral("waveform.slash")));
    EXPECT_GE(names.size(), 12u);
    // Known names draw: the table test checks every entry.
    for (const QString& name : names) {
        EXPECT_TRUE(isKnownSymbol(name)) << name.toStdString();
    }
}

} // namespace
} // namespace kestrelamp
