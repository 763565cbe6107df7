#include "views/toolkit/Symbols.h"

#include <QFileInfo>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPixmapCache>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>

namespace kestrelamp::toolkit {
namespace {

constexpr const char* kFallbackIconTheme = "Adwaita";

const std::vector<SymbolEntry> kSymbols = {
    // Devices and their transports.
    {"speaker.wave.2", "audio-volume-medium-symbolic", nullptr},
    {"laptopcomputer", nullptr, ":/symbols/laptopcomputer.svg"},
    {"rectangle.connected.to.line.below", nullptr,
     ":/symbols/rectangle.connected.to.line.below.svg"},
    {"headphones", "audio-headphones-symbolic", nullptr},
    {"airpodspro", "audio-headset-symbolic", nullptr},
    {"tv", "tv-symbolic", nullptr},
    {"airplayaudio", nullptr, ":/symbols/airplayaudio.svg"},
    {"desktopcomputer", "computer-symbolic", nullptr},
    {"hifispeaker", "audio-speakers-symbolic", nullptr},
    // Application rows.
    {"app.fill", nullptr, ":/symbols/app.fill.svg"},
    {"pin.fill", "view-pin-symbolic", nullptr},
    {"pin", "view-pin-symbolic", nullptr},
    {"pin.slash", nullptr, ":/symbols/pin.slash.svg"},
    {"eye", "view-reveal-symbolic", nullptr},
    {"eye.slash", "view-conceal-symbolic", nullptr},
    {"slider.vertical.3", nullptr, ":/symbols/slider.vertical.3.svg"},
    {"speaker.wave.2.bubble.left", nullptr, ":/symbols/speaker.wave.2.bubble.left.svg"},
    {"speaker.slash.fill", "audio-volume-muted-symbolic", nullptr},
    {"speaker.wave.2.fill", "audio-volume-high-symbolic", nullptr},
    {"speaker.wave.3", "audio-volume-high-symbolic", nullptr},
    {"speaker.fill", nullptr, ":/symbols/speaker.fill.svg"},
    {"speaker.slash", "audio-volume-muted-symbolic", nullptr},
    {"mic.fill", "audio-input-microphone-symbolic", nullptr},
    {"mic.slash.fill", "microphone-sensitivity-muted-symbolic", nullptr},
    {"checkmark.circle.fill", nullptr, ":/symbols/checkmark.circle.fill.svg"},
    {"circle", "radio-symbolic", nullptr},
    {"checkmark.square.fill", "checkbox-checked-symbolic", nullptr},
    {"square", "checkbox-symbolic", nullptr},
    // The list and its states.
    {"magnifyingglass", "system-search-symbolic", nullptr},
    {"lock.shield", "security-high-symbolic", nullptr},
    {"waveform", nullptr, ":/symbols/waveform.svg"},
    {"waveform.slash", nullptr, ":/symbols/waveform.slash.svg"},
    // Popover, profiles and settings.
    {"arrow.clockwise", "view-refresh-symbolic", nullptr},
    {"gearshape", "emblem-system-symbolic", nullptr},
    {"power", "system-shutdown-symbolic", nullptr},
    {"plus.circle", nullptr, ":/symbols/plus.circle.svg"},
    {"tray", nullptr, ":/symbols/tray.svg"},
    {"trash", "user-trash-symbolic", nullptr},
    {"arrow.triangle.2.circlepath", "emblem-synchronizing-symbolic", nullptr},
    {"info.circle", "dialog-information-symbolic", nullptr},
    {"music.note", "audio-x-generic-symbolic", nullptr},
    {"gamecontroller", "input-gaming-symbolic", nullptr},
    {"video", "camera-video-symbolic", nullptr},
    {"mic", "audio-input-microphone-symbolic", nullptr},
    {"film", "video-x-generic-symbolic", nullptr},
    {"guitars", nullptr, ":/symbols/guitars.svg"},
};

const SymbolEntry* findSymbol(const QString& name) {
    const auto it = std::find_if(kSymbols.begin(), kSymbols.end(), [&](const SymbolEntry& e) {
        return name == QLatin1String(e.name);
    });
    return it == kSymbols.end() ? nullptr : &*it;
}

QIcon resolve(const SymbolEntry& entry) {
    ensureIconTheme();
    if (entry.themeIcon) {
        QIcon themed = QIcon::fromTheme(QLatin1String(entry.themeIcon));
        if (!themed.isNull()) {
            return themed;
        }
    }
    if (entry.resource) {
        return QIcon(QLatin1String(entry.resource));
    }
    return {};
}

QPixmap tinted(const QIcon& source, QSize logicalSize, const QColor& color, qreal dpr) {
    const QSize devicePixels(int(std::lround(logicalSize.width() * dpr)),
                             int(std::lround(logicalSize.height() * dpr)));
    QPixmap canvas(devicePixels);
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QPixmap image = source.pixmap(devicePixels);
        const QSize drawn = image.size().scaled(devicePixels, Qt::KeepAspectRatio);
        const QRect target(QPoint((devicePixels.width() - drawn.width()) / 2,
                                  (devicePixels.height() - drawn.height()) / 2),
                           drawn);
        painter.drawPixmap(target, image);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(canvas.rect(), color);
    }
    canvas.setDevicePixelRatio(dpr);
    return canvas;
}

class TintedIconEngine final : public QIconEngine {
public:
    TintedIconEngine(QString name, QColor color)
        : name_(std::move(name))
        , color_(color) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, symbolPixmap(name_, rect.size(), colorFor(mode), dpr));
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        return symbolPixmap(name_, size, colorFor(mode), 1.0);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override {
        const QSize logical(int(size.width() / scale), int(size.height() / scale));
        return symbolPixmap(name_, logical, colorFor(mode), scale);
    }
    QIconEngine* clone() const override { return new TintedIconEngine(name_, color_); }
    bool isNull() override { return symbolSourceIcon(name_).isNull(); }
    QString key() const override { return QStringLiteral("kestrelamp-tinted-symbol"); }

private:
    QColor colorFor(QIcon::Mode mode) const {
        return mode == QIcon::Disabled ? withAlpha(0.4) : color_;
    }
    QColor withAlpha(qreal factor) const {
        QColor c = color_;
        c.setAlphaF(float(c.alphaF() * factor));
        return c;
    }

