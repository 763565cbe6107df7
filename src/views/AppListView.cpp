#include "views/AppListView.h"

#include "views/AppRowView.h"
#include "views/LazyRowColumn.h"
#include "views/RecordingSectionView.h"
#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/FocusChain.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/ScrollContent.h"
#include "views/toolkit/SymbolImage.h"
#include "views/toolkit/Symbols.h"
#include "views/toolkit/TextLabel.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QShowEvent>
#include <QVBoxLayout>

namespace kestrelamp {

using namespace toolkit;

namespace {

enum ListingFlag : std::uint8_t { kHasState = 1, kPinned = 2, kIgnored = 4 };

TextLabel* centredText(const QString& objectName, const QString& text, int fontSize,
                       ColorSpec color, QWidget* parent) {
    auto* label = new TextLabel(text, systemFont(fontSize), color, parent);
    label->setObjectName(objectName);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setLines(TextLabel::Lines::wrapped);
    label->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    return label;
}

bool sameIDs(const AudioAppList& a, const AudioAppList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const AudioApp& x, const AudioApp& y) {
                          return x.id == y.id && x.displayName == y.displayName;
                      });
}

} // namespace

AppListView::AppListView(AudioRouteManager& manager, ScreenCapturePermission& permission,
                         QWidget* parent)
    : QWidget(parent)
    , manager_(manager)
    , permission_(permission)
    , hasPermission_(permission.preflight()) {
    setObjectName(QStringLiteral("appList"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("appListScroll"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    outer->addWidget(scroll_);

    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("appListContent"));
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    buildSearchBar(column);
    buildPermissionPrompt(column);
    buildEmptyState(column);
    rows_ = new LazyRowColumn(
        *scroll_, [this](std::size_t index) { return buildRow(index); }, content);
    rows_->setObjectName(QStringLiteral("appRows"));
    column->addWidget(rows_);
    recordingSection_ = new RecordingSectionView(manager_.recordings(), content);
    column->addWidget(recordingSection_);
    buildFooter(column);
    column->addStretch(1);
    scroll_->setWidget(content);

    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_F), this);
    shortcut->setObjectName(QStringLiteral("searchShortcut"));
    connect(shortcut, &QShortcut::activated, this, &AppListView::toggleSearchFocus);
    // Focus keeps to the explicit order; a scroll area in it would be a stop that shows nothing.
    scroll_->setFocusPolicy(Qt::NoFocus);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && scroll_->widget()->isAncestorOf(now)) {
            scroll_->ensureWidgetVisible(now);
        }
    });

    connect(&manager_, &AudioRouteManager::audioAppsChanged, this, &AppListView::refresh);
    connect(&manager_, &AudioRouteManager::appStatesChanged, this, &AppListView::refreshListing);
    connect(&manager_, &AudioRouteManager::audioActivityChanged, this, [this] {
        if (manager_.showOnlyLive()) {
            refresh();
        }
    });
    connect(&manager_, &AudioRouteManager::showOnlyLiveChanged, this, [this] {
        showEmptyStateTexts();
        refresh();
    });
    connect(&manager_, &AudioRouteManager::searchQueryChanged, this, [this] {
        if (searchField_->text() != manager_.searchQuery()) {
            searchField_->setText(manager_.searchQuery());
        }
        refresh();
    });
    connect(&manager_, &AudioRouteManager::audioLevelsChanged, this, &AppListView::pushLevels);
    connect(rows_, &LazyRowColumn::itemsCameIntoView, this, &AppListView::pushLevels);
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state == Qt::ApplicationActive) {
                    readPermission();
                }
            });

    showEmptyStateTexts();
    refresh();
}

AppListView::~AppListView() = default;

