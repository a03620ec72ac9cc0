#pragma once

#include "platform/twips.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <QWindow>

/// Placing the secondary windows: centring, and keeping them tied to the main window.
namespace placement {

/// Top-left corner that centres a window of outer size `outer` in `area`. Computed in twips,
/// keeping fractions, and converted to pixels only at the end.
inline QPoint centredIn(const QRect &area, const QSize &outer)
{
    const double left = (twips::fromPixels(area.width()) - twips::fromPixels(outer.width())) / 2.0;
    const double top = (twips::fromPixels(area.height()) - twips::fromPixels(outer.height())) / 2.0;
    return area.topLeft() + QPoint(twips::toPixels(left), twips::toPixels(top));
}

/// `window` moved as little as it takes to lie wholly in `area`; one larger than the area
/// keeps its top-left corner in it, so its title bar stays within reach.
inline QRect whollyIn(const QRect &area, QRect window)
{
    if (window.right() > area.right())
        window.moveRight(area.right());
    if (window.bottom() > area.bottom())
        window.moveBottom(area.bottom());
    if (window.left() < area.left())
        window.moveLeft(area.left());
    if (window.top() < area.top())
        window.moveTop(area.top());
    return window;
}

/// The outer size `window` will have once shown. Before the window manager has framed it,
/// its frame is estimated from the main window's, which the same window manager decorates.
inline QSize outerSize(const QWidget *window, const QWidget *mainWindow)
{
    const QSize frame = window->frameGeometry().size();
    if (frame != window->size() || !mainWindow || !mainWindow->isVisible())
        return frame;
    return window->size() + (mainWindow->frameGeometry().size() - mainWindow->size());
}

/// A dialog that has no parent widget (so it stays usable while the main window is disabled)
/// but is kept above the main window and out of the task bar.
inline void stayWithMainWindow(QWidget *dialog, QWidget *mainWindow)
{
    if (!mainWindow)
        return;
    dialog->winId();
    mainWindow->winId();
    if (dialog->windowHandle() && mainWindow->windowHandle())
        dialog->windowHandle()->setTransientParent(mainWindow->windowHandle());
}

} // namespace placement
