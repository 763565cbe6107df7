#pragma once

#include <QWidget>

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

class QScrollArea;

namespace kestrelamp {

// A column of full-width items inside a scroll area, of which only those that come into the
// visible part are built: an item not built yet holds the height a freshly built one has.
// Built items stay until the owner drops them with a new order.
class LazyRowColumn : public QWidget {
    Q_OBJECT

public:
    // Builds the item at a position; the column parents and shows it.
    using Build = std::function<QWidget*(std::size_t index)>;

    LazyRowColumn(QScrollArea& scroll, Build build, QWidget* parent = nullptr);
    ~LazyRowColumn() override;

    // A new order: the items already built at their new positions, nullptr where none is. Items
    // the column held and the new order lacks are the owner's to delete.
    void setItems(std::vector<QWidget*> items);
    std::size_t count() const { return items_.size(); }
    // The built item at a position, or nullptr.
    QWidget* item(std::size_t index) const;
    QWidget* ensureBuilt(std::size_t index);
    // Positions [first, last) that lie, at least in part, inside the scroll area's viewport.
    std::pair<std::size_t, std::size_t> visibleRange() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

Q_SIGNALS:
    // Items came into view: they may need what only shown items get.
    void itemsCameIntoView();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    class ChainLink;

    int measure(const QWidget* item) const;
    void relayout();
    void buildVisible();
    QWidget* build(std::size_t index);

    QScrollArea& scroll_;
    Build build_;
    std::vector<QWidget*> items_;
    // Top of each position, and the total height as the last element.
    std::vector<int> tops_{0};
    int estimate_ = 0;
    bool building_ = false;
    bool placing_ = false;
    std::pair<std::size_t, std::size_t> shownRange_{0, 0};
};

} // namespace kestrelamp