    QString name_;
    QColor color_;
};

} // namespace

// The offscreen and minimal platforms name no theme and search no icon folders; desktops that do
// still fall back to ours.
void ensureIconTheme() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    QStringList searchPaths = QIcon::themeSearchPaths();
    for (const QString& dataDir :
         QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
        const QString icons = dataDir + QStringLiteral("/icons");
        if (!searchPaths.contains(icons)) {
            searchPaths << icons;
        }
    }
    QIcon::setThemeSearchPaths(searchPaths);
    if (QIcon::fallbackSearchPaths().isEmpty()) {
        QIcon::setFallbackSearchPaths({QStringLiteral("/usr/share/pixmaps")});
    }
    const QString current = QIcon::themeName();
    if (current.isEmpty() || current == QLatin1String("hicolor")) {
        QIcon::setThemeName(kFallbackIconTheme);
    }
    if (QIcon::fallbackThemeName().isEmpty()) {
        QIcon::setFallbackThemeName(kFallbackIconTheme);
    }
}

const std::vector<SymbolEntry>& symbolTable() {
    return kSymbols;
}

bool isKnownSymbol(const QString& name) {
    return findSymbol(name) != nullptr;
}

QIcon symbolSourceIcon(const QString& name) {
    static QHash<QString, QIcon> cache;
    if (const auto it = cache.constFind(name); it != cache.constEnd()) {
        return *it;
    }
    const SymbolEntry* entry = findSymbol(name);
    QIcon icon = entry ? resolve(*entry) : QIcon();
    cache.insert(name, icon);
    return icon;
}

QPixmap symbolPixmap(const QString& name, QSize logicalSize, const QColor& color,
                     qreal devicePixelRatio) {
    if (logicalSize.isEmpty()) {
        return {};
    }
    const QString key = QStringLiteral("kestrelamp-symbol|%1|%2x%3|%4|%5")
                            .arg(name)
                            .arg(logicalSize.width())
                            .arg(logicalSize.height())
                            .arg(color.rgba(), 8, 16, QLatin1Char('0'))
                            .arg(devicePixelRatio);
    QPixmap cached;
    if (QPixmapCache::find(key, &cached)) {
        return cached;
    }
    const QIcon source = symbolSourceIcon(name);
    if (source.isNull()) {
        return {};
    }
    QPixmap pixmap = tinted(source, logicalSize, color, devicePixelRatio);
    QPixmapCache::insert(key, pixmap);
    return pixmap;
}

QIcon tintedSymbolIcon(const QString& name, const QColor& color) {
    return QIcon(new TintedIconEngine(name, color));
}

int symbolPixelSize(int fontPixelSize) {
    return int(std::lround(fontPixelSize * 1.25));
}

const char* transportSymbol(AudioDeviceTransportType type) {
    switch (type) {
    case AudioDeviceTransportType::builtIn:
        return "laptopcomputer";
    case AudioDeviceTransportType::aggregate:
    case AudioDeviceTransportType::virtualDevice:
        return "rectangle.connected.to.line.below";
    case AudioDeviceTransportType::usb:
        return "headphones";
    case AudioDeviceTransportType::bluetooth:
    case AudioDeviceTransportType::bluetoothLE:
        return "airpodspro";
    case AudioDeviceTransportType::hdmi:
    case AudioDeviceTransportType::displayPort:
        return "tv";
    case AudioDeviceTransportType::airPlay:
        return "airplayaudio";
    case AudioDeviceTransportType::firewire:
    case AudioDeviceTransportType::pci:
    case AudioDeviceTransportType::thunderbolt:
    case AudioDeviceTransportType::unknown:
        return "speaker.wave.2";
    }
    return "speaker.wave.2";
}

QIcon applicationIcon(const std::optional<std::string>& icon) {
    if (!icon || icon->empty()) {
        return {};
    }
    ensureIconTheme();
    const QString name = QString::fromStdString(*icon);
    if (QFileInfo(name).isAbsolute()) {
        if (!QFileInfo(name).isFile()) {
            return {};
        }
        QIcon fromFile(name);
        return fromFile.pixmap(QSize(24, 24)).isNull() ? QIcon() : fromFile;
    }
    return QIcon::fromTheme(name);
}

} // namespace kestrelamp::toolkit
