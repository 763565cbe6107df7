#include "views/toolkit/ProgramIcons.h"

#include "views/toolkit/Colors.h"
#include "views/toolkit/Symbols.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

namespace kestrelamp::toolkit {
namespace {

constexpr int kMenuBarEdge = 18;

} // namespace

QIcon programIcon() {
    return QIcon::fromTheme(QStringLiteral("com.kestrelamp.Kestrelamp"),
                            QIcon(QStringLiteral(":/images/kestrelamp.svg")));
}

QIcon menuBarDrawing(const QString& resourcePath) {
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QSvgRenderer renderer(file.readAll());
    if (!renderer.isValid()) {
        return {};
    }
    QIcon icon;
    for (int scale : {1, 2}) {
        QPixmap pixmap(kMenuBarEdge * scale, kMenuBarEdge * scale);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter, QRectF(pixmap.rect()));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon menuBarIcon(const QPalette& palette, const QString& resourcePath) {
    const QIcon drawing = menuBarDrawing(resourcePath);
    const QColor color = primaryColor(palette);
    if (drawing.isNull()) {
        return tintedSymbolIcon(QStringLiteral("speaker.wave.2"), color);
    }
    // A template image: the drawing's shape in the desktop's text colour.
    QIcon tinted;
    for (int scale : {1, 2}) {
        QPixmap pixmap = drawing.pixmap(QSize(kMenuBarEdge, kMenuBarEdge) * scale);
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), color);
        painter.end();
        tinted.addPixmap(pixmap);
    }
    return tinted;
}

} // namespace kestrelamp::toolkit
