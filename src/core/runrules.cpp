#include "core/runrules.h"

#include "core/filenames.h"
#include "platform/filesystem.h"
#include "platform/text.h"

#include <QRegularExpression>
#include <QUrl>

namespace {

// Where the pieces of an address lie: its path's last piece runs from pieceStart to pathEnd,
// which is the "?" of a query, the "#" of a fragment or the end; a query runs to queryEnd.
struct Spans
{
    qsizetype pieceStart = 0;
    qsizetype pathEnd = 0;
    qsizetype queryEnd = 0;
};

Spans spans(const QString &a)
{
    Spans s;
    const qsizetype hash = a.indexOf(QLatin1Char('#'));
    s.queryEnd = hash < 0 ? a.size() : hash;
    const qsizetype question = a.left(s.queryEnd).indexOf(QLatin1Char('?'));
    s.pathEnd = question < 0 ? s.queryEnd : question;
    const QString beforeQuery = a.left(s.pathEnd);
    // After "scheme://", or from the start of an address without one (taken as http), the host
    // and port run up to the next "/".
    const qsizetype scheme = beforeQuery.indexOf(QLatin1String("://"));
    const qsizetype slash = beforeQuery.indexOf(QLatin1Char('/'), scheme < 0 ? 0 : scheme + 3);
    const qsizetype pathStart = slash < 0 ? s.pathEnd : slash;
    s.pieceStart = qMax(pathStart, beforeQuery.lastIndexOf(QLatin1Char('/')) + 1);
    return s;
}

bool isDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }
bool isHex(QChar c)
{
    return isDigit(c) || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

// The last run of digits in a[from, to), "%XX" escapes left out: its start and end, or -1, -1.
std::pair<qsizetype, qsizetype> lastDigits(const QString &a, qsizetype from, qsizetype to)
{
    std::pair<qsizetype, qsizetype> run{-1, -1};
    for (qsizetype i = from; i < to;) {
        if (a.at(i) == QLatin1Char('%') && i + 2 < to && isHex(a.at(i + 1)) && isHex(a.at(i + 2))) {
            i += 3;
        } else if (isDigit(a.at(i))) {
            run.first = i;
            while (i < to && isDigit(a.at(i)))
                ++i;
            run.second = i;
        } else {
            ++i;
        }
    }
    return run;
}

} // namespace

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
    return ::inFolder(localFolder, headerText + filenames::readableName(lastPiece(url)));
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

AddressParts splitAddress(const QString &address)
{
    const QString a = address.trimmed();
    const Spans s = spans(a);
    auto [start, end] = lastDigits(a, s.pieceStart, s.pathEnd);
    if (start < 0 && s.pathEnd < s.queryEnd)
        std::tie(start, end) = lastDigits(a, s.pathEnd + 1, s.queryEnd);
    // Spaces go into the fields encoded, so trimming a field never changes the address.
    auto encoded = [](QString field) { return field.replace(QLatin1Char(' '), QLatin1String("%20")); };
    if (start < 0)
        return {encoded(a), QString(), QString()};
    return {encoded(a.left(start)), a.mid(start, end - start), encoded(a.mid(end))};
}

bool isWholePictureAddress(const QString &address)
{
    static const QRegularExpression picture(QStringLiteral("[0-9]\\.(jpe?g|gif|png|webp)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QString a = address.trimmed();
    const Spans s = spans(a);
    return picture.match(a.mid(s.pieceStart, s.pathEnd - s.pieceStart)).hasMatch();
}

bool isWebAddress(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
           && !url.host().isEmpty();
}

} // namespace runrules
