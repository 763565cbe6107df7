#include "views/SettingsWindow.h"

#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/ProgramIcons.h"
#include "views/toolkit/Symbols.h"
#include "views/toolkit/TextLabel.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QUrl>
#include <QVBoxLayout>

namespace kestrelamp {

using namespace toolkit;

namespace {

constexpr int kSidebarMinimumWidth = 140;
constexpr int kSidebarWidth = 160;
constexpr int kSidebarMaximumWidth = 180;
constexpr int kPickerWidth = 140;
constexpr int kAboutIconEdge = 80;

TextLabel* heading(const QString& text, QWidget* parent) {
    // The desktop's title-2 size: a step above body text.
    return new TextLabel(text, systemFont(17, FontWeight::bold), ColorSpec::primary(), parent);
}

// A titled box whose content is a column padded 4 pixels.
QVBoxLayout* groupBox(const QString& title, const char* objectName, QVBoxLayout* page,
                      QWidget* parent) {
    auto* box = new QGroupBox(title, parent);
    box->setObjectName(QLatin1String(objectName));
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(4 + 6, 4 + 6, 4 + 6, 4 + 6);
    column->setSpacing(8);
    page->addWidget(box);
    return column;
}

QVBoxLayout* pageColumn(QWidget* page) {
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(20);
    return column;
}

// Accent-coloured, and in the selection's text colour on the selected row.
// The page list's current entry gets a ring while the list has the focus.
class SidebarDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        if (!(option.state & QStyle::State_HasFocus)) {
            return;
        }
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        // On the selection's own colour the ring takes the selected text's.
        const bool selected = option.state & QStyle::State_Selected;
        painter->setPen(QPen(selected ? option.palette.color(QPalette::HighlightedText)
                                      : accentColor(option.palette),
                             2.0));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(QRectF(option.rect).adjusted(1, 1, -1, -1), 4, 4);
        painter->restore();
    }
};

QIcon sidebarIcon(const QString& symbol, const QPalette& palette) {
    QIcon icon;
    for (const qreal scale : {1.0, 2.0}) {
        const QSize size(16, 16);
        icon.addPixmap(symbolPixmap(symbol, size, accentColor(palette), scale), QIcon::Normal);
        icon.addPixmap(symbolPixmap(symbol, size, palette.color(QPalette::HighlightedText), scale),
                       QIcon::Selected);
    }
    return icon;
}

} // namespace

QString settingsTabTitle(SettingsTab tab) {
    switch (tab) {
    case SettingsTab::general:
        return QStringLiteral("General");
    case SettingsTab::update:
        return QStringLiteral("Update");
    case SettingsTab::about:
        return QStringLiteral("About");
    }
    return {};
}

QString settingsTabSymbol(SettingsTab tab) {
    switch (tab) {
    case SettingsTab::general:
        return QStringLiteral("gearshape");
    case SettingsTab::update:
        return QStringLiteral("arrow.triangle.2.circlepath");
    case SettingsTab::about:
        return QStringLiteral("info.circle");
    }
    return {};
}

// --- General ---------------------------------------------------------------------------------

