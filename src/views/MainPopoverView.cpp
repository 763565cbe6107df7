#include "views/MainPopoverView.h"

#include "views/AppListView.h"
#include "views/ProfileSwitcherView.h"
#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/FocusChain.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/ScrollContent.h"
#include "views/toolkit/SegmentedControl.h"
#include "views/toolkit/Switch.h"
#include "views/toolkit/SymbolImage.h"
#include "views/toolkit/Symbols.h"
#include "views/toolkit/TextLabel.h"

#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScrollArea>
#include <QVBoxLayout>

namespace kestrelamp {

using namespace toolkit;

namespace {

constexpr int kTabSwitcherWidth = 130;

bool sameChoices(const AudioDeviceList& a, const AudioDeviceList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const AudioDeviceInfo& x, const AudioDeviceInfo& y) {
                          return x.id == y.id && x.uid == y.uid && x.name == y.name;
                      });
}

BorderlessButton* footerButton(const char* objectName, const char* symbol, const char* tip,
                               QWidget* parent) {
    auto* button = new BorderlessButton(parent);
    button->setObjectName(QLatin1String(objectName));
    button->setSymbol(QLatin1String(symbol), 10, ColorSpec::secondary());
    button->setToolTip(QLatin1String(tip));
    button->setAccessibleName(QLatin1String(tip));
    return button;
}

} // namespace

MainPopoverView::MainPopoverView(AudioRouteManager& manager, ScreenCapturePermission& permission,
                                 Tab initialTab, BundleInfo bundle, QWidget* parent)
    : QWidget(parent)
    , manager_(manager)
    , permission_(permission)
    , selectedTab_(initialTab) {
    setObjectName(QStringLiteral("mainPopover"));
    setFixedWidth(kWidth);
    resize(kWidth, kHeight);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    header_ = buildHeader();
    column->addWidget(header_);
    column->addWidget(new Divider(0, 0, this));
    auto* content = new QWidget(this);
    content->setObjectName(QStringLiteral("popoverContent"));
    contentLayout_ = new QVBoxLayout(content);
    contentLayout_->setContentsMargins(0, 0, 0, 0);
    contentLayout_->setSpacing(0);
    column->addWidget(content, 1);
    column->addWidget(new Divider(0, 0, this));
    footer_ = buildFooter(bundle);
    column->addWidget(footer_);

    connect(&manager_, &AudioRouteManager::outputDevicesChanged, this,
            &MainPopoverView::showDevices);
    connect(&manager_, &AudioRouteManager::defaultOutputDeviceChanged, this,
            &MainPopoverView::showDefaultDevice);
    connect(&manager_, &AudioRouteManager::showOnlyLiveChanged, this,
            [this] { liveSwitch_->setChecked(manager_.showOnlyLive()); });
    showDevices();
    showContent();
}

