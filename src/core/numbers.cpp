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

std::optional<qint16> to16(double v)
{
    if (!std::isfinite(v))
        return std::nullopt;
    const double r = roundHalfEven(v);
    if (r < -32768.0 || r > 32767.0)
        return std::nullopt;
    return static_cast<qint16>(r);
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
    const QString s = text.trimmed();
    if (s.isEmpty())
        return std::nullopt;
    if (numberLength(s, 0) != s.size())
        return std::nullopt;
    return to16(parse(s));
}

QString decimalText(qint64 value)
{
    return QString::number(value);
}

} // namespace numbers
