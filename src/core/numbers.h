#pragma once

#include <QString>
#include <optional>

/// Number reading shared by every field and stored value the program turns into a number.
namespace numbers {

/// Rounds to the nearest whole number, an exact half to the even neighbour (2.5 -> 2, 3.5 -> 4).
double roundHalfEven(double value);

/// The value of the longest leading decimal number in `text` after blanks, tabs and line feeds
/// are removed (sign, digits with at most one point, optional exponent); 0 when there is none.
double leadingNumberValue(const QString &text);

/// leadingNumberValue rounded half to even; empty when it does not fit a 16-bit signed integer.
std::optional<qint16> leadingNumber16(const QString &text);

/// Strict reading: the whole text, blanks around it allowed, must be one decimal number.
/// Rounded half to even; empty when it is not a number or does not fit 16 bits.
std::optional<qint16> strictNumber16(const QString &text);

/// leadingNumberValue rounded half to even; empty when it lies outside lowest to highest.
std::optional<qint32> leadingNumberWithin(const QString &text, qint32 lowest, qint32 highest);

/// The strict reading, rounded half to even; empty when it is not a number or lies outside
/// lowest to highest.
std::optional<qint32> strictNumberWithin(const QString &text, qint32 lowest, qint32 highest);

/// Decimal text of a number: no leading zeros or blanks, "-" before a negative number.
QString decimalText(qint64 value);

} // namespace numbers
