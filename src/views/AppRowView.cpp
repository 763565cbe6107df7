#include "views/AppRowView.h"

#include "views/EQView.h"
#include "views/OutputDeviceSection.h"
#include "views/VUMeterView.h"
#include "views/VolumeSlider.h"
#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/FocusChain.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/ProgramIcons.h"
#include "views/toolkit/SymbolImage.h"
#include "views/toolkit/Symbols.h"
#include "views/toolkit/TextLabel.h"

#include <QContextMenuEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace kestrelamp {

using namespace toolkit;

namespace {

constexpr qreal kIgnoredOpacity = 0.4;
constexpr qreal kIconCornerRadius = 5;
constexpr int kPercentageWidth = 30;
constexpr int kBoostWidth = 22;

bool sameShownFields(const AppAudioState& a, const AppAudioState& b) {
    return a.displayName == b.displayName && a.volume == b.volume && a.isMuted == b.isMuted &&
           a.outputDeviceUIDs == b.outputDeviceUIDs && a.isPinned == b.isPinned &&
           a.isIgnored == b.isIgnored && a.boostMultiplier == b.boostMultiplier &&
           a.eqPresetID == b.eqPresetID;
}

BorderlessButton* symbolButton(const QString& objectName, const QString& symbol, int fontSize,
                               ColorSpec color, QWidget* parent) {
    auto* button = new BorderlessButton(parent);
    button->setObjectName(objectName);
    button->setSymbol(symbol, fontSize, color);
    return button;
}

} // namespace

// --- AppIconView -----------------------------------------------------------------------------

AppIconView::AppIconView(QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("appIcon"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFixedSize(kEdge, kEdge);
}

void AppIconView::setIcon(const std::optional<std::string>& icon) {
    icon_ = applicationIcon(icon);
    ownIcon_ = !icon_.isNull();
    if (!ownIcon_) {
        icon_ = genericApplicationIcon();
    }
    update();
}

void AppIconView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), kIconCornerRadius, kIconCornerRadius);
    painter.setClipPath(clip);
    const qreal dpr = devicePixelRatioF();
    const QPixmap image = icon_.pixmap(size(), dpr);
    painter.drawPixmap(rect(), image);
}

// --- AppRowView ------------------------------------------------------------------------------

AppRowView::AppRowView(AudioApp app, AudioRouteManager& manager, LevelUpdates levelUpdates,
                       QWidget* parent)
    : QWidget(parent)
    , app_(std::move(app))
    , manager_(manager)
    , state_(stateFor(app_, manager)) {
    setObjectName(QStringLiteral("appRow:%1").arg(QString::fromStdString(app_.id)));
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(8, 6, 8, 6);
    root->setSpacing(4);
    buildMainLine();
    buildVolumeLine();

    syncActivity();
    const auto level = manager_.audioLevels().find(app_.id);
    meter_->setLevel(level == manager_.audioLevels().end() ? meter::kSilenceDb : level->second);
    showState();

    connect(&manager_, &AudioRouteManager::appStatesChanged, this, &AppRowView::syncState);
    connect(&manager_, &AudioRouteManager::audioActivityChanged, this, &AppRowView::syncActivity);
    connect(&manager_, &AudioRouteManager::outputDevicesChanged, this, &AppRowView::syncDevices);
    connect(&manager_, &AudioRouteManager::routeStatesChanged, this, &AppRowView::syncDevices);
    connect(&manager_, &AudioRouteManager::defaultOutputDeviceChanged, this,
            &AppRowView::showDevicesButton);
    if (levelUpdates == LevelUpdates::own) {
        connect(&manager_, &AudioRouteManager::audioLevelsChanged, this, [this] {
            const auto found = manager_.audioLevels().find(app_.id);
            if (found != manager_.audioLevels().end()) {
                meter_->setLevel(found->second);
            }
        });
    }
}