void AppListView::buildSearchBar(QVBoxLayout* content) {
    searchBar_ = new QWidget;
    searchBar_->setObjectName(QStringLiteral("searchBar"));
    auto* line = new QHBoxLayout(searchBar_);
    line->setContentsMargins(8, 4, 8, 4);
    line->setSpacing(4);
    line->addWidget(
        new SymbolImage(QStringLiteral("magnifyingglass"), 11, ColorSpec::secondary(), searchBar_));
    searchField_ = new QLineEdit(searchBar_);
    searchField_->setObjectName(QStringLiteral("searchField"));
    searchField_->setPlaceholderText(QStringLiteral("Search apps\u2026"));
    searchField_->setFont(systemFont(11));
    searchField_->setText(manager_.searchQuery());
    line->addWidget(searchField_, 1);
    content->addWidget(searchBar_);
    searchField_->installEventFilter(this);
    connect(searchField_, &QLineEdit::textEdited, this,
            [this](const QString& text) { manager_.setSearchQuery(text); });
}

void AppListView::buildPermissionPrompt(QVBoxLayout* content) {
    permissionPrompt_ = new QWidget;
    permissionPrompt_->setObjectName(QStringLiteral("permissionPrompt"));
    auto* column = new QVBoxLayout(permissionPrompt_);
    column->setContentsMargins(12, 30, 12, 30);
    column->setSpacing(8);
    column->addWidget(new SymbolImage(QStringLiteral("lock.shield"), 24, ColorSpec::secondary(),
                                      permissionPrompt_),
                      0, Qt::AlignHCenter);
    column->addWidget(centredText(QStringLiteral("permissionTitle"),
                                  QStringLiteral("Screen Recording permission needed"), 12,
                                  ColorSpec::secondary(), permissionPrompt_));
    column->addWidget(centredText(
        QStringLiteral("permissionMessage"),
        QStringLiteral("Kestrelamp needs Screen Recording permission to detect audio apps."), 10,
        ColorSpec::secondary(0.7), permissionPrompt_));
    auto* grant = new QPushButton(QStringLiteral("Grant Permission"), permissionPrompt_);
    grant->setObjectName(QStringLiteral("grantPermissionButton"));
    grant->setFont(systemFont(11));
    column->addWidget(grant, 0, Qt::AlignHCenter);
    content->addWidget(permissionPrompt_);
    // Linux has no settings pane to open; the answer is read again when the program is active.
    connect(grant, &QPushButton::clicked, this, [this] { permission_.request(); });
}

void AppListView::buildEmptyState(QVBoxLayout* content) {
    emptyState_ = new QWidget;
    emptyState_->setObjectName(QStringLiteral("emptyState"));
    auto* column = new QVBoxLayout(emptyState_);
    column->setContentsMargins(0, 30, 0, 30);
    column->setSpacing(8);
    emptySymbol_ =
        new SymbolImage(QStringLiteral("speaker.slash"), 24, ColorSpec::secondary(), emptyState_);
    emptySymbol_->setObjectName(QStringLiteral("emptyStateSymbol"));
    column->addWidget(emptySymbol_, 0, Qt::AlignHCenter);
    emptyTitle_ = centredText(QStringLiteral("emptyStateTitle"), QString(), 12,
                              ColorSpec::secondary(), emptyState_);
    column->addWidget(emptyTitle_);
    emptySubtitle_ = centredText(QStringLiteral("emptyStateSubtitle"), QString(), 10,
                                 ColorSpec::secondary(0.7), emptyState_);
    column->addWidget(emptySubtitle_);
    content->addWidget(emptyState_);
}

