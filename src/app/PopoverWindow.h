#pragma once

#include "views/MainPopoverView.h"

#include <QElapsedTimer>
#include <QWidget>

namespace kestrelamp {

// The window that holds the main popover view. Attached to the tray icon it is a frameless
// panel that closes on a click anywhere outside it; without a tray it is an ordinary small
// window. Where the desktop composites, the panel is translucent with rounded corners.
class PopoverWindow : public QWidget {
    Q_OBJECT

public:
    enum class Presentation { attached, window };
    static constexpr int kGap = 4;
    static constexpr int kCornerRadius = 10;
    // The most of the screen's available height the popover takes.
    static constexpr double kScreenShare = 0.75;

    PopoverWindow(AudioRouteManager& manager, ScreenCapturePermission& permission,
                  Presentation presentation, QWidget* parent = nullptr);

    MainPopoverView* view() const { return view_; }
    Presentation presentation() const { return presentation_; }
    bool isTranslucent() const { return translucent_; }

    // Shows the panel beside the anchor (the tray icon), kept within the available area, with
    // keyboard focus.
    void showAttached(const QRect& anchor, const QRect& available);
    // Shows it as it is placed (restored when minimized), raised and with keyboard focus.
    void present();

    // Closed a moment ago because another window took the focus, as a click on the tray icon
    // does where the panel belongs to another program: that click must not reopen it.
    bool justClosedByFocusLoss() const;

    // Below the anchor, or above it when there is no room below; beside it when the anchor lies
    // outside the area, as on a vertical panel. Always inside the area where it fits.
    static QPoint placement(const QRect& anchor, const QSize& size, const QRect& available);

    // What shows the whole content, up to a share of the available height, and never less
    // than the header and footer need.
    static int fittedHeight(int preferred, int least, int availableHeight);
    // Takes the fitted height for a screen of that available height (its own screen's when
    // unknown); an open panel keeps the edge that faces its anchor.
    void fitToContent(int availableHeight = 0);

Q_SIGNALS:
    // The window is on screen.
    void opened();
    // The window closed, by a click outside, Escape or the window manager.
    void closed();
    // The ordinary window's close button was pressed; the window stays open until someone
    // hides it.
    void closeRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    Presentation presentation_;
    bool translucent_ = false;
    bool popupFlag_ = false;
    QElapsedTimer sinceFocusLossClose_;
    MainPopoverView* view_ = nullptr;
};

} // namespace kestrelamp
