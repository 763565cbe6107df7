#include "views/ProfileSwitcherView.h"

#include "profiles/ProfileIcons.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/SymbolImage.h"
#include "views/toolkit/TextLabel.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

namespace kestrelamp {

using namespace toolkit;

namespace {

constexpr int kFormWidth = 220;
constexpr int kIconColumns = 6;
constexpr int kIconColumnWidth = 28;
constexpr int kIconCell = 24;

QString objectNameFor(const char* prefix, const QUuid& id) {
    return QString::fromLatin1(prefix) + id.toString(QUuid::WithoutBraces);
}

} // namespace

// --- ProfileRow ------------------------------------------------------------------------------

ProfileRow::ProfileRow(AudioProfile profile, bool isActive, QWidget* parent)
    : ClickableRow(parent)
    , profile_(std::move(profile))
    , isActive_(isActive) {
    setObjectName(objectNameFor("profileRow:", profile_.id));
    const QString name = QString::fromStdString(profile_.name);
    setAccessibleName(name);
    auto* line = new QHBoxLayout(this);
    line->setContentsMargins(12, 8, 12, 8);
    line->setSpacing(8);

    auto* iconFrame = new QWidget(this);
    iconFrame->setAttribute(Qt::WA_TransparentForMouseEvents);
    iconFrame->setFixedWidth(24);
    auto* iconLine = new QHBoxLayout(iconFrame);
    iconLine->setContentsMargins(0, 0, 0, 0);
    auto* icon =
        new SymbolImage(QString::fromStdString(profile_.icon), 14,
                        isActive ? ColorSpec::accent() : ColorSpec::secondary(), iconFrame);
    icon->setObjectName(QStringLiteral("profileIcon"));
    iconLine->addWidget(icon, 0, Qt::AlignCenter);
    line->addWidget(iconFrame);

    auto* texts = new QWidget(this);
    texts->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* column = new QVBoxLayout(texts);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(1);
    auto* title =
        new TextLabel(name, systemFont(12, isActive ? FontWeight::semibold : FontWeight::regular),
                      ColorSpec::primary(), texts);
    title->setObjectName(QStringLiteral("profileName"));
    title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    column->addWidget(title);
    auto* count = new TextLabel(appCountText(profile_.routes.size()), systemFont(9),
                                ColorSpec::secondary(), texts);
    count->setObjectName(QStringLiteral("profileAppCount"));
    column->addWidget(count);
    line->addWidget(texts, 1);

    if (isActive) {
        auto* check =
            new SymbolImage(QStringLiteral("checkmark.circle.fill"), 12, ColorSpec::accent(), this);
        check->setObjectName(QStringLiteral("activeCheck"));
        line->addWidget(check);
    }
    auto* trash = new BorderlessButton(this);
    trash->setObjectName(QStringLiteral("deleteProfile"));
    trash->setSymbol(QStringLiteral("trash"), 10, ColorSpec::secondary(0.5));
    trash->setToolTip(QStringLiteral("Delete profile"));
    trash->setAccessibleName(QStringLiteral("Delete %1").arg(name));
    line->addWidget(trash);

    connect(this, &QAbstractButton::clicked, this, &ProfileRow::activateRequested);
    connect(trash, &QAbstractButton::clicked, this, &ProfileRow::deleteRequested);
}

QString ProfileRow::appCountText(std::size_t count) {
    return QString::number(count) + (count == 1 ? QStringLiteral(" app") : QStringLiteral(" apps"));
}

void ProfileRow::paintEvent(QPaintEvent* event) {
    if (isActive_) {
        QPainter painter(this);
        painter.fillRect(rect(), ColorSpec::accent(0.08).resolve(palette()));
    }
    ClickableRow::paintEvent(event);
}

// --- ProfileCreationForm ---------------------------------------------------------------------

ProfileCreationForm::ProfileCreationForm(QWidget* parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("profileCreationForm"));
    // A click on the plus button while the form is open only closes it.
    setAttribute(Qt::WA_NoMouseReplay);
    setFixedWidth(kFormWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(12);
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto* title = new TextLabel(QStringLiteral("New Profile"), systemFont(13, FontWeight::semibold),
                                ColorSpec::primary(), this);
    column->addWidget(title);

    nameField_ = new QLineEdit(this);
    nameField_->setObjectName(QStringLiteral("profileNameField"));
    nameField_->setPlaceholderText(QStringLiteral("Profile Name"));
    nameField_->setFont(systemFont(12));
    column->addWidget(nameField_);

    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(4);
    for (std::size_t i = 0; i < kProfileIconOptions.size(); ++i) {
        const QString icon = QString::fromLatin1(kProfileIconOptions[i].data(),
                                                 qsizetype(kProfileIconOptions[i].size()));
        auto* cell = new BorderlessButton(this);
        cell->setObjectName(QStringLiteral("iconOption:") + icon);
        cell->setAccessibleName(icon);
        cell->setToolTip(icon);
        cell->setSymbol(icon, 12, ColorSpec::primary());
        cell->setPadding(QMargins(0, 0, 0, 0));
        cell->setFixedSize(kIconCell, kIconCell);
        connect(cell, &QAbstractButton::clicked, this, [this, icon] { Q_EMIT iconChosen(icon); });
        const int row = int(i) / kIconColumns;
        const int column = int(i) % kIconColumns;
        grid->addWidget(cell, row, column, Qt::AlignCenter);
        grid->setColumnMinimumWidth(column, kIconColumnWidth);
        icons_.push_back(cell);
    }
    column->addLayout(grid);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    cancel_ = new BorderlessButton(this);
    cancel_->setObjectName(QStringLiteral("cancelProfile"));
    cancel_->setText(QStringLiteral("Cancel"));
    cancel_->setTextStyle(systemFont(11), ColorSpec::primary());
    buttons->addWidget(cancel_);
    buttons->addStretch(1);
    save_ = new BorderlessButton(this);
    save_->setObjectName(QStringLiteral("saveProfile"));
    save_->setText(QStringLiteral("Save"));
    save_->setTextStyle(systemFont(11, FontWeight::medium), ColorSpec::fixed(named::white));
    save_->setBackground(ColorSpec::accent(), 5);
    save_->setPadding(QMargins(10, 3, 10, 3));
    buttons->addWidget(save_);
    column->addLayout(buttons);

    connect(cancel_, &QAbstractButton::clicked, this, &ProfileCreationForm::cancelRequested);
    connect(save_, &QAbstractButton::clicked, this, &ProfileCreationForm::saveRequested);
}

BorderlessButton* ProfileCreationForm::iconButton(const QString& icon) const {
    for (BorderlessButton* cell : icons_) {
        if (cell->symbol() == icon) {
            return cell;
        }
    }
    return nullptr;
}

void ProfileCreationForm::showIcon(const QString& selected) {
    for (BorderlessButton* cell : icons_) {
        cell->setBackground(
            cell->symbol() == selected ? std::optional(ColorSpec::accent(0.2)) : std::nullopt, 4);
    }
}

void ProfileCreationForm::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    Q_EMIT closed();
}

