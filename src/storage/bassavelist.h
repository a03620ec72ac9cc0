#pragma once

#include "storage/historybox.h"

#include <QString>

/// The address history file: one line per box, "name=entry,entry,...", newest last.
/// File-system failures reach the caller as FileError.
namespace basSaveList {

/// Fills box's list from the line of `name` in the file at path; the edit text is kept.
void loadHistory(HistoryBox &box, const QString &path, const QString &name);

/// Records box's edit text in the line of `name` (at most `maximum` entries, no case-or-space
/// duplicates), rewriting the file through a scratch file beside it, then reloads the list.
void saveHistory(HistoryBox &box, const QString &path, const QString &name, qint16 maximum);

/// True when text (compared lower-cased, without surrounding spaces) is an entry of the line.
bool historyContains(const QString &text, const QString &line);

/// The line rebuilt with at most `maximum` entries, the newest.
QString trimHistory(const QString &line, qint16 maximum);

} // namespace basSaveList