void AppListView::buildFooter(QVBoxLayout* content) {
    footer_ = new QWidget;
    footer_->setObjectName(QStringLiteral("ignoredFooter"));
    auto* column = new QVBoxLayout(footer_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new Divider(8, 0, footer_));
    auto* line = new QHBoxLayout;
    line->setContentsMargins(12, 6, 12, 6);
    line->setSpacing(6);
    line->addWidget(
        new SymbolImage(QStringLiteral("eye.slash"), 10, ColorSpec::secondary(), footer_));
    ignoredCount_ = new TextLabel(QString(), systemFont(10), ColorSpec::secondary(), footer_);
    ignoredCount_->setObjectName(QStringLiteral("ignoredCount"));
    line->addWidget(ignoredCount_);
    line->addStretch(1);
    showButton_ = new BorderlessButton(footer_);
    showButton_->setObjectName(QStringLiteral("showIgnoredButton"));
    showButton_->setText(QStringLiteral("Show"));
    showButton_->setTextStyle(systemFont(10), ColorSpec::accent());
    line->addWidget(showButton_);
    column->addLayout(line);
    showMenu_ = new QMenu(showButton_);
    showMenu_->setObjectName(QStringLiteral("showIgnoredMenu"));
    content->addWidget(footer_);
    connect(showButton_, &QAbstractButton::clicked, this, [this] {
        showMenu_->popup(showButton_->mapToGlobal(QPoint(0, showButton_->height())));
    });
}

void AppListView::setSearchFieldVisible(bool visible) {
    searchFieldVisible_ = visible;
    showSearchBar();
}

void AppListView::toggleSearchFocus() {
    if (searchField_->hasFocus() && searchFieldVisible_) {
        setSearchFieldVisible(false);
        focusRow(0, QString());
        return;
    }
    setSearchFieldVisible(true);
    // The bar heads the content.
    scroll_->verticalScrollBar()->setValue(0);
    searchField_->setFocus(Qt::ShortcutFocusReason);
}

bool AppListView::closeSearch() {
    if (!searchFieldVisible_ && manager_.searchQuery().isEmpty()) {
        return false;
    }
    if (searchField_->hasFocus() && searchFieldVisible_) {
        focusRow(0, QString());
    }
    manager_.setSearchQuery(QString());
    setSearchFieldVisible(false);
    return true;
}

QList<QWidget*> AppListView::focusOrder(const QWidget* focused) {
    QList<QWidget*> order;
    if (!searchBar_->isHidden()) {
        order << searchField_;
    }
    order += tabStopsIn(permissionPrompt_);
    if (!rows_->isHidden() && rows_->count() > 0) {
        rows_->ensureBuilt(0);
        rows_->ensureBuilt(rows_->count() - 1);
        if (const auto at = rowIndexOf(focused)) {
            rows_->ensureBuilt(*at > 0 ? *at - 1 : 0);
            rows_->ensureBuilt(*at + 1);
        }
        for (AppRowView* built : rows()) {
            order += built->focusOrder();
        }
    }
    order += recordingSection_->focusOrder();
    order += tabStopsIn(footer_);
    return order;
}

std::optional<std::size_t> AppListView::rowIndexOf(const QWidget* widget) const {
    for (std::size_t i = 0; widget && i < rowOrder_.size(); ++i) {
        const AppRowView* built = row(rowOrder_[i]);
        if (built && built->isAncestorOf(widget)) {
            return i;
        }
    }
    return std::nullopt;
}

void AppListView::stepFrom(const AppRowView* from, int step, const QString& control) {
    const auto found = std::find(rowOrder_.begin(), rowOrder_.end(), from->app().id);
    if (found == rowOrder_.end()) {
        return;
    }
    const auto at = std::size_t(found - rowOrder_.begin());
    if (step < 0 && at == 0) {
        if (!searchBar_->isHidden()) {
            searchField_->setFocus(Qt::OtherFocusReason);
        }
        return;
    }
    focusRow(step < 0 ? at - 1 : at + 1, control);
}

// The control of that name in the row, else its first one.
void AppListView::focusRow(std::size_t index, const QString& control) {
    if (rows_->isHidden() || !rows_->ensureBuilt(index)) {
        return;
    }
    AppRowView* target = row(rowOrder_[index]);
    QWidget* widget = control.isEmpty() ? nullptr : target->findChild<QWidget*>(control);
    if (!widget || !target->focusOrder().contains(widget)) {
        widget = target->focusOrder().value(0);
    }
    widget->setFocus(Qt::OtherFocusReason);
}

