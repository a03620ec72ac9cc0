#include "core/filenames.h"

#include <QByteArray>
#include <QStringDecoder>

namespace {

bool isControl(QChar c)
{
    return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0);
}

// Characters a file name cannot hold, or that would make it a path or hide it in a listing.
QString withoutSeparators(QString name)
{
    for (QChar &c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || isControl(c))
            c = QLatin1Char('_');
    }
    return name;
}

// "." and ".." name folders, not files: their dots stay encoded.
bool isDotName(const QString &name)
{
    return name == QLatin1String(".") || name == QLatin1String("..");
}

} // namespace

namespace filenames {

QString readableName(const QString &piece)
{
    // Typed letters and escapes may stand side by side: both become UTF-8 bytes first.
    const QByteArray bytes = QByteArray::fromPercentEncoding(piece.toUtf8());
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(bytes);
    return withoutSeparators(utf8.hasError() || isDotName(decoded) ? piece : decoded);
}

} // namespace filenames
