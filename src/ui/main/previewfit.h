#pragma once

#include <QSize>

/// Where the preview goes inside its area, all in twips.
struct PreviewRect
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PreviewRect &) const = default;
};

namespace previewfit {

constexpr int areaTop = 600;
constexpr int areaLeft = 100;

/// The largest rectangle with the picture's aspect ratio inside an area of the given size (twips),
/// fitted to the width first, then centred. Pictures are scaled up as well as down.
PreviewRect fit(int areaWidth, int areaHeight, int pictureWidth, int pictureHeight);

/// A picture's own size in HIMETRIC units (hundredths of a millimetre) at 96 dots per inch.
QSize himetric(QSize pixels);

} // namespace previewfit