bool AppListView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == searchField_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Down) {
        focusRow(0, QString());
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void AppListView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        readPermission();
    }
}

void AppListView::readPermission() {
    const bool granted = permission_.preflight();
    if (granted != hasPermission_) {
        hasPermission_ = granted;
        refresh();
    }
}

void AppListView::refresh() {
    showSearchBar();
    lastListingFlags_ = listingFlags();
    syncRows(hasPermission_ ? manager_.filteredApps() : AudioAppList{});
    const bool hasRows = !rowOrder_.empty();
    permissionPrompt_->setVisible(!hasPermission_);
    emptyState_->setVisible(hasPermission_ && !hasRows);
    rows_->setVisible(hasPermission_ && hasRows);
    showFooter();
}

void AppListView::refreshListing() {
    // Most state changes (volume, mute, devices) move no row and change no footer.
    if (listingFlags() != lastListingFlags_) {
        refresh();
    }
}

std::vector<std::uint8_t> AppListView::listingFlags() const {
    std::vector<std::uint8_t> flags;
    flags.reserve(manager_.audioApps().size());
    for (const AudioApp& app : manager_.audioApps()) {
        const AppAudioState* state = manager_.state(app.id);
        flags.push_back(std::uint8_t(state ? kHasState | (state->isPinned ? kPinned : 0) |
                                                 (state->isIgnored ? kIgnored : 0)
                                           : 0));
    }
    return flags;
}

void AppListView::syncRows(const AudioAppList& filtered) {
    std::vector<std::string> order;
    order.reserve(filtered.size());
    for (const AudioApp& app : filtered) {
        order.push_back(app.id);
    }
    listed_ = filtered;
    if (order == rowOrder_) {
        for (const AudioApp& app : filtered) {
            const auto found = rowsByID_.find(app.id);
            if (found == rowsByID_.end()) {
                continue;
            }
            AppRowView* existing = found->second.row;
            if (existing->app().displayName != app.displayName ||
                existing->app().icon != app.icon) {
                existing->setApp(app);
            }
        }
        return;
    }

    std::unordered_map<std::string, RowEntry> kept;
    std::vector<QWidget*> cells(filtered.size(), nullptr);
    for (std::size_t i = 0; i < filtered.size(); ++i) {
        auto found = rowsByID_.find(filtered[i].id);
        if (found != rowsByID_.end()) {
            found->second.row->setApp(filtered[i]);
            cells[i] = found->second.cell;
            kept.emplace(filtered[i].id, found->second);
            rowsByID_.erase(found);
        }
    }
    // What is left belongs to applications no longer listed. A row may be in the middle of
    // handling its own click, so it goes once control is back in the event loop.
    for (auto& [id, entry] : rowsByID_) {
        entry.cell->hide();
        entry.cell->deleteLater();
    }
    rowsByID_ = std::move(kept);
    rowOrder_ = std::move(order);
    showDividers();
    rows_->setItems(std::move(cells));
}

QWidget* AppListView::buildRow(std::size_t index) {
    const AudioApp& app = listed_.at(index);
    auto* cell = new QWidget(rows_);
    cell->setObjectName(QStringLiteral("rowCell"));
    auto* column = new QVBoxLayout(cell);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* row = new AppRowView(app, manager_, AppRowView::LevelUpdates::fromOwner, cell);
    connect(row, &AppRowView::stepRequested, this,
            [this, row](int step, const QString& control) { stepFrom(row, step, control); });
    column->addWidget(row);
    auto* divider = new Divider(8, 0, cell);
    divider->setObjectName(QStringLiteral("rowDivider:%1").arg(QString::fromStdString(app.id)));
    column->addWidget(divider);
    divider->setVisible(index + 1 < rowOrder_.size());
    rowsByID_.emplace(app.id, RowEntry{cell, row, divider});
    return cell;
}