QWidget* MainPopoverView::buildHeader() {
    auto* header = new QWidget(this);
    header->setObjectName(QStringLiteral("popoverHeader"));
    auto* column = new QVBoxLayout(header);
    column->setContentsMargins(12, 8, 12, 8);
    column->setSpacing(8);

    auto* deviceRow = new QHBoxLayout;
    deviceRow->setSpacing(6);
    auto* caption =
        new TextLabel(QStringLiteral("DEFAULT"), captionFont(9), ColorSpec::secondary(), header);
    caption->setObjectName(QStringLiteral("defaultCaption"));
    deviceRow->addWidget(caption);
    deviceSymbol_ = new SymbolImage(headerSymbol(manager_.defaultOutputDevice()), 11,
                                    ColorSpec::accent(), header);
    deviceSymbol_->setObjectName(QStringLiteral("defaultDeviceSymbol"));
    deviceRow->addWidget(deviceSymbol_);
    picker_ = new QComboBox(header);
    picker_->setObjectName(QStringLiteral("defaultDevicePicker"));
    picker_->setAccessibleName(QStringLiteral("Default output device"));
    picker_->setFont(systemFont(11));
    picker_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    picker_->setMinimumContentsLength(8);
    picker_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    deviceRow->addWidget(picker_, 1);
    column->addLayout(deviceRow);
    connect(picker_, &QComboBox::activated, this, [this](int index) {
        chooseDevice(picker_->itemData(index).toString().toStdString());
        // Until the service confirms, the picker keeps showing the actual default.
        showDefaultDevice();
    });

    auto* controlRow = new QHBoxLayout;
    controlRow->setSpacing(8);
    liveSwitch_ = new Switch(QStringLiteral("Show only live"), 10, header);
    liveSwitch_->setObjectName(QStringLiteral("showOnlyLiveSwitch"));
    liveSwitch_->setChecked(manager_.showOnlyLive());
    connect(liveSwitch_, &QAbstractButton::clicked, this,
            [this](bool checked) { manager_.setShowOnlyLive(checked); });
    controlRow->addWidget(liveSwitch_);
    controlRow->addStretch(1);
    QStringList titles;
    for (Tab tab : kTabs) {
        titles << rawValue(tab);
    }
    tabs_ = new SegmentedControl(titles, 11, header);
    tabs_->setObjectName(QStringLiteral("tabSwitcher"));
    tabs_->setAccessibleName(QStringLiteral("Tab"));
    tabs_->setFixedWidth(kTabSwitcherWidth);
    tabs_->setCurrentIndex(selectedTab_ == Tab::apps ? 0 : 1);
    connect(tabs_, &SegmentedControl::currentIndexChanged, this,
            [this](int index) { setSelectedTab(kTabs[std::size_t(index)]); });
    controlRow->addWidget(tabs_);
    column->addLayout(controlRow);
    return header;
}

QWidget* MainPopoverView::buildFooter(const BundleInfo& bundle) {
    auto* footer = new QWidget(this);
    footer->setObjectName(QStringLiteral("popoverFooter"));
    auto* row = new QHBoxLayout(footer);
    row->setContentsMargins(12, 6, 12, 6);
    auto* refresh = footerButton("refreshButton", "arrow.clockwise", "Refresh app list", footer);
    connect(refresh, &QAbstractButton::clicked, this, [this] { manager_.refreshAudioApps(); });
    row->addWidget(refresh);
    auto* settings = footerButton("settingsButton", "gearshape", "Settings", footer);
    connect(settings, &QAbstractButton::clicked, this, &MainPopoverView::settingsRequested);
    row->addWidget(settings);
    callMixSwitch_ = new Switch(QStringLiteral("Call Mix"), 9, footer);
    callMixSwitch_->setObjectName(QStringLiteral("callMixSwitch"));
    callMixSwitch_->setToolTip(
        QStringLiteral("Offer \"Kestrelamp Call Mix\": a microphone for call programs that "
                       "applications can be sent into"));
    CallMixControl& callMix = manager_.callMix();
    callMixSwitch_->setChecked(callMix.settings().on);
    connect(callMixSwitch_, &QAbstractButton::clicked, this,
            [this](bool checked) { manager_.callMix().setOn(checked); });
    connect(&callMix, &CallMixControl::changed, callMixSwitch_,
            [this] { callMixSwitch_->setChecked(manager_.callMix().settings().on); });
    row->addWidget(callMixSwitch_);
    row->addStretch(1);
    auto* version =
        new TextLabel(versionText(bundle), systemFont(9), ColorSpec::secondary(0.5), footer);
    version->setObjectName(QStringLiteral("versionText"));
    row->addWidget(version);
    row->addStretch(1);
    auto* quit = footerButton("quitButton", "power", "Quit Kestrelamp", footer);
    connect(quit, &QAbstractButton::clicked, this, &MainPopoverView::quitRequested);
    row->addWidget(quit);
    return footer;
}

void MainPopoverView::setSelectedTab(Tab tab) {
    if (tab == selectedTab_) {
        return;
    }
    selectedTab_ = tab;
    tabs_->setCurrentIndex(tab == Tab::apps ? 0 : 1);
    showContent();
    Q_EMIT selectedTabChanged(tab);
}

QString MainPopoverView::rawValue(Tab tab) {
    return tab == Tab::apps ? QStringLiteral("Apps") : QStringLiteral("Profiles");
}

std::optional<MainPopoverView::Tab> MainPopoverView::tabFromRawValue(const QString& raw) {
    for (Tab tab : kTabs) {
        if (raw == rawValue(tab)) {
            return tab;
        }
    }
    return std::nullopt;
}

