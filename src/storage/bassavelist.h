#pragma once

#include "storage/historybox.h"

#include <QString>

#include <functional>
#include <future>

class QObject;

/// The address history file: one line per box, "name=entry,entry,...", newest last.
/// File-system failures reach the caller as FileError.
namespace basSaveList {

/// Fills box's list from the line of `name` in the file at path; the edit text is kept.
void loadHistory(HistoryBox &box, const QString &path, const QString &name);

/// Records box's edit text in the line of `name` (at most `maximum` entries, no case-or-space
/// duplicates), rewriting the file through a scratch file beside it, then reloads the list.
void saveHistory(HistoryBox &box, const QString &path, const QString &name, qint16 maximum);

/// Records text in the line of `name` as saveHistory does, without a box; safe on any thread.
void storeHistory(const QString &text, const QString &path, const QString &name, qint16 maximum);

/// Records addresses in the history file on a thread of its own, so that the rewrite and its
/// sync to disk never hold up the caller; one write at a time.
class HistoryWriter
{
public:
    HistoryWriter() = default;
    /// Waits for a write under way: the history is whole on disk when its owner goes.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter &) = delete;
    HistoryWriter &operator=(const HistoryWriter &) = delete;

    /// Begins recording text as storeHistory does, after the write before it has ended; `done`
    /// then runs on context's thread. The context outlives the writer (it owns it, say).
    void start(const QString &text, const QString &path, const QString &name, qint16 maximum, QObject *context,
               std::function<void()> done);
    /// Waits for the write begun last; why it failed, or "" (also when none was begun).
    QString wait();

private:
    std::future<QString> m_write;
    QString m_failure;
};

/// True when text (compared lower-cased, without surrounding spaces) is an entry of the line.
bool historyContains(const QString &text, const QString &line);

/// The line rebuilt with at most `maximum` entries, the newest.
QString trimHistory(const QString &line, qint16 maximum);

} // namespace basSaveList