GeneralSettingsPage::GeneralSettingsPage(UserDefaults& defaults, LoginItem loginItem,
                                         MicrophoneList microphones, QWidget* parent)
    : QWidget(parent)
    , defaults_(defaults)
    , loginItem_(std::move(loginItem)) {
    setObjectName(QStringLiteral("generalSettings"));
    QVBoxLayout* column = pageColumn(this);
    column->addWidget(heading(QStringLiteral("General"), this));

    QVBoxLayout* startup = groupBox(QStringLiteral("Startup"), "startupGroup", column, this);
    launchAtLogin_ = new QCheckBox(QStringLiteral("Launch Kestrelamp at login"), this);
    launchAtLogin_->setObjectName(QStringLiteral("launchAtLoginToggle"));
    startup->addWidget(launchAtLogin_);

    QVBoxLayout* list = groupBox(QStringLiteral("App List"), "appListGroup", column, this);
    showOnlyLive_ = new QCheckBox(QStringLiteral("Show only LIVE apps by default"), this);
    showOnlyLive_->setObjectName(QStringLiteral("showOnlyLiveToggle"));
    list->addWidget(showOnlyLive_);
    auto* intervalRow = new QHBoxLayout;
    intervalRow->addWidget(new QLabel(QStringLiteral("Refresh interval"), this));
    intervalRow->addStretch(1);
    refreshInterval_ = new QComboBox(this);
    refreshInterval_->setObjectName(QStringLiteral("refreshIntervalPicker"));
    refreshInterval_->setAccessibleName(QStringLiteral("Refresh interval"));
    refreshInterval_->setFixedWidth(kPickerWidth);
    for (const RefreshChoice& choice : kRefreshChoices) {
        refreshInterval_->addItem(QLatin1String(choice.text), choice.seconds);
    }
    intervalRow->addWidget(refreshInterval_);
    list->addLayout(intervalRow);
    callMix_ = new CallMixSettingsGroup(defaults_, std::move(microphones), this);
    column->addWidget(callMix_);
    column->addStretch(1);

    // The login item follows every change of the stored choice; a failure is only printed and
    // the choice stays as the user set it.
    connect(launchAtLogin_, &QAbstractButton::clicked, this, [this](bool enabled) {
        defaults_.setBool(QLatin1String(UserDefaults::launchAtLoginKey), enabled);
        setLaunchAtLogin(enabled, loginItem_);
    });
    connect(showOnlyLive_, &QAbstractButton::clicked, this, [this](bool enabled) {
        defaults_.setBool(QLatin1String(UserDefaults::showOnlyLiveKey), enabled);
    });
    connect(refreshInterval_, &QComboBox::activated, this, [this](int index) {
        defaults_.setDouble(QLatin1String(UserDefaults::refreshIntervalKey),
                            kRefreshChoices[std::size_t(index)].seconds);
    });
    connect(&defaults_, &UserDefaults::didChange, this, &GeneralSettingsPage::readDefaults);
    readDefaults();
}

int GeneralSettingsPage::refreshChoiceIndex(const UserDefaults& defaults) {
    const QString key = QLatin1String(UserDefaults::refreshIntervalKey);
    const double seconds = defaults.contains(key) ? defaults.doubleForKey(key) : 3.0;
    for (std::size_t i = 0; i < kRefreshChoices.size(); ++i) {
        if (kRefreshChoices[i].seconds == seconds) {
            return int(i);
        }
    }
    return -1;
}

void GeneralSettingsPage::showEvent(QShowEvent* event) {
    readDefaults();
    callMix_->readDefaults();
    QWidget::showEvent(event);
}

void GeneralSettingsPage::readDefaults() {
    launchAtLogin_->setChecked(defaults_.boolForKey(QLatin1String(UserDefaults::launchAtLoginKey)));
    showOnlyLive_->setChecked(defaults_.boolForKey(QLatin1String(UserDefaults::showOnlyLiveKey)));
    refreshInterval_->setCurrentIndex(refreshChoiceIndex(defaults_));
}

// --- Update ----------------------------------------------------------------------------------

UpdateSettingsPage::UpdateSettingsPage(UpdateSettingsModel* model, const BundleInfo& bundle,
                                       QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("updateSettings"));
    QVBoxLayout* column = pageColumn(this);
    column->addWidget(heading(QStringLiteral("Software Update"), this));

    QVBoxLayout* updates = groupBox(QStringLiteral("Updates"), "updatesGroup", column, this);
    automatic_ = new QCheckBox(QStringLiteral("Automatically check for updates"), this);
    automatic_->setObjectName(QStringLiteral("automaticChecksToggle"));
    updates->addWidget(automatic_);
    auto* checkRow = new QHBoxLayout;
    check_ = new QPushButton(QStringLiteral("Check for Updates..."), this);
    check_->setObjectName(QStringLiteral("checkForUpdatesButton"));
    checkRow->addWidget(check_);
    checkRow->addStretch(1);
    updates->addLayout(checkRow);

    QVBoxLayout* version = groupBox(QStringLiteral("Version"), "versionGroup", column, this);
    auto* versionRow = new QHBoxLayout;
    versionRow->addWidget(new QLabel(QStringLiteral("Current Version"), this));
    versionRow->addStretch(1);
    version_ = new TextLabel(bundle.versionWithBuildNumber(), systemFont(13),
                             ColorSpec::secondary(), this);
    version_->setObjectName(QStringLiteral("currentVersion"));
    versionRow->addWidget(version_);
    version->addLayout(versionRow);
    column->addStretch(1);

    connect(automatic_, &QAbstractButton::clicked, this, [this](bool automatic) {
        if (model_) {
            model_->setAutomaticallyChecksForUpdates(automatic);
        }
        readModel();
    });
    connect(check_, &QAbstractButton::clicked, this, [this] {
        if (model_) {
            model_->checkForUpdates();
        }
    });
    setModel(model);
}

