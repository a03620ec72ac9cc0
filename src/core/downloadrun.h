#pragma once

#include "core/runview.h"
#include "core/settings.h"

#include <QString>
#include <QtGlobal>

class Inet;

/// A download run: reads the three address fields, then fetches one numbered address per pass,
/// keeps GIF and JPEG answers, saves and shows them, and steps the number until the end test.
class DownloadRun
{
public:
    DownloadRun(Settings &settings, Inet &inet, RunView &view, const QString &defaultPicture);

    /// Runs a whole run and returns when it has ended. A call while a run is going does nothing.
    void run();
    bool isRunning() const { return m_running; }

    /// Whether the last answer is a GIF or JPEG picture; reports it through addMsg.
    bool checkContentType();
    /// localFolder, "/", headerText and the last "/" piece of the current address.
    QString localFileName() const;

private:
    bool start();
    /// One pass; false when the number can step no further and the run has to end.
    bool pass();
    void endReport(qint32 passNumber);

    Settings &m_settings;
    Inet &m_inet;
    RunView &m_view;
    QString m_defaultPicture;

    bool m_running = false;
    QString m_urlPrefix;
    QString m_numberText;
    QString m_urlSuffix;
    QString m_fullURL;
    qint16 m_fileNumber = 0;
    int m_numberWidth = 0;
    int m_saveFailures = 0;
    QString m_lastSaveFailure;
    QString m_historyFailure;
};