void AppRowView::buildMainLine() {
    mainLine_ = new QWidget(this);
    mainLine_->setObjectName(QStringLiteral("mainLine"));
    mainLine_->setContextMenuPolicy(Qt::CustomContextMenu);
    auto* line = new QHBoxLayout(mainLine_);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(8);

    icon_ = new AppIconView(mainLine_);
    icon_->setIcon(app_.icon);
    line->addWidget(icon_);

    auto* title = new QHBoxLayout;
    title->setSpacing(4);
    name_ = new TextLabel(QString::fromStdString(app_.displayName),
                          systemFont(12, FontWeight::medium), ColorSpec::primary(), mainLine_);
    name_->setObjectName(QStringLiteral("appName"));
    title->addWidget(name_, 0);
    pin_ =
        new SymbolImage(QStringLiteral("pin.fill"), 7, ColorSpec::fixed(named::orange), mainLine_);
    pin_->setObjectName(QStringLiteral("pinMark"));
    title->addWidget(pin_);
    badge_ = new TextLabel(QString(), systemFont(8, FontWeight::bold),
                           ColorSpec::fixed(named::white), mainLine_);
    badge_->setObjectName(QStringLiteral("activityBadge"));
    badge_->setPadding(QMargins(4, 1, 4, 1));
    badge_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    title->addWidget(badge_);
    title->addStretch(1);
    // No stretch factor: a stretched item would give up its text before the device name does.
    line->addLayout(title);

    meter_ = new InlineVUMeter(mainLine_);
    meter_->setObjectName(QStringLiteral("levelMeter"));
    line->addWidget(meter_);

    devicesButton_ = symbolButton(QStringLiteral("outputDevicesButton"),
                                  QStringLiteral("speaker.wave.2.bubble.left"), 11,
                                  ColorSpec::secondary(), mainLine_);
    devicesButton_->setTextStyle(systemFont(9), ColorSpec::secondary());
    devicesButton_->setTextYieldsSpace(true);
    devicesButton_->setToolTip(QStringLiteral("Output Devices"));
    devicesButton_->setAccessibleName(devicesButton_->toolTip());
    // Spare width goes here first, up to the whole device name; the title keeps what it needs.
    line->addWidget(devicesButton_, 100);

    eqButton_ = symbolButton(QStringLiteral("equalizerButton"), QStringLiteral("slider.vertical.3"),
                             11, ColorSpec::secondary(), mainLine_);
    eqButton_->setToolTip(QStringLiteral("Equalizer"));
    eqButton_->setAccessibleName(eqButton_->toolTip());
    line->addWidget(eqButton_);

    muteButton_ = symbolButton(QStringLiteral("muteButton"), QStringLiteral("speaker.wave.2.fill"),
                               11, ColorSpec::secondary(), mainLine_);
    line->addWidget(muteButton_);
    for (QWidget* control : {devicesButton_, eqButton_, muteButton_}) {
        control->installEventFilter(this);
    }

    layout()->addWidget(mainLine_);

    connect(devicesButton_, &QAbstractButton::clicked, this,
            [this] { setShowOutputDevices(!showOutputDevices_); });
    connect(eqButton_, &QAbstractButton::clicked, this, [this] { setShowEQ(!showEQ_); });
    connect(muteButton_, &QAbstractButton::clicked, this, [this] { manager_.toggleMute(app_.id); });
    connect(mainLine_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& position) { showContextMenu(mainLine_->mapToGlobal(position)); });
}

