#pragma once

#include "core/repeats.h"
#include "core/runview.h"
#include "core/settings.h"
#include "platform/inet.h"

#include <QList>
#include <QMetaObject>
#include <QSet>
#include <QString>
#include <QtGlobal>

/// A download run: reads the three address fields, then handles one numbered address per pass,
/// in number order: keeps GIF and JPEG answers (PNG and WebP too when the settings say so),
/// saves and shows them, and steps the number until the end test. The transfers for the next
/// passes run ahead of the pass being handled. The window hears of transfers only through it.
class DownloadRun
{
public:
    DownloadRun(Settings &settings, Inet &inet, RunView &view, const QString &defaultPicture);
    ~DownloadRun();
    DownloadRun(const DownloadRun &) = delete;
    DownloadRun &operator=(const DownloadRun &) = delete;

    /// Runs a whole run and returns when it has ended. A call while a run is going does nothing.
    void run();
    bool isRunning() const { return m_running; }

    /// How the last run ended: its maximum (or one file with Multiple Downloads off), the end of
    /// its series, Stop, or a failure (of every number, of the folder, or before its first pass).
    enum class Ending { Maximum, SeriesEnd, Stopped, Failed, FolderFailed, NotStarted };
    struct End
    {
        Ending ending = Ending::NotStarted;
        int saved = 0;
        QString report;   // the end report, or why the run did not start
    };
    const End &lastEnd() const { return m_end; }
    /// Asks the run to end after the pass in progress, whose transfer ends at once, as do those
    /// running ahead. Outside a run it only leaves the request set, which the next run clears.
    void stop();

    /// Whether the answer's type is one the run keeps; reports it through addMsg.
    bool checkContentType(const QString &header);
    /// localFolder, "/", headerText and the last "/" piece of the current address.
    QString localFileName() const;

private:
    /// How far past the pass being handled transfers may run, per transfer the setting allows:
    /// answers beyond the next few wait on disk (in their part files) for their turn.
    static constexpr int aheadPerTransfer = 16;

    enum class Outcome { Saved, Skipped, NotSaved, NoPicture, Repeated, Refused, Failed, ServerFailed, Cancelled, EndsRun };
    // A transfer started for a pass that is still to come.
    struct Ahead
    {
        qint32 passNumber;
        QString url;
        Inet::TransferId id;
    };

    bool start();
    Outcome pass(qint32 passNumber);
    Outcome skipUnasked(qint32 passNumber, const QString &log);
    Inet::Answer waitFor(qint32 passNumber);
    Outcome classify(const Inet::Answer &answer) const;
    Outcome judge(qint32 passNumber, const QString &log, Inet::Answer answer);
    void logMiss(const QString &log, Outcome outcome, const Inet::Answer &answer);
    void hintWholeAddress(qint32 passNumber, Outcome outcome);
    void count(Outcome outcome);
    Outcome keepPicture(const QString &log, PartFile part);
    Outcome notSaved(const QString &log, const PartFile::Failure &why, const QString &fileName);
    bool keeps(const QString &contentType) const;
    QString numberTextOf(qint32 passNumber) const;
    bool skipsWithoutAsking(const QString &url) const;
    Inet::TransferId transferFor(qint32 passNumber, const QString &url);
    void fetchAhead(qint32 passNumber);
    void dropAhead();
    QString endText(qint32 passNumber, Outcome last) const;
    Ending endingOf(qint32 passNumber, Outcome last) const;
    void notStarted(const QString &why);
    void endReport(const QString &text);
    static QString wholeAddressHint();

    /// The settings this run goes by: those of the moment while it runs, the live ones outside.
    const Settings &settings() const { return m_running ? m_run : m_settings; }

    Settings &m_settings;
    Settings m_run;                // taken at Get: what the run uses but Multiple Downloads,
                                   // the maximum and Stop, which act on it while it goes
    Inet &m_inet;
    RunView &m_view;
    QString m_defaultPicture;
    QList<QMetaObject::Connection> m_connections;

    bool m_running = false;
    QString m_urlPrefix;
    QString m_numberText;
    QString m_firstNumberText;
    QString m_urlSuffix;
    QString m_fullURL;
    QString m_fileName;            // the picture's name, decided when its pass begins
    qint16 m_fileNumber = 0;
    qint16 m_firstNumber = 0;
    int m_numberWidth = 0;
    int m_inFlight = 1;            // transfers kept in flight at most, read once a run
    bool m_automatic = false;      // the host's pace decides how many of them
    QString m_firstURL;            // the run's first address, whose host's pace is asked for
    Inet::TransferId m_current = 0;   // the transfer of the pass being handled
    qint32 m_passNumber = 0;          // the pass waiting for its transfer; 0: none
    QList<Ahead> m_ahead;
    QSet<QString> m_cleanedFolders;
    QString m_lastSaved;           // the picture this run saved last

    int m_saved = 0;
    int m_noPicture = 0;
    int m_failed = 0;
    int m_skipped = 0;
    int m_retried = 0;
    int m_notKeptKinds = 0;        // PNG or WebP answers that the settings do not keep
    int m_missesInRow = 0;
    int m_failuresInRow = 0;       // of those misses, the failed transfers
    int m_serverFailuresInRow = 0; // of those, the ones that failed for the server's reasons
    int m_refusedInRow = 0;        // of those failures, the server's refusals (401, 403, 451)
    int m_repeatsInRow = 0;        // of those misses, pictures the run had had before
    int m_lastRefusal = 0;         // its HTTP status
    int m_repeated = 0;
    RepeatedPictures m_repeats;
    QString m_lastFailure;
    QString m_stopReason;          // why the run ends at once, for the end report
    bool m_folderEnded = false;    // it ends because the folder cannot take pictures
    int m_saveFailures = 0;
    QString m_lastSaveFailure;
    QString m_historyFailure;
    bool m_wholeAddressHint = false;   // the first pass met a whole address in the prefix box
    bool m_skipExisting = false;       // the rename prompt asked to skip existing files for the rest of the run
    End m_end;
};
