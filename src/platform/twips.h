#pragma once

#include <QRect>
#include <QtGlobal>
#include <cmath>

/// Window geometry is designed in twips; the screen works in logical pixels, 15 twips to one.
namespace twips {

constexpr int perPixel = 15;

/// Twips to logical pixels, an exact half going to the even neighbour.
inline int toPixels(double twipsValue)
{
    const double px = twipsValue / perPixel;
    const double r = std::nearbyint(px);   // default rounding mode: half to even
    return static_cast<int>(r);
}

inline int fromPixels(int pixels) { return pixels * perPixel; }

/// A control's place given in twips, in logical pixels.
inline QRect rect(int left, int top, int width, int height)
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

} // namespace twips