void AppRowView::buildVolumeLine() {
    auto* holder = new QWidget(this);
    holder->setObjectName(QStringLiteral("volumeLine"));
    auto* line = new QHBoxLayout(holder);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(6);

    line->addWidget(
        new SymbolImage(QStringLiteral("speaker.fill"), 8, ColorSpec::secondary(), holder));
    volume_ = new VolumeSlider(holder);
    volume_->setObjectName(QStringLiteral("volumeSlider"));
    line->addWidget(volume_, 1);
    percentage_ = new TextLabel(QString(), systemFont(9), ColorSpec::secondary(), holder);
    percentage_->setObjectName(QStringLiteral("volumePercentage"));
    percentage_->setAlignment(Qt::AlignCenter);
    percentage_->setFixedWidth(kPercentageWidth);
    line->addWidget(percentage_);

    boostButton_ = new BorderlessButton(holder);
    boostButton_->setObjectName(QStringLiteral("boostButton"));
    boostButton_->setTextStyle(systemFont(9, FontWeight::semibold), ColorSpec::secondary(0.4));
    boostButton_->setPadding(QMargins(0, 2, 0, 2));
    boostButton_->setFixedWidth(kBoostWidth);
    line->addWidget(boostButton_);
    layout()->addWidget(holder);
    volume_->installEventFilter(this);
    boostButton_->installEventFilter(this);

    connect(volume_, &VolumeSlider::valueEdited, this,
            [this](float value) { manager_.setVolume(app_.id, value); });
    // A drag saves now and then; where it ends is saved at once.
    connect(volume_, &VolumeSlider::dragFinished, &manager_, &AudioRouteManager::flushPendingSave);
    connect(boostButton_, &QAbstractButton::clicked, this,
            [this] { manager_.setBoost(app_.id, nextBoost(state_.boostMultiplier)); });
}

void AppRowView::setApp(const AudioApp& app) {
    const bool iconChanged = app.icon != app_.icon;
    app_ = app;
    name_->setText(QString::fromStdString(app_.displayName));
    if (iconChanged) {
        icon_->setIcon(app_.icon);
    }
    syncState();
}

void AppRowView::setShowOutputDevices(bool show) {
    if (show == showOutputDevices_) {
        return;
    }
    showOutputDevices_ = show;
    if (show) {
        devices_ = new OutputDeviceSection(app_.id, manager_, this);
        devices_->showChoices(state_, manager_.outputDevices());
        // Above the equalizer when both are open.
        static_cast<QVBoxLayout*>(layout())->insertWidget(2, devices_);
        // At once, not when the layout gets to it: Tab must find it now.
        devices_->show();
    } else {
        delete devices_;
        devices_ = nullptr;
    }
    showDevicesButton();
}

void AppRowView::setShowEQ(bool show) {
    if (show == showEQ_) {
        return;
    }
    showEQ_ = show;
    if (show) {
        eqSection_ = new QWidget(this);
        eqSection_->setObjectName(QStringLiteral("eqSection"));
        auto* column = new QVBoxLayout(eqSection_);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(0);
        column->addWidget(new Divider(0, 0, eqSection_));
        eqView_ = new EQView(app_.id, manager_, eqSection_);
        column->addWidget(eqView_);
        layout()->addWidget(eqSection_);
        eqSection_->show();
    } else {
        delete eqSection_;
        eqSection_ = nullptr;
        eqView_ = nullptr;
    }
    eqButton_->setSymbolColor(show ? ColorSpec::accent() : ColorSpec::secondary());
}

void AppRowView::setLevel(float level) {
    meter_->setLevel(level);
}

float AppRowView::level() const {
    return meter_->level();
}

void AppRowView::syncState() {
    AppAudioState current = stateFor(app_, manager_);
    if (sameShownFields(current, state_)) {
        return;
    }
    state_ = std::move(current);
    showState();
}

void AppRowView::syncActivity() {
    const auto& activity = manager_.audioActivity();
    const auto found = activity.find(app_.id);
    if (found == activity.end()) {
        badge_->hide();
        return;
    }
    const bool live = found->second;
    badge_->setText(live ? QStringLiteral("LIVE") : QStringLiteral("silent"));
    badge_->setColor(live ? ColorSpec::fixed(named::white) : ColorSpec::secondary());
    badge_->setBackground(
        live ? ColorSpec::fixed(named::green) : ColorSpec::fixed(named::gray, 0.3), 3);
    badge_->show();
}

void AppRowView::syncDevices() {
    showDevicesButton();
    if (devices_) {
        devices_->showChoices(state_, manager_.outputDevices());
    }
}

