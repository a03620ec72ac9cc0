#include "core/runrules.h"

#include "platform/filesystem.h"
#include "platform/text.h"

namespace runrules {

QString composeURL(const QString &prefix, const QString &number, const QString &suffix)
{
    return text::spaceTrimmed(prefix) + text::spaceTrimmed(number) + text::spaceTrimmed(suffix);
}

QString lastPiece(const QString &url)
{
    const qsizetype slash = url.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? url : url.mid(slash + 1);
}

QString localFileName(const QString &url, const QString &localFolder, const QString &headerText)
{
    return ::inFolder(localFolder, headerText + lastPiece(url));
}

QString formatNumber(qint32 value, int width)
{
    const QString digits = QString::number(value < 0 ? -qint64(value) : qint64(value));
    const QString padded = digits.size() < width
            ? QString(width - digits.size(), QLatin1Char('0')) + digits
            : digits;
    return value < 0 ? QLatin1Char('-') + padded : padded;
}

std::optional<QString> nextNumber(qint16 &fileNumber, int width)
{
    if (fileNumber == 32767)
        return std::nullopt;
    const QString text = formatNumber(qint32(fileNumber) + 1, width);
    ++fileNumber;
    return text;
}

bool isImageType(const QString &contentType)
{
    return contentType == QLatin1String("image/gif") || contentType == QLatin1String("image/jpeg");
}

bool isPngOrWebpType(const QString &contentType)
{
    return contentType == QLatin1String("image/png") || contentType == QLatin1String("image/webp");
}

} // namespace runrules
