#pragma once

#include <QString>

/// The end text of a run's report, without the counts and notes that follow it after " - ".
inline QString endText(const QString &report)
{
    return report.section(QStringLiteral(" - "), 0, 0);
}
