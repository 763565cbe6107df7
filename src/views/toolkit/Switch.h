#pragma once

#include <QAbstractButton>

namespace kestrelamp::toolkit {

// A small on/off switch followed by its label; the whole widget takes the click.
class Switch : public QAbstractButton {
    Q_OBJECT

public:
    explicit Switch(const QString& label, int fontPixelSize, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    static constexpr int kTrackWidth = 24;
    static constexpr int kTrackHeight = 14;
    static constexpr int kGap = 6;
};

} // namespace kestrelamp::toolkit