void ProfileCreationForm::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.setPen(withOpacity(primaryColor(palette()), 0.2));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

// --- ProfileSwitcherView ---------------------------------------------------------------------

ProfileSwitcherView::ProfileSwitcherView(AudioRouteManager& manager, QWidget* parent)
    : QWidget(parent)
    , manager_(manager) {
    setObjectName(QStringLiteral("profileSwitcher"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("profileScroll"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setFocusPolicy(Qt::NoFocus);
    outer->addWidget(scroll_);

    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("profileContent"));
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QWidget(content);
    header->setObjectName(QStringLiteral("profileHeader"));
    auto* headerLine = new QHBoxLayout(header);
    headerLine->setContentsMargins(12, 8, 12, 8);
    headerLine->addWidget(new TextLabel(QStringLiteral("Profiles"),
                                        systemFont(11, FontWeight::semibold),
                                        ColorSpec::secondary(), header));
    headerLine->addStretch(1);
    createButton_ = new BorderlessButton(header);
    createButton_->setObjectName(QStringLiteral("createProfile"));
    createButton_->setSymbol(QStringLiteral("plus.circle"), 12, ColorSpec::secondary());
    createButton_->setToolTip(QStringLiteral("Create new profile"));
    createButton_->setAccessibleName(QStringLiteral("Create new profile"));
    headerLine->addWidget(createButton_);
    column->addWidget(header);
    column->addWidget(new Divider(8, 0, content));

    emptyState_ = new QWidget(content);
    emptyState_->setObjectName(QStringLiteral("profilesEmptyState"));
    auto* empty = new QVBoxLayout(emptyState_);
    empty->setContentsMargins(12, 30, 12, 30);
    empty->setSpacing(8);
    empty->addWidget(
        new SymbolImage(QStringLiteral("tray"), 24, ColorSpec::secondary(), emptyState_), 0,
        Qt::AlignHCenter);
    for (const auto& [text, size, opacity] :
         {std::tuple{QStringLiteral("No profiles saved"), 12, 1.0},
          std::tuple{QStringLiteral("Save your current routing setup as a profile"), 10, 0.7}}) {
        auto* label =
            new TextLabel(text, systemFont(size), ColorSpec::secondary(opacity), emptyState_);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setLines(TextLabel::Lines::wrapped);
        empty->addWidget(label);
    }
    column->addWidget(emptyState_);

    rowsHolder_ = new QWidget(content);
    rowsHolder_->setObjectName(QStringLiteral("profileRows"));
    rowsLayout_ = new QVBoxLayout(rowsHolder_);
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    rowsLayout_->setSpacing(0);
    column->addWidget(rowsHolder_);
    column->addStretch(1);
    scroll_->setWidget(content);

    form_ = new ProfileCreationForm(this);
    form_->showIcon(newProfileIcon_);
    connect(createButton_, &QAbstractButton::clicked, this,
            [this] { setShowCreateSheet(!showCreateSheet_); });
    connect(form_->nameField(), &QLineEdit::textChanged, this, [this](const QString& text) {
        newProfileName_ = text;
        showFormState();
    });
    connect(form_, &ProfileCreationForm::iconChosen, this, [this](const QString& icon) {
        newProfileIcon_ = icon;
        form_->showIcon(icon);
    });
    connect(form_, &ProfileCreationForm::saveRequested, this, &ProfileSwitcherView::save);
    connect(form_->nameField(), &QLineEdit::returnPressed, this, &ProfileSwitcherView::save);
    connect(form_, &ProfileCreationForm::cancelRequested, this, &ProfileSwitcherView::cancel);
    // Closed by a click outside it: the form goes, what was typed stays.
    connect(form_, &ProfileCreationForm::closed, this, [this] { showCreateSheet_ = false; });

    ProfileManager& profiles = manager_.profileManager();
    connect(&profiles, &ProfileManager::profilesChanged, this, &ProfileSwitcherView::rebuildRows);
    connect(&profiles, &ProfileManager::activeProfileIDChanged, this,
            &ProfileSwitcherView::rebuildRows);
    rebuildRows();
    showFormState();
}

void ProfileSwitcherView::setShowCreateSheet(bool show) {
    showCreateSheet_ = show;
    if (show) {
        placeForm();
        form_->show();
        form_->nameField()->setFocus(Qt::PopupFocusReason);
    } else {
        form_->hide();
    }
}

void ProfileSwitcherView::save() {
    if (newProfileName_.isEmpty()) {
        return;
    }
    manager_.saveCurrentAsProfile(newProfileName_.toStdString(), newProfileIcon_.toStdString());
    setShowCreateSheet(false);
    form_->nameField()->clear();
}

void ProfileSwitcherView::cancel() {
    setShowCreateSheet(false);
    form_->nameField()->clear();
}

std::vector<ProfileRow*> ProfileSwitcherView::rows() const {
    std::vector<ProfileRow*> found;
    for (int i = 0; i < rowsLayout_->count(); ++i) {
        if (auto* row = qobject_cast<ProfileRow*>(rowsLayout_->itemAt(i)->widget())) {
            found.push_back(row);
        }
    }
    return found;
}

void ProfileSwitcherView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (showCreateSheet_) {
        setShowCreateSheet(false);
    }
}

void ProfileSwitcherView::rebuildRows() {
    while (QLayoutItem* item = rowsLayout_->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    ProfileManager& profiles = manager_.profileManager();
    const std::vector<AudioProfile>& list = profiles.profiles();
    emptyState_->setVisible(list.empty());
    rowsHolder_->setVisible(!list.empty());
    const std::optional<QUuid>& active = profiles.activeProfileID();
    for (const AudioProfile& profile : list) {
        auto* row = new ProfileRow(profile, active && *active == profile.id, rowsHolder_);
        const QUuid id = profile.id;
        connect(row, &ProfileRow::activateRequested, this, [this, id] {
            // The row may outlive its profile by one event; act only on what is still saved.
            if (const AudioProfile* current = manager_.profileManager().profile(id)) {
                manager_.applyProfile(AudioProfile(*current));
            }
        });
        connect(row, &ProfileRow::deleteRequested, this,
                [this, id] { manager_.profileManager().deleteProfile(id); });
        rowsLayout_->addWidget(row);
        if (profile.id != list.back().id) {
            auto* divider = new Divider(12, 0, rowsHolder_);
            divider->setObjectName(objectNameFor("profileDivider:", profile.id));
            rowsLayout_->addWidget(divider);
        }
    }
}

void ProfileSwitcherView::placeForm() {
    form_->adjustSize();
    const QRect area(scroll_->mapToGlobal(QPoint(0, 0)), scroll_->size());
    QPoint topLeft(area.center().x() - form_->width() / 2, area.top() + 36);
    if (const QScreen* screen = this->screen()) {
        const QRect available = screen->availableGeometry();
        topLeft.setX(std::clamp(topLeft.x(), available.left(),
                                std::max(available.left(), available.right() - form_->width())));
        topLeft.setY(std::clamp(topLeft.y(), available.top(),
                                std::max(available.top(), available.bottom() - form_->height())));
    }
    form_->move(topLeft);
}

void ProfileSwitcherView::showFormState() {
    form_->saveButton()->setEnabled(!newProfileName_.isEmpty());
}

} // namespace kestrelamp
