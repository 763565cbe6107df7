#include "views/RecordingSectionView.h"

#include "views/RecordingRowView.h"
#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/TextLabel.h"

#include <QVBoxLayout>

namespace kestrelamp {

using namespace toolkit;

RecordingSectionView::RecordingSectionView(RecordingControl& control, QWidget* parent)
    : QWidget(parent)
    , control_(control) {
    setObjectName(QStringLiteral("recordingSection"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new Divider(8, 0, this));
    auto* caption =
        new TextLabel(QStringLiteral("RECORDING"), captionFont(9), ColorSpec::secondary(), this);
    caption->setObjectName(QStringLiteral("recordingCaption"));
    caption->setPadding(QMargins(12, 6, 12, 2));
    column->addWidget(caption);
    rowColumn_ = new QVBoxLayout;
    rowColumn_->setSpacing(0);
    column->addLayout(rowColumn_);

    connect(&control_, &RecordingControl::recordingsChanged, this, &RecordingSectionView::syncRows);
    connect(&control_, &RecordingControl::inputsChanged, this, &RecordingSectionView::showInputs);
    connect(&control_, &RecordingControl::levelsChanged, this, &RecordingSectionView::pushLevels);
    syncRows();
}

RecordingRowView* RecordingSectionView::row(const std::string& appID) const {
    const auto found = rows_.find(appID);
    return found == rows_.end() ? nullptr : found->second;
}

void RecordingSectionView::syncRows() {
    const auto& recordings = control_.recordings();
    std::map<std::string, RecordingRowView*> kept;
    for (const RecordingApp& app : recordings) {
        RecordingRowView* shown = row(app.id);
        if (shown) {
            shown->setApp(app);
            rows_.erase(app.id);
        } else {
            shown = new RecordingRowView(app, control_, this);
            shown->setLevel(control_.level(app.id));
        }
        kept.emplace(app.id, shown);
    }
    for (const auto& [appID, gone] : rows_) {
        delete gone;
    }
    rows_ = std::move(kept);
    // In the control's order, which is by name.
    for (std::size_t i = 0; i < recordings.size(); ++i) {
        RecordingRowView* shown = rows_.at(recordings[i].id);
        rowColumn_->removeWidget(shown);
        rowColumn_->insertWidget(int(i), shown);
    }
    setVisible(!rows_.empty());
}

void RecordingSectionView::showInputs() {
    for (const auto& [appID, shown] : rows_) {
        shown->showInputs();
    }
}

void RecordingSectionView::pushLevels() {
    for (const auto& [appID, shown] : rows_) {
        if (!shown->visibleRegion().isEmpty()) {
            shown->setLevel(control_.level(appID));
        }
    }
}

QList<QWidget*> RecordingSectionView::focusOrder() const {
    QList<QWidget*> order;
    if (isHidden()) {
        return order;
    }
    for (const RecordingApp& app : control_.recordings()) {
        if (const RecordingRowView* shown = row(app.id)) {
            order += shown->focusOrder();
        }
    }
    return order;
}

} // namespace kestrelamp