void UpdateSettingsPage::setModel(UpdateSettingsModel* model) {
    if (model_ == model) {
        readModel();
        return;
    }
    disconnect(modelConnection_);
    model_ = model;
    if (model_) {
        modelConnection_ = connect(model_, &UpdateSettingsModel::canCheckForUpdatesChanged, this,
                                   &UpdateSettingsPage::readModel);
    }
    readModel();
}

void UpdateSettingsPage::showEvent(QShowEvent* event) {
    readModel();
    QWidget::showEvent(event);
}

void UpdateSettingsPage::readModel() {
    automatic_->setChecked(model_ ? model_->automaticallyChecksForUpdates() : true);
    check_->setEnabled(model_ && model_->canCheckForUpdates());
}

// --- About -----------------------------------------------------------------------------------

AboutSettingsPage::AboutSettingsPage(const BundleInfo& bundle, QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("aboutSettings"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(20);
    column->addStretch(1);

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(programIcon().pixmap(QSize(kAboutIconEdge, kAboutIconEdge)));
    icon->setFixedSize(kAboutIconEdge, kAboutIconEdge);
    icon->setScaledContents(true);
    column->addWidget(icon, 0, Qt::AlignHCenter);

    const auto centred = [&](const QString& text, const QFont& font, ColorSpec color,
                             const char* objectName) {
        auto* label = new TextLabel(text, font, color, this);
        label->setObjectName(QLatin1String(objectName));
        label->setAlignment(Qt::AlignCenter);
        column->addWidget(label, 0, Qt::AlignHCenter);
    };
    // The desktop's title size.
    centred(QStringLiteral("Kestrelamp"), systemFont(22, FontWeight::bold), ColorSpec::primary(),
            "aboutName");
    centred(QStringLiteral("Version ") + bundle.shortVersionString(), systemFont(12),
            ColorSpec::secondary(), "aboutVersion");
    centred(QStringLiteral("Per-app audio routing for Linux"), systemFont(12),
            ColorSpec::secondary(), "aboutTagline");
    column->addWidget(new Divider(40, 0, this));

    auto* contact = new BorderlessButton(this);
    contact->setObjectName(QStringLiteral("contactButton"));
    contact->setText(QLatin1String(kContactAddress));
    contact->setTextStyle(systemFont(11), ColorSpec::accent());
    contact->setCursor(Qt::PointingHandCursor);
    contact->setToolTip(QStringLiteral("Write to us"));
    connect(contact, &QAbstractButton::clicked, this, [] { openContactAddress(); });
    column->addWidget(contact, 0, Qt::AlignHCenter);
    column->addStretch(1);
}

bool AboutSettingsPage::openContactAddress() {
    const QUrl url(QStringLiteral("mailto:") + QLatin1String(kContactAddress), QUrl::StrictMode);
    return url.isValid() && QDesktopServices::openUrl(url);
}

// --- Window content --------------------------------------------------------------------------

SettingsView::SettingsView(UpdateSettingsModel* updater, SettingsTab initialTab,
                           const QString& defaultsPath, MicrophoneList microphones, QWidget* parent)
    : QWidget(parent)
    , defaults_(defaultsPath.isEmpty() ? UserDefaults::defaultFilePath() : defaultsPath)
    , selectedTab_(initialTab) {
    setObjectName(QStringLiteral("settingsView"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);

    sidebar_ = new QListWidget(this);
    sidebar_->setObjectName(QStringLiteral("settingsSidebar"));
    sidebar_->setMinimumWidth(kSidebarMinimumWidth);
    sidebar_->setMaximumWidth(kSidebarMaximumWidth);
    sidebar_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    sidebar_->resize(kSidebarWidth, sidebar_->height());
    sidebar_->setFrameShape(QFrame::NoFrame);
    sidebar_->setIconSize(QSize(16, 16));
    sidebar_->setSpacing(2);
    QPalette sidebarPalette = sidebar_->palette();
    sidebarPalette.setColor(QPalette::Base, sidebarPalette.color(QPalette::AlternateBase));
    sidebar_->setPalette(sidebarPalette);
    sidebar_->setItemDelegate(new SidebarDelegate(sidebar_));
    for (SettingsTab tab : kSettingsTabs) {
        auto* item = new QListWidgetItem(sidebarIcon(settingsTabSymbol(tab), palette()),
                                         settingsTabTitle(tab), sidebar_);
        item->setSizeHint(QSize(kSidebarWidth - 8, 28));
    }
    row->addWidget(sidebar_, 0);

    pages_ = new QStackedWidget(this);
    const BundleInfo bundle;
    general_ = new GeneralSettingsPage(defaults_, LoginItem(), std::move(microphones));
    update_ = new UpdateSettingsPage(updater, bundle);
    about_ = new AboutSettingsPage(bundle);
    for (QWidget* page : {static_cast<QWidget*>(general_), static_cast<QWidget*>(update_),
                          static_cast<QWidget*>(about_)}) {
        auto* scroll = new QScrollArea(pages_);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setWidgetResizable(true);
        auto* padded = new QWidget;
        auto* padding = new QVBoxLayout(padded);
        padding->setContentsMargins(20, 20, 20, 20);
        padding->addWidget(page);
        scroll->setWidget(padded);
        pages_->addWidget(scroll);
    }
    row->addWidget(pages_, 1);

    connect(sidebar_, &QListWidget::currentRowChanged, this, [this](int index) {
        if (index >= 0) {
            setSelectedTab(kSettingsTabs[std::size_t(index)]);
        }
    });
    setSelectedTab(initialTab);
    sidebar_->setCurrentRow(int(initialTab));

    // As a dialog would; closing only hides it for the next request.
    for (const QKeySequence& keys :
         {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, &QWidget::close);
    }
}

void SettingsView::setSelectedTab(SettingsTab tab) {
    selectedTab_ = tab;
    pages_->setCurrentIndex(int(tab));
    if (sidebar_->currentRow() != int(tab)) {
        sidebar_->setCurrentRow(int(tab));
    }
}

// --- Controller ------------------------------------------------------------------------------

SettingsWindowController& SettingsWindowController::shared() {
    static SettingsWindowController controller;
    return controller;
}

SettingsWindowController::~SettingsWindowController() {
    // After the application object is gone no widget may be touched; the process is ending.
    if (QCoreApplication::instance()) {
        reset();
    }
}

void SettingsWindowController::showSettings(UpdateSettingsModel* updater) {
    updater_ = updater;
    if (window_) {
        window_->updatePage()->setModel(updater);
        window_->show();
        window_->raise();
        window_->activateWindow();
        return;
    }
    auto* window = new SettingsView(updater, SettingsTab::general, {}, microphones_);
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint);
    window->setWindowTitle(QStringLiteral("Kestrelamp Settings"));
    window->setWindowIcon(programIcon());
    window->resize(SettingsView::kWidth, SettingsView::kHeight);
    window->setMinimumSize(SettingsView::kMinimumWidth, SettingsView::kMinimumHeight);
    window_ = window;
    if (const QScreen* screen = window->screen()) {
        QRect frame(QPoint(0, 0), window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void SettingsWindowController::reset() {
    delete window_.data();
    window_ = nullptr;
    updater_ = nullptr;
}

} // namespace kestrelamp