std::string MainPopoverView::selectedDeviceUID() const {
    const OptionalAudioDevice& device = manager_.defaultOutputDevice();
    return device ? device->uid : std::string();
}

void MainPopoverView::chooseDevice(const std::string& uid) {
    if (!uid.empty()) {
        manager_.setDefaultOutputDevice(uid);
    }
}

QString MainPopoverView::headerSymbol(const OptionalAudioDevice& device) {
    return QLatin1String(device ? transportSymbol(device->transportType) : "speaker.wave.2");
}

QString MainPopoverView::versionText(const BundleInfo& bundle) {
    return QStringLiteral("v") + bundle.shortVersionString();
}

void MainPopoverView::showContent() {
    // Each visit builds the tab afresh, as the list reads the permission when it is made.
    if (appList_) {
        contentLayout_->removeWidget(appList_);
        delete appList_;
        appList_ = nullptr;
    }
    if (profileSwitcher_) {
        contentLayout_->removeWidget(profileSwitcher_);
        delete profileSwitcher_;
        profileSwitcher_ = nullptr;
    }
    QWidget* content = contentLayout_->parentWidget();
    if (selectedTab_ == Tab::apps) {
        appList_ = new AppListView(manager_, permission_, content);
        appList_->setSearchFieldVisible(false);
        contentLayout_->addWidget(appList_);
        appList_->show();
    } else {
        profileSwitcher_ = new ProfileSwitcherView(manager_, content);
        contentLayout_->addWidget(profileSwitcher_);
        profileSwitcher_->show();
    }
    // The scrolled content asks for a new layout whenever what it holds changes size.
    QScrollArea* scroll = appList_ ? appList_->scrollArea() : profileSwitcher_->scrollArea();
    scroll->widget()->installEventFilter(this);
    Q_EMIT preferredHeightChanged();
}

int MainPopoverView::chromeHeight() const {
    int height = 0;
    for (int i = 0; i < layout()->count(); ++i) {
        QLayoutItem* part = layout()->itemAt(i);
        if (part->widget() != contentLayout_->parentWidget()) {
            height += part->sizeHint().height();
        }
    }
    return height;
}

int MainPopoverView::preferredHeight() const {
    const QScrollArea* scroll = appList_ ? appList_->scrollArea() : profileSwitcher_->scrollArea();
    return chromeHeight() + scrollContentHeight(*scroll, kWidth);
}

bool MainPopoverView::focusNextPrevChild(bool next) {
    QList<QWidget*> chain = tabStopsIn(header_);
    chain +=
        appList_ ? appList_->focusOrder(QApplication::focusWidget()) : tabStopsIn(profileSwitcher_);
    chain += tabStopsIn(footer_);
    return moveFocusAlong(chain, next) || QWidget::focusNextPrevChild(next);
}

void MainPopoverView::keyPressEvent(QKeyEvent* event) {
    // A row's open section had its turn; the search comes before the window.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && appList_ &&
        appList_->closeSearch()) {
        return;
    }
    QWidget::keyPressEvent(event);
}

bool MainPopoverView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::LayoutRequest) {
        Q_EMIT preferredHeightChanged();
    }
    return QWidget::eventFilter(watched, event);
}

void MainPopoverView::showDevices() {
    const AudioDeviceList& devices = manager_.outputDevices();
    if (!sameChoices(devices, shownDevices_)) {
        shownDevices_ = devices;
        picker_->clear();
        for (const AudioDeviceInfo& device : devices) {
            picker_->addItem(QString::fromStdString(device.name),
                             QString::fromStdString(device.uid));
        }
    }
    showDefaultDevice();
}

void MainPopoverView::showDefaultDevice() {
    deviceSymbol_->setSymbol(headerSymbol(manager_.defaultOutputDevice()));
    const std::string uid = selectedDeviceUID();
    picker_->setCurrentIndex(uid.empty() ? -1 : picker_->findData(QString::fromStdString(uid)));
    // The picker may show the name cut short.
    picker_->setToolTip(picker_->currentText());
}

} // namespace kestrelamp
