#include "core/numbers.h"

#include <cfenv>
#include <cmath>
#include <limits>

namespace numbers {

namespace {

bool isDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// Length of the longest prefix of `s`, starting at `from`, that reads as a decimal number;
// 0 when there is none.
qsizetype numberLength(const QString &s, qsizetype from)
{
    qsizetype i = from;
    const qsizetype n = s.size();
    if (i < n && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-')))
        ++i;
    qsizetype digits = 0;
    while (i < n && isDigit(s[i])) { ++i; ++digits; }
    if (i < n && s[i] == QLatin1Char('.')) {
        ++i;
        while (i < n && isDigit(s[i])) { ++i; ++digits; }
    }
    if (digits == 0)
        return 0;
    qsizetype end = i;
    if (i < n && (s[i] == QLatin1Char('e') || s[i] == QLatin1Char('E'))) {
        qsizetype j = i + 1;
        if (j < n && (s[j] == QLatin1Char('+') || s[j] == QLatin1Char('-')))
            ++j;
        qsizetype expDigits = 0;
        while (j < n && isDigit(s[j])) { ++j; ++expDigits; }
        if (expDigits > 0)
            end = j;
    }
    return end - from;
}

double parse(const QString &numberText)
{
    bool ok = false;
    const double v = numberText.toDouble(&ok);
    if (ok)
        return v;
    // toDouble refuses overflowing exponents; they still are numbers, just far out of range.
    const bool negative = numberText.startsWith(QLatin1Char('-'));
    const bool hugeExponent = !numberText.contains(QLatin1String("e-"), Qt::CaseInsensitive);
    if (hugeExponent)
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    return 0.0;
}

std::optional<qint32> within(double v, qint32 lowest, qint32 highest)
{
    if (!std::isfinite(v))
        return std::nullopt;
    const double r = roundHalfEven(v);
    if (r < lowest || r > highest)
        return std::nullopt;
    return static_cast<qint32>(r);
}

std::optional<qint16> to16(double v)
{
    const std::optional<qint32> n = within(v, -32768, 32767);
    return n ? std::optional<qint16>(qint16(*n)) : std::nullopt;
}

// The whole text as one number, blanks around it allowed; NaN when it is not one.
double strictValue(const QString &text)
{
    const QString s = text.trimmed();
    if (s.isEmpty() || numberLength(s, 0) != s.size())
        return std::numeric_limits<double>::quiet_NaN();
    return parse(s);
}

} // namespace

double roundHalfEven(double value)
{
    const int previous = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(value);
    std::fesetround(previous);
    return r;
}

double leadingNumberValue(const QString &text)
{
    QString s;
    s.reserve(text.size());
    for (QChar c : text) {
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\n'))
            s.append(c);
    }
    const qsizetype len = numberLength(s, 0);
    if (len == 0)
        return 0.0;
    return parse(s.left(len));
}

std::optional<qint16> leadingNumber16(const QString &text)
{
    return to16(leadingNumberValue(text));
}

std::optional<qint16> strictNumber16(const QString &text)
{
    return to16(strictValue(text));
}

std::optional<qint32> leadingNumberWithin(const QString &text, qint32 lowest, qint32 highest)
{
    return within(leadingNumberValue(text), lowest, highest);
}

std::optional<qint32> strictNumberWithin(const QString &text, qint32 lowest, qint32 highest)
{
    return within(strictValue(text), lowest, highest);
}

QString decimalText(qint64 value)
{
    return QString::number(value);
}

} // namespace numbers
