#pragma once

#include <QRect>
#include <QtGlobal>
#include <cmath>

/// Window geometry is designed in twips (1440 to the inch); the screen works in logical pixels,
/// converted at the screen's logical DPI: 15 twips to one pixel at 96 dpi, 10 at 144 dpi (a
/// desktop's 150 % font), so the design grows with the desktop's font scaling.
namespace twips {

constexpr int perInch = 1440;
constexpr int perPixel = 15;   // at 96 dpi

namespace detail {
inline double &dpi()
{
    static double logical = 96.0;
    return logical;
}
} // namespace detail

/// The logical DPI the conversions use; the windows set the screen's own before they lay out.
inline double logicalDpi() { return detail::dpi(); }
inline void setLogicalDpi(double dpi)
{
    if (dpi > 0)
        detail::dpi() = dpi;
}

/// Twips to logical pixels, an exact half going to the even neighbour.
inline int toPixels(double twipsValue)
{
    const double px = twipsValue * logicalDpi() / perInch;
    return static_cast<int>(std::nearbyint(px));   // default rounding mode: half to even
}

inline int fromPixels(int pixels)
{
    return static_cast<int>(std::nearbyint(pixels * perInch / logicalDpi()));
}

/// A control's place given in twips, in logical pixels.
inline QRect rect(int left, int top, int width, int height)
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

} // namespace twips
