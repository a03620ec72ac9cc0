#pragma once

#include <QString>

/// Text helpers shared by the settings files and the address rules.
namespace text {

/// The text without leading and trailing space characters; tabs and other blanks stay.
inline QString spaceTrimmed(const QString &s)
{
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && s.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && s.at(end - 1) == QLatin1Char(' '))
        --end;
    return s.mid(begin, end - begin);
}

} // namespace text