// Between rows, not after the last one.
void AppListView::showDividers() {
    for (std::size_t i = 0; i < rowOrder_.size(); ++i) {
        const auto found = rowsByID_.find(rowOrder_[i]);
        if (found != rowsByID_.end()) {
            found->second.divider->setVisible(i + 1 < rowOrder_.size());
        }
    }
}

void AppListView::showEmptyStateTexts() {
    const bool liveOnly = manager_.showOnlyLive();
    emptySymbol_->setSymbol(liveOnly ? QStringLiteral("waveform.slash")
                                     : QStringLiteral("speaker.slash"));
    emptyTitle_->setText(liveOnly ? QStringLiteral("No apps playing audio")
                                  : QStringLiteral("No audio apps detected"));
    emptySubtitle_->setText(liveOnly ? QStringLiteral("Apps will appear when they play audio")
                                     : QStringLiteral("Play audio in any app to see it here"));
}

void AppListView::showSearchBar() {
    searchBar_->setVisible(manager_.audioApps().size() > kSearchBarThreshold ||
                           searchFieldVisible_);
}

void AppListView::showFooter() {
    AudioAppList ignored = ignoredApps(manager_);
    footer_->setVisible(!ignored.empty());
    ignoredCount_->setText(ignoredCountText(ignored.size()));
    if (sameIDs(ignored, lastIgnored_)) {
        return;
    }
    // The menu may be delivering one of these actions right now.
    for (QAction* action : showMenu_->actions()) {
        showMenu_->removeAction(action);
        action->deleteLater();
    }
    const QIcon eye =
        tintedSymbolIcon(QStringLiteral("eye"), showMenu_->palette().color(QPalette::WindowText));
    for (const AudioApp& app : ignored) {
        auto* action = new QAction(eye, QString::fromStdString(app.displayName), showMenu_);
        action->setObjectName(QStringLiteral("showIgnored:%1").arg(QString::fromStdString(app.id)));
        const std::string id = app.id;
        connect(action, &QAction::triggered, this, [this, id] { manager_.toggleIgnore(id); });
        showMenu_->addAction(action);
    }
    lastIgnored_ = std::move(ignored);
}

// Rows out of view keep what they showed last; they are brought up to date as they come back.
void AppListView::pushLevels() {
    const auto& levels = manager_.audioLevels();
    const auto [first, last] = rows_->visibleRange();
    for (std::size_t i = first; i < last; ++i) {
        const auto found = levels.find(rowOrder_[i]);
        if (found == levels.end()) {
            continue;
        }
        if (AppRowView* shown = row(rowOrder_[i])) {
            shown->setLevel(found->second);
        }
    }
}

AppRowView* AppListView::row(const std::string& appID) const {
    const auto found = rowsByID_.find(appID);
    return found == rowsByID_.end() ? nullptr : found->second.row;
}

std::vector<AppRowView*> AppListView::rows() const {
    std::vector<AppRowView*> ordered;
    ordered.reserve(rowsByID_.size());
    for (const std::string& id : rowOrder_) {
        if (AppRowView* built = row(id)) {
            ordered.push_back(built);
        }
    }
    return ordered;
}

int AppListView::contentHeight() const {
    return scrollContentHeight(*scroll_, scroll_->viewport()->width());
}

QString AppListView::ignoredCountText(std::size_t count) {
    return QString::asprintf("%lld", (long long)count) + QStringLiteral(" ignored app") +
           (count == 1 ? QString() : QStringLiteral("s"));
}

AudioAppList AppListView::ignoredApps(const AudioRouteManager& manager) {
    AudioAppList ignored;
    for (const AudioApp& app : manager.audioApps()) {
        const AppAudioState* state = manager.state(app.id);
        if (state && state->isIgnored) {
            ignored.push_back(app);
        }
    }
    return ignored;
}

} // namespace kestrelamp
