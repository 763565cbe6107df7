#pragma once

#include <QStringList>
#include <QWidget>

namespace kestrelamp::toolkit {

// One choice among a few, drawn as joined segments; the selected one is filled.
class SegmentedControl : public QWidget {
    Q_OBJECT

public:
    SegmentedControl(QStringList titles, int fontPixelSize, QWidget* parent = nullptr);

    int currentIndex() const { return current_; }
    // Out-of-range indices are ignored; emits only on a change.
    void setCurrentIndex(int index);
    const QStringList& titles() const { return titles_; }
    // The segment's rectangle, for hit tests and tests.
    QRect segmentRect(int index) const;

    QSize sizeHint() const override;

Q_SIGNALS:
    void currentIndexChanged(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QStringList titles_;
    int current_ = 0;
};

} // namespace kestrelamp::toolkit
