#include "views/LazyRowColumn.h"

#include <QEvent>
#include <QLayout>
#include <QScrollArea>
#include <QScrollBar>

#include <algorithm>

namespace kestrelamp {

// Holds no items of its own: it puts the column in the chain of layouts, so that an item's new
// size reaches the column at once and the column's total goes up the chain like any layout's.
class LazyRowColumn::ChainLink : public QLayout {
public:
    explicit ChainLink(LazyRowColumn* column)
        : QLayout(column)
        , column_(column) {
        setContentsMargins(0, 0, 0, 0);
    }

    void addItem(QLayoutItem* item) override { delete item; }
    QLayoutItem* itemAt(int) const override { return nullptr; }
    QLayoutItem* takeAt(int) override { return nullptr; }
    int count() const override { return 0; }
    QSize sizeHint() const override { return column_->sizeHint(); }
    QSize minimumSize() const override { return column_->sizeHint(); }
    void setGeometry(const QRect& rect) override {
        QLayout::setGeometry(rect);
        column_->relayout();
    }
    void invalidate() override {
        QLayout::invalidate();
        column_->relayout();
    }

private:
    LazyRowColumn* column_;
};

LazyRowColumn::LazyRowColumn(QScrollArea& scroll, Build build, QWidget* parent)
    : QWidget(parent)
    , scroll_(scroll)
    , build_(std::move(build)) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    new ChainLink(this);
    scroll_.viewport()->installEventFilter(this);
    connect(scroll_.verticalScrollBar(), &QScrollBar::valueChanged, this,
            &LazyRowColumn::buildVisible);
}

// The scroll area may be half gone by now; Qt drops the viewport's filter with this object.
LazyRowColumn::~LazyRowColumn() = default;

void LazyRowColumn::setItems(std::vector<QWidget*> items) {
    for (QWidget* old : items_) {
        if (old && std::find(items.begin(), items.end(), old) == items.end()) {
            old->hide();
        }
    }
    items_ = std::move(items);
    shownRange_ = {0, 0};
    // One built item tells the height of those not built yet.
    if (estimate_ == 0 && !items_.empty()) {
        const auto built = std::find_if(items_.begin(), items_.end(), [](QWidget* w) { return w; });
        estimate_ = built == items_.end() ? measure(build(0)) : measure(*built);
    }
    relayout();
    buildVisible();
}

QWidget* LazyRowColumn::item(std::size_t index) const {
    return index < items_.size() ? items_[index] : nullptr;
}

QWidget* LazyRowColumn::ensureBuilt(std::size_t index) {
    if (index >= items_.size()) {
        return nullptr;
    }
    if (!items_[index]) {
        build(index);
        relayout();
    }
    return items_[index];
}

std::pair<std::size_t, std::size_t> LazyRowColumn::visibleRange() const {
    const QWidget* viewport = scroll_.viewport();
    if (items_.empty() || !isVisible() || !viewport->isAncestorOf(this)) {
        return {0, 0};
    }
    const int top = mapFrom(viewport, QPoint(0, 0)).y();
    const int bottom = top + viewport->height();
    const auto ends = tops_.begin() + 1;
    const auto first = std::size_t(std::upper_bound(ends, tops_.end(), top) - ends);
    const auto last =
        std::size_t(std::lower_bound(tops_.begin(), tops_.end() - 1, bottom) - tops_.begin());
    return {std::min(first, items_.size()), std::clamp(last, first, items_.size())};
}

QSize LazyRowColumn::sizeHint() const {
    return {0, tops_.back()};
}

bool LazyRowColumn::event(QEvent* event) {
    if (event->type() == QEvent::LayoutRequest) {
        relayout();
        buildVisible();
        return true;
    }
    return QWidget::event(event);
}

bool LazyRowColumn::eventFilter(QObject* watched, QEvent* event) {
    if (watched == scroll_.viewport() && event->type() == QEvent::Resize) {
        buildVisible();
    }
    return QWidget::eventFilter(watched, event);
}

void LazyRowColumn::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    relayout();
    buildVisible();
}

void LazyRowColumn::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    buildVisible();
}

void LazyRowColumn::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    relayout();
    buildVisible();
}

int LazyRowColumn::measure(const QWidget* item) const {
    const int h = item->hasHeightForWidth() && width() > 0 ? item->heightForWidth(width()) : -1;
    return std::max(1, h >= 0 ? h : item->sizeHint().height());
}

QWidget* LazyRowColumn::build(std::size_t index) {
    QWidget* made = build_(index);
    if (made->parentWidget() != this) {
        made->setParent(this);
    }
    made->show();
    items_[index] = made;
    // A fresh item is folded: the best guess for those not built yet.
    estimate_ = measure(made);
    return made;
}

void LazyRowColumn::relayout() {
    // Placing the items makes them ask again.
    if (placing_) {
        return;
    }
    placing_ = true;
    const int oldTotal = tops_.back();
    tops_.assign(items_.size() + 1, 0);
    int y = 0;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        tops_[i] = y;
        const int height = items_[i] ? measure(items_[i]) : estimate_;
        if (items_[i]) {
            items_[i]->setGeometry(0, y, width(), height);
        }
        y += height;
    }
    tops_.back() = y;
    placing_ = false;
    if (y != oldTotal) {
        updateGeometry();
    }
}

void LazyRowColumn::buildVisible() {
    if (building_ || !isVisible()) {
        return;
    }
    building_ = true;
    // Each built item may differ from the guess; go on until what is in view is built.
    for (std::size_t pass = 0; pass <= items_.size(); ++pass) {
        const auto [first, last] = visibleRange();
        bool built = false;
        for (std::size_t i = first; i < last; ++i) {
            if (!items_[i]) {
                build(i);
                built = true;
            }
        }
        if (!built) {
            break;
        }
        relayout();
    }
    building_ = false;
    const auto range = visibleRange();
    if (range != shownRange_) {
        shownRange_ = range;
        Q_EMIT itemsCameIntoView();
    }
}

} // namespace kestrelamp
