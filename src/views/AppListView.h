#pragma once

#include "model/AudioModel.h"
#include "model/AudioRouteManager.h"
#include "platform/ScreenCapturePermission.h"

#include <QWidget>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class QLineEdit;
class QMenu;
class QScrollArea;
class QVBoxLayout;

namespace kestrelamp {

class AppRowView;
class LazyRowColumn;
class RecordingSectionView;

namespace toolkit {
class BorderlessButton;
class Divider;
class SymbolImage;
class TextLabel;
} // namespace toolkit

// The "Apps" tab: a scrolling list with the search bar (more than 8 applications, or Ctrl+F),
// then the permission prompt, the empty state or one row per filtered application, the
// applications recording now, and the footer of ignored applications. Rows are kept by application
// id, so reordering keeps their expanded sections; a row is built when it first comes into view,
// and only rows in view get levels.
class AppListView : public QWidget {
    Q_OBJECT

public:
    static constexpr std::size_t kSearchBarThreshold = 8;

    AppListView(AudioRouteManager& manager, ScreenCapturePermission& permission,
                QWidget* parent = nullptr);
    ~AppListView() override;

    bool searchFieldVisible() const { return searchFieldVisible_; }
    void setSearchFieldVisible(bool visible);
    bool hasScreenCapturePermission() const { return hasPermission_; }
    // Ctrl+F: shows the search field, scrolled into view, with the focus; hides the field it
    // forced on when the focus is already there.
    void toggleSearchFocus();
    // Escape: clears the search and hides the field if forced on. False when there was none.
    bool closeSearch();

    // Tab order: the search field, the rows top to bottom, the recording rows, the footer. The rows
    // a Tab or Backtab can reach from the focused widget are built first.
    QList<QWidget*> focusOrder(const QWidget* focused);

    // The row of a listed application, nothing when it is not listed or not built yet.
    AppRowView* row(const std::string& appID) const;
    // Built rows in display order.
    std::vector<AppRowView*> rows() const;
    // Listed applications, built or not.
    std::size_t listedCount() const { return rowOrder_.size(); }
    QScrollArea* scrollArea() const { return scroll_; }
    RecordingSectionView* recordingSection() const { return recordingSection_; }
    // The height the whole content wants at the list's current width.
    int contentHeight() const;

    // "1 ignored app", "2 ignored apps".
    static QString ignoredCountText(std::size_t count);
    // Listed applications whose stored state is ignored, in listing order.
    static AudioAppList ignoredApps(const AudioRouteManager& manager);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct RowEntry {
        QWidget* cell;
        AppRowView* row;
        toolkit::Divider* divider;
    };

    void buildSearchBar(QVBoxLayout* content);
    void buildPermissionPrompt(QVBoxLayout* content);
    void buildEmptyState(QVBoxLayout* content);
    void buildFooter(QVBoxLayout* content);

    void readPermission();
    void refresh();
    void refreshListing();
    void syncRows(const AudioAppList& filtered);
    QWidget* buildRow(std::size_t index);
    // Position of the row holding the widget, or nothing.
    std::optional<std::size_t> rowIndexOf(const QWidget* widget) const;
    void stepFrom(const AppRowView* row, int step, const QString& control);
    void focusRow(std::size_t index, const QString& control);
    void showDividers();
    void showEmptyStateTexts();
    void showSearchBar();
    void showFooter();
    void pushLevels();
    // Per listed application: present, pinned, ignored. Rows and footer follow nothing else.
    std::vector<std::uint8_t> listingFlags() const;

    AudioRouteManager& manager_;
    ScreenCapturePermission& permission_;
    bool searchFieldVisible_ = false;
    bool hasPermission_ = true;

    QScrollArea* scroll_ = nullptr;
    QWidget* searchBar_ = nullptr;
    QLineEdit* searchField_ = nullptr;
    QWidget* permissionPrompt_ = nullptr;
    QWidget* emptyState_ = nullptr;
    toolkit::SymbolImage* emptySymbol_ = nullptr;
    toolkit::TextLabel* emptyTitle_ = nullptr;
    toolkit::TextLabel* emptySubtitle_ = nullptr;
    LazyRowColumn* rows_ = nullptr;
    RecordingSectionView* recordingSection_ = nullptr;
    QWidget* footer_ = nullptr;
    toolkit::TextLabel* ignoredCount_ = nullptr;
    toolkit::BorderlessButton* showButton_ = nullptr;
    QMenu* showMenu_ = nullptr;

    std::unordered_map<std::string, RowEntry> rowsByID_;
    std::vector<std::string> rowOrder_;
    AudioAppList listed_;
    std::vector<std::uint8_t> lastListingFlags_;
    AudioAppList lastIgnored_;
};

} // namespace kestrelamp
