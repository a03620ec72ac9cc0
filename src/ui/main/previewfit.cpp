#include "ui/main/previewfit.h"

#include "core/numbers.h"

namespace previewfit {

namespace {
int rounded(double v) { return static_cast<int>(numbers::roundHalfEven(v)); }
} // namespace

PreviewRect fit(int areaWidth, int areaHeight, int pictureWidth, int pictureHeight)
{
    // Kept in single precision, as the picture's ratio has always been.
    const float aspect = static_cast<float>(double(pictureWidth) / double(pictureHeight));

    PreviewRect r;
    r.width = areaWidth;
    r.height = rounded(areaWidth / double(aspect));
    if (r.height > areaHeight) {
        r.height = areaHeight;
        r.width = rounded(double(aspect) * areaHeight);
    }
    r.top = rounded(double(areaHeight - r.height) / 2 + areaTop);
    r.left = rounded(double(areaWidth - r.width) / 2 + areaLeft);
    return r;
}

QSize himetric(QSize pixels)
{
    return QSize(rounded(pixels.width() * 2540.0 / 96.0), rounded(pixels.height() * 2540.0 / 96.0));
}

} // namespace previewfit
