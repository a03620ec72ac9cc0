#pragma once

#include "core/downloadrun.h"
#include "core/runrules.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

/// The Run Log's first line of a run: "==", the time, the series' place in its queue (when it
/// has one), the first address and the folder it saves into.
QString runLogHeader(const QString &position, const QString &firstAddress, const QString &folder);

/// Series waiting their turn: whole addresses, each split at its number and run by the same
/// DownloadRun as the three fields are, one after another, each ending by its own rules. The
/// window and the run without a window both drive it; a Stop holds it, and a folder that cannot
/// be written ends it.
class SeriesQueue : public QObject
{
    Q_OBJECT

public:
    enum class State { Waiting, Running, Ended, Stopped, Failed };
    struct Series
    {
        int id = 0;
        QString address;   // where the series starts; for a stopped one, where it goes on
        State state = State::Waiting;
        QString report;    // its end report, once it has run
    };

    /// What a run of the queue did.
    struct Result
    {
        int series = 0;    // series run, the fields' own included
        int ended = 0;     // by their maximum or the end of their series
        int stopped = 0;
        int failed = 0;
        int saved = 0;
        int waiting = 0;   // left waiting when the queue was held
        bool folderFailed = false;
        QString report;    // the queue's own end report; empty for a lone series
    };

    /// The addresses in a text: one a line, blanks around each dropped; blank lines and lines
    /// starting with "#" name none.
    static QStringList addressesIn(const QString &text);
    /// addressesIn of a text file's content. Throws FileError.
    static QStringList readList(const QString &path);

    /// The words a state is listed with.
    static QString stateText(State state);

    const QList<Series> &series() const { return m_series; }
    /// Puts the addresses at the end of the queue, waiting.
    void add(const QStringList &addresses);
    /// Takes the series at index out of the queue; the one running stays.
    void remove(qsizetype index);
    /// Moves the series at index one place up (-1) or down (+1).
    void move(qsizetype index, int by);
    /// Takes every series that has run out of the list.
    void clearDone();
    bool hasWaiting() const;
    /// Waiting series besides the one in the fields.
    qsizetype waitingBesideFields() const;
    bool isRunning() const { return m_running; }

    /// The fields hold the series of this id, as the queue put it there (-1: a series of their
    /// own). A waiting one runs first, from the fields as they stand; one that has run is not
    /// run again by the next Get, which goes on with the queue.
    void setFieldsSeries(int id) { m_fieldsId = id; }
    int fieldsSeries() const { return m_fieldsId; }
    /// The user changed the fields: a series that has run is no longer theirs, a waiting one
    /// runs with them as they stand.
    void fieldsEdited();

    /// Runs, through run and its view, the fields' series (when fieldsFirst and they hold one
    /// of their own), then every waiting series in the order of the moment, putting each in the
    /// fields first. With nothing waiting, the fields' series alone, as a plain run.
    Result run(DownloadRun &run, RunView &view, const std::function<void(const runrules::AddressParts &)> &putInFields,
               bool fieldsFirst);
    /// Stop: the series running ends as Stop ends it, and no other starts.
    void hold() { m_held = true; }

    /// "Series 2 of 5" while a queue of more than one series runs; empty otherwise.
    QString position() const;

    /// Series still to run (waiting, running or stopped, where it goes on) into path, one address a
    /// line, in one rewrite through a scratch file. Throws FileError.
    void save(const QString &path) const;
    /// The series of a file save() wrote, waiting, after those already queued. Throws FileError.
    void load(const QString &path);

Q_SIGNALS:
    /// The list, the order or a state has changed.
    void changed();

private:
    qsizetype indexOf(int id) const;
    int append(const QString &address, qsizetype at);
    QString queueReport(const Result &result) const;

    QList<Series> m_series;
    int m_nextId = 1;
    int m_fieldsId = -1;
    bool m_running = false;
    bool m_held = false;
    int m_done = 0;       // series ended in this queue run
    int m_runningId = -1;
};