void AppRowView::showState() {
    pin_->setVisible(state_.isPinned);

    const bool muted = state_.isMuted;
    muteButton_->setSymbolName(muted ? QStringLiteral("speaker.slash.fill")
                                     : QStringLiteral("speaker.wave.2.fill"));
    muteButton_->setSymbolColor(muted ? ColorSpec::fixed(named::red) : ColorSpec::secondary());
    muteButton_->setToolTip(muted ? QStringLiteral("Unmute") : QStringLiteral("Mute"));
    muteButton_->setAccessibleName(muteButton_->toolTip());

    volume_->setValue(state_.volume);
    percentage_->setText(percentageText(state_.volume));

    const std::int64_t boost = state_.boostMultiplier;
    boostButton_->setLabel(boostText(boost));
    boostButton_->setToolTip(boostToolTip(boost));
    boostButton_->setAccessibleName(boostButton_->toolTip());
    boostButton_->setTextColor(boost < 2 ? ColorSpec::secondary(0.4)
                                         : ColorSpec::fixed(named::orange));
    boostButton_->setBackground(
        boost < 2 ? ColorSpec::fixed(named::clear) : ColorSpec::fixed(named::orange, 0.15), 4);

    if (state_.isIgnored && !ignoredEffect_) {
        ignoredEffect_ = new QGraphicsOpacityEffect(this);
        ignoredEffect_->setOpacity(kIgnoredOpacity);
        setGraphicsEffect(ignoredEffect_);
    } else if (!state_.isIgnored && ignoredEffect_) {
        setGraphicsEffect(nullptr);
        ignoredEffect_ = nullptr;
    }

    showDevicesButton();
    if (devices_) {
        devices_->showChoices(state_, manager_.outputDevices());
    }
}

// A chosen device that is not carrying the application shows on the row even while it is folded.
void AppRowView::showDevicesButton() {
    const bool highlighted = showOutputDevices_ || !state_.outputDeviceUIDs.empty();
    const auto problems = manager_.routeProblems(app_.id);
    QStringList lines{QStringLiteral("Output Devices")};
    for (const std::string& problem : problems) {
        lines << QString::fromStdString(problem);
    }
    devicesButton_->setToolTip(lines.join('\n'));
    devicesButton_->setSymbolColor(!problems.empty() ? ColorSpec::fixed(named::orange)
                                   : highlighted     ? ColorSpec::accent()
                                                     : ColorSpec::secondary());
    devicesButton_->setLabel(showOutputDevices_ ? QString()
                                                : deviceSummary(state_, manager_.outputDevices(),
                                                                manager_.defaultOutputDevice()));
}

void AppRowView::showContextMenu(const QPoint& globalPosition) {
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("appRowContextMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const QColor text = menu->palette().color(QPalette::WindowText);
    QAction* pin = state_.isPinned
                       ? menu->addAction(tintedSymbolIcon(QStringLiteral("pin.slash"), text),
                                         QStringLiteral("Unpin"))
                       : menu->addAction(tintedSymbolIcon(QStringLiteral("pin"), text),
                                         QStringLiteral("Pin to Top"));
    pin->setObjectName(QStringLiteral("pinAction"));
    QAction* ignore = menu->addAction(tintedSymbolIcon(QStringLiteral("eye.slash"), text),
                                      QStringLiteral("Ignore App"));
    ignore->setObjectName(QStringLiteral("ignoreAction"));
    connect(pin, &QAction::triggered, this, [this] { manager_.togglePin(app_.id); });
    connect(ignore, &QAction::triggered, this, [this] { manager_.toggleIgnore(app_.id); });
    menu->popup(globalPosition);
}

QList<QWidget*> AppRowView::focusOrder() const {
    QList<QWidget*> order{devicesButton_};
    order += tabStopsIn(devices_);
    order << eqButton_;
    order += tabStopsIn(eqSection_);
    order << muteButton_ << volume_ << boostButton_;
    return order;
}

bool AppRowView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
            Q_EMIT stepRequested(key->key() == Qt::Key_Up ? -1 : 1, watched->objectName());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void AppRowView::keyPressEvent(QKeyEvent* event) {
    const bool menuKey = event->key() == Qt::Key_Menu ||
                         (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier);
    if (menuKey) {
        QWidget* focused = focusWidget() ? focusWidget() : mainLine_;
        showContextMenu(focused->mapToGlobal(QPoint(0, focused->height())));
        return;
    }
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier &&
        closeOpenSection()) {
        return;
    }
    QWidget::keyPressEvent(event);
}

