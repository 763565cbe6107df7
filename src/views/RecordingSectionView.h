#pragma once

#include "model/RecordingControl.h"

#include <QWidget>

#include <map>
#include <string>

class QVBoxLayout;

namespace kestrelamp {

class RecordingRowView;

// "Recording", below the players: one row per application recording now, shown only while
// something records. Rows are kept by application id; only rows in view get levels.
class RecordingSectionView : public QWidget {
    Q_OBJECT

public:
    explicit RecordingSectionView(RecordingControl& control, QWidget* parent = nullptr);

    RecordingRowView* row(const std::string& appID) const;
    std::size_t rowCount() const { return rows_.size(); }
    QList<QWidget*> focusOrder() const;

private:
    void syncRows();
    void showInputs();
    void pushLevels();

    RecordingControl& control_;
    QVBoxLayout* rowColumn_ = nullptr;
    std::map<std::string, RecordingRowView*> rows_;
};

} // namespace kestrelamp
