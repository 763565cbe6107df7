#include "app/PopoverWindow.h"

#include "app/DesktopCompositing.h"
#include "views/toolkit/Colors.h"
#include "views/toolkit/ProgramIcons.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

#include <algorithm>

namespace kestrelamp {
namespace {

// Longer than a click takes to reach the program as a tray activation.
constexpr qint64 kFocusLossGraceMs = 400;

int clampInto(int value, int low, int high) {
    return std::clamp(value, low, std::max(low, high));
}

} // namespace

PopoverWindow::PopoverWindow(AudioRouteManager& manager, ScreenCapturePermission& permission,
                             Presentation presentation, QWidget* parent)
    : QWidget(parent)
    , presentation_(presentation) {
    setObjectName(QStringLiteral("popoverWindow"));
    setWindowTitle(QStringLiteral("Kestrelamp"));
    setWindowIcon(toolkit::programIcon());
    if (presentation_ == Presentation::attached) {
        // On X11 a popup grabs the pointer, so a click in any other window closes it. Elsewhere
        // (Wayland) a popup needs a parent window it does not have: a tool window that closes
        // when it loses the focus stands in.
        popupFlag_ = QGuiApplication::platformName() == QLatin1String("xcb") ||
                     QGuiApplication::platformName() == QLatin1String("offscreen");
        setWindowFlags(popupFlag_ ? Qt::Popup | Qt::FramelessWindowHint
                                  : Qt::Tool | Qt::FramelessWindowHint);
        // The click that closes it must not land on the tray icon and open it again.
        setAttribute(Qt::WA_NoMouseReplay);
        translucent_ = desktopComposites();
        if (translucent_) {
            setAttribute(Qt::WA_TranslucentBackground);
        }
    } else {
        setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                       Qt::WindowCloseButtonHint);
    }
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    view_ =
        new MainPopoverView(manager, permission, MainPopoverView::Tab::apps, BundleInfo(), this);
    column->addWidget(view_);
    setFixedWidth(MainPopoverView::kWidth);
    fitToContent();
    connect(view_, &MainPopoverView::preferredHeightChanged, this, [this] { fitToContent(); });
}

int PopoverWindow::fittedHeight(int preferred, int least, int availableHeight) {
    const int most = int(availableHeight * kScreenShare);
    return std::max(least, std::min(preferred, most));
}

void PopoverWindow::fitToContent(int availableHeight) {
    const QScreen* shownOn = screen();
    const QRect area = shownOn ? shownOn->availableGeometry() : QRect();
    if (availableHeight <= 0) {
        availableHeight = area.height() > 0 ? area.height() : MainPopoverView::kHeight;
    }
    const int height =
        fittedHeight(view_->preferredHeight(), view_->chromeHeight(), availableHeight);
    if (height == this->height() && minimumHeight() == height) {
        return;
    }
    const QRect before = geometry();
    setFixedHeight(height);
    // Opened above a panel at the bottom it grows upwards, below one at the top downwards.
    if (isVisible() && presentation_ == Presentation::attached && area.isValid()) {
        const int y =
            before.center().y() > area.center().y() ? before.bottom() + 1 - height : before.top();
        move(before.left(), clampInto(y, area.top(), area.bottom() + 1 - height));
    }
}

QPoint PopoverWindow::placement(const QRect& anchor, const QSize& size, const QRect& available) {
    const int maxX = available.right() + 1 - size.width();
    const int maxY = available.bottom() + 1 - size.height();
    const bool besideArea = anchor.right() < available.left() || anchor.left() > available.right();
    if (besideArea) {
        const int x = anchor.right() < available.left() ? available.left() : maxX;
        const int y = anchor.top() + anchor.height() / 2 - size.height() / 2;
        return {clampInto(x, available.left(), maxX), clampInto(y, available.top(), maxY)};
    }
    const int x = anchor.left() + anchor.width() / 2 - size.width() / 2;
    int y = anchor.bottom() + 1 + kGap;
    if (y + size.height() > available.bottom() + 1) {
        const int above = anchor.top() - kGap - size.height();
        y = above >= available.top() ? above : y;
    }
    return {clampInto(x, available.left(), maxX), clampInto(y, available.top(), maxY)};
}

void PopoverWindow::showAttached(const QRect& anchor, const QRect& available) {
    fitToContent(available.height());
    move(placement(anchor, size(), available));
    present();
}

void PopoverWindow::present() {
    // A minimized window comes back too.
    if (windowState() & Qt::WindowMinimized) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
    }
    show();
    raise();
    activateWindow();
    view_->setFocus(Qt::PopupFocusReason);
}

void PopoverWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QColor window = palette().color(QPalette::Window);
    if (!translucent_) {
        painter.fillRect(rect(), window);
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF panel = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(toolkit::withOpacity(toolkit::primaryColor(palette()), 0.15), 1.0));
    painter.setBrush(toolkit::withOpacity(window, 0.92));
    painter.drawRoundedRect(panel, kCornerRadius, kCornerRadius);
}

void PopoverWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && presentation_ == Presentation::attached) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PopoverWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Q_EMIT opened();
}

void PopoverWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    Q_EMIT closed();
}

void PopoverWindow::closeEvent(QCloseEvent* event) {
    if (presentation_ == Presentation::window) {
        event->ignore();
        Q_EMIT closeRequested();
        return;
    }
    QWidget::closeEvent(event);
}

bool PopoverWindow::justClosedByFocusLoss() const {
    return sinceFocusLossClose_.isValid() && sinceFocusLossClose_.elapsed() < kFocusLossGraceMs;
}

bool PopoverWindow::event(QEvent* event) {
    if (event->type() == QEvent::WindowDeactivate && presentation_ == Presentation::attached &&
        !popupFlag_ && isVisible()) {
        hide();
        sinceFocusLossClose_.start();
    }
    return QWidget::event(event);
}

} // namespace kestrelamp
