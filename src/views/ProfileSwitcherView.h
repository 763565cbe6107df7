#pragma once

#include "model/AudioRouteManager.h"
#include "profiles/AudioProfile.h"
#include "views/toolkit/BorderlessButton.h"

#include <QWidget>

#include <vector>

class QLineEdit;
class QScrollArea;
class QVBoxLayout;

namespace kestrelamp {

namespace toolkit {
class SymbolImage;
class TextLabel;
} // namespace toolkit

// One saved profile: icon, name, "N apps", the check mark when active, and a trash button.
// A click anywhere else on the row activates it.
class ProfileRow : public toolkit::ClickableRow {
    Q_OBJECT

public:
    ProfileRow(AudioProfile profile, bool isActive, QWidget* parent = nullptr);

    const AudioProfile& profile() const { return profile_; }
    bool isActive() const { return isActive_; }

    // "0 apps", "1 app", "3 apps".
    static QString appCountText(std::size_t count);

Q_SIGNALS:
    void activateRequested();
    void deleteRequested();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    AudioProfile profile_;
    bool isActive_;
};

// The small form that names a new profile and picks its icon. Opens beside the switcher and
// closes on a click outside it.
class ProfileCreationForm : public QWidget {
    Q_OBJECT

public:
    explicit ProfileCreationForm(QWidget* parent);

    QLineEdit* nameField() const { return nameField_; }
    toolkit::BorderlessButton* saveButton() const { return save_; }
    toolkit::BorderlessButton* cancelButton() const { return cancel_; }
    toolkit::BorderlessButton* iconButton(const QString& icon) const;
    void showIcon(const QString& selected);

Q_SIGNALS:
    void iconChosen(const QString& icon);
    void saveRequested();
    void cancelRequested();
    void closed();

protected:
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QLineEdit* nameField_ = nullptr;
    std::vector<toolkit::BorderlessButton*> icons_;
    toolkit::BorderlessButton* cancel_ = nullptr;
    toolkit::BorderlessButton* save_ = nullptr;
};

// The "Profiles" tab: the saved profiles with the active one marked, activation by click,
// deletion, and the creation form that saves the current routing as a new profile.
class ProfileSwitcherView : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* kDefaultIcon = "music.note";

    explicit ProfileSwitcherView(AudioRouteManager& manager, QWidget* parent = nullptr);

    bool showCreateSheet() const { return showCreateSheet_; }
    void setShowCreateSheet(bool show);
    const QString& newProfileName() const { return newProfileName_; }
    const QString& newProfileIcon() const { return newProfileIcon_; }
    // Saves with the name as typed, spaces and all; nothing for an empty name.
    void save();
    void cancel();

    std::vector<ProfileRow*> rows() const;
    ProfileCreationForm* creationForm() const { return form_; }
    toolkit::BorderlessButton* createButton() const { return createButton_; }
    QScrollArea* scrollArea() const { return scroll_; }

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void rebuildRows();
    void placeForm();
    void showFormState();

    AudioRouteManager& manager_;
    bool showCreateSheet_ = false;
    QString newProfileName_;
    QString newProfileIcon_ = QString::fromLatin1(kDefaultIcon);

    toolkit::BorderlessButton* createButton_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* emptyState_ = nullptr;
    QWidget* rowsHolder_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    ProfileCreationForm* form_ = nullptr;
};

} // namespace kestrelamp