// Where the platform turns the menu key into a context-menu request of its own.
void AppRowView::contextMenuEvent(QContextMenuEvent* event) {
    if (event->reason() != QContextMenuEvent::Keyboard) {
        event->ignore();
        return;
    }
    QWidget* focused = focusWidget() ? focusWidget() : mainLine_;
    showContextMenu(focused->mapToGlobal(QPoint(0, focused->height())));
}

bool AppRowView::closeOpenSection() {
    const QWidget* focused = focusWidget();
    const auto holds = [focused](const QWidget* button, const QWidget* section) {
        return focused && (focused == button || (section && section->isAncestorOf(focused)));
    };
    if (showEQ_ && holds(eqButton_, eqSection_)) {
        eqButton_->setFocus(Qt::OtherFocusReason);
        setShowEQ(false);
        return true;
    }
    if (showOutputDevices_ && holds(devicesButton_, devices_)) {
        devicesButton_->setFocus(Qt::OtherFocusReason);
        setShowOutputDevices(false);
        return true;
    }
    if (!showEQ_ && !showOutputDevices_) {
        return false;
    }
    setShowEQ(false);
    setShowOutputDevices(false);
    return true;
}

// --- Pure helpers ----------------------------------------------------------------------------

AppAudioState AppRowView::stateFor(const AudioApp& app, const AudioRouteManager& manager) {
    if (const AppAudioState* stored = manager.state(app.id)) {
        return *stored;
    }
    return AppAudioState::defaultFor(app);
}

QString AppRowView::percentageText(float volume) {
    const double percent = double(volume * 100.0f);
    const long long whole =
        std::isfinite(percent) ? (long long)std::clamp(percent, -1e15, 1e15) : 0;
    return QString::asprintf("%lld%%", whole);
}

QString AppRowView::boostText(std::int64_t multiplier) {
    return multiplier < 2 ? QStringLiteral("1\u00D7")
                          : QString::asprintf("%lld", (long long)multiplier) + QChar(0x00D7);
}

QString AppRowView::boostToolTip(std::int64_t multiplier) {
    return QStringLiteral("Volume boost: ") + QString::asprintf("%lld", (long long)multiplier) +
           QChar(0x00D7);
}

std::int64_t AppRowView::nextBoost(std::int64_t multiplier) {
    return multiplier > 3 ? 1 : multiplier + 1;
}

QString AppRowView::deviceSummary(const AppAudioState& state, const AudioDeviceList& devices,
                                  const OptionalAudioDevice& defaultDevice) {
    const auto& uids = state.outputDeviceUIDs;
    if (uids.empty()) {
        return defaultDevice ? QStringLiteral("System Default \u00B7 ") +
                                   QString::fromStdString(defaultDevice->name)
                             : QStringLiteral("System Default");
    }
    if (uids.size() == 1) {
        const auto device =
            std::find_if(devices.begin(), devices.end(),
                         [&](const AudioDeviceInfo& d) { return d.uid == uids[0]; });
        return device == devices.end() ? QString() : QString::fromStdString(device->name);
    }
    if (uids.size() >= 2) {
        return QString::asprintf("%lld", (long long)uids.size()) + QStringLiteral(" devices");
    }
    return {};
}

QString AppRowView::connectionText(const std::optional<RouteState>& route) {
    if (!route || route->isActive()) {
        return {};
    }
    switch (route->status) {
    case RouteStatus::connecting:
        return QStringLiteral("Not connected yet: waiting for the sound server");
    case RouteStatus::waitingForApplication:
        return QStringLiteral("Not connected: waiting for the application");
    case RouteStatus::waitingForDevice:
        return QStringLiteral("Not connected: waiting for the device");
    case RouteStatus::failed:
        return QStringLiteral("Not connected: ") + QString::fromStdString(route->reason);
    case RouteStatus::active:
        break;
    }
    return {};
}

} // namespace kestrelamp
