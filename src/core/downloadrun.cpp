#include "core/downloadrun.h"

#include "core/numbers.h"
#include "core/runrules.h"
#include "platform/filesystem.h"

#include <QFileInfo>
#include <QScopeGuard>

namespace {

// Resets the running flag, and tells the window, however the run is left.
struct RunningGuard
{
    bool &flag;
    RunView &view;
    RunningGuard(bool &f, RunView &v) : flag(f), view(v) { flag = true; }
    ~RunningGuard()
    {
        flag = false;
        view.runActive(false);
    }
};

// "NAME_n.EXT" beside "NAME.EXT" (or "NAME_n" for a name without an extension).
QString numberedName(const QString &path, int n)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    const qsizetype at = dot > slash + 1 ? dot : path.size();
    return path.left(at) + QStringLiteral("_%1").arg(n) + path.mid(at);
}

} // namespace

DownloadRun::DownloadRun(Settings &settings, Inet &inet, RunView &view, const QString &defaultPicture)
    : m_settings(settings), m_inet(inet), m_view(view), m_defaultPicture(defaultPicture)
{
    m_progress = QObject::connect(&m_inet, &Inet::Progress, &m_inet, [this](qint64 received, qint64 total) {
        m_view.transferProgress(received, total);
    });
}

DownloadRun::~DownloadRun()
{
    QObject::disconnect(m_progress);
}

void DownloadRun::run()
{
    if (m_running)
        return;
    RunningGuard guard(m_running, m_view);
    m_saved = m_noPicture = m_failed = m_skipped = m_missesInRow = 0;
    m_lastFailure.clear();
    m_saveFailures = 0;
    m_lastSaveFailure.clear();
    m_cleanedFolders.clear();

    if (!start())
        return;
    // However the run is left, no transfer it started goes on without it.
    const auto dropOnExit = qScopeGuard([this] { dropAhead(); });
    m_view.runActive(true);
    m_view.runStarted(runrules::composeURL(m_urlPrefix, m_numberText, m_urlSuffix),
                      QFileInfo(m_settings.localFolder.isEmpty() ? QStringLiteral(".") : m_settings.localFolder)
                              .absoluteFilePath());
    m_view.savedCount(0);

    // Counted wider than 16 bits so that a limit of 32767 still ends the run.
    qint32 passNumber = 1;
    QString text;
    for (;;) {
        const Outcome outcome = pass(passNumber);
        ++passNumber;
        if (outcome == Outcome::Cancelled)
            break;   // Stop cut the transfer short: the number stays on that picture
        const std::optional<QString> next = runrules::nextNumber(m_fileNumber, m_numberWidth);
        if (!next) {
            text = QStringLiteral("Downloading Stopped because the number cannot go past 32767");
            break;
        }
        m_view.setNumberText(*next);
        m_numberText = m_view.numberText();
        // A maximum lowered during the run below the passes made ends it now.
        if (passNumber >= qint32(m_settings.lastFile) + 1)
            break;
        if (m_settings.stopRequested)
            break;
        if (m_settings.maxMisses > 0 && m_missesInRow >= m_settings.maxMisses)
            break;
        if (!m_settings.multipleDownloads)
            break;
    }
    dropAhead();   // before the end report, so no transfer outlasts what it says
    endReport(text.isEmpty() ? endText(passNumber) : text);
}

bool DownloadRun::start()
{
    m_urlPrefix = m_view.prefixText();
    m_numberText = m_view.numberText();
    m_urlSuffix = m_view.suffixText();
    m_settings.stopRequested = Settings::False;
    m_numberWidth = int(m_numberText.size());

    const std::optional<qint16> number = numbers::leadingNumber16(m_numberText);
    if (!number) {
        m_view.addMsg(QStringLiteral("Not started: the number \"%1\" is outside -32768 to 32767")
                              .arg(m_numberText));
        return false;
    }
    m_fileNumber = m_firstNumber = *number;
    m_firstNumberText = m_numberText;

    // The history is a convenience: a program folder that cannot be written must not stop
    // the downloads themselves. The end report says it was not kept.
    m_historyFailure.clear();
    try {
        m_view.saveHistory();
    } catch (const FileError &e) {
        m_historyFailure = e.message();
    }

    m_inet.setProxy(m_settings.proxyIP + QLatin1Char(':')
                    + numbers::decimalText(m_settings.proxyPort));
    m_inet.setAccessType(m_settings.proxyIP.isEmpty() ? Inet::Direct : Inet::NamedProxy);
    m_inet.setCaFile(m_settings.caFile);
    m_inFlight = qBound(1, m_settings.transfers, Settings::maxTransfers);
    m_inet.setMaxConnections(m_inFlight);
    return true;
}

// The number text a pass will use: as typed for the first, as the number step writes it after.
QString DownloadRun::numberTextOf(qint32 passNumber) const
{
    if (passNumber == 1)
        return m_firstNumberText;
    return runrules::formatNumber(qint32(m_firstNumber) + passNumber - 1, m_numberWidth);
}

DownloadRun::Outcome DownloadRun::pass(qint32 passNumber)
{
    m_fullURL = runrules::composeURL(m_urlPrefix, m_numberText, m_urlSuffix);
    m_view.addMsg(QStringLiteral("Opening :") + m_fullURL);
    m_view.transferProgress(0, -1);

    // Stop pressed since the pass began cuts its transfer short before it starts: id 0 is no
    // transfer, which a wait reports as cancelled.
    const Inet::TransferId id = m_settings.stopRequested ? 0 : transferFor(passNumber, m_fullURL);
    fetchAhead(passNumber);
    // The answer replaces the last one whatever happens, so a failed or cancelled transfer
    // leaves no header and no body that could be saved under this pass's name.
    const bool answered = m_inet.wait(id);
    const bool cancelled = m_inet.wasCancelled();
    const QString number = m_numberText;

    Outcome outcome;
    if (checkContentType()) {
        outcome = keepPicture(number);
    } else {
        m_view.showPicture(m_defaultPicture);
        if (cancelled) {
            outcome = Outcome::Cancelled;
            m_view.logPass(QStringLiteral("%1  %2  cancelled by Stop").arg(number, m_fullURL));
        } else if (!answered) {
            outcome = Outcome::Failed;
            ++m_failed;
            m_lastFailure = m_inet.ResponseInfo();
            m_view.logPass(QStringLiteral("%1  %2  failed: %3 (error %4)")
                                   .arg(number, m_fullURL, m_lastFailure).arg(m_inet.ResponseCode()));
        } else {
            outcome = Outcome::NoPicture;
            ++m_noPicture;
            const QString type = m_inet.GetHeader(QStringLiteral("Content-type"));
            m_view.logPass(QStringLiteral("%1  %2  no picture: %3, HTTP status %4")
                                   .arg(number, m_fullURL,
                                        type.isEmpty() ? QStringLiteral("no Content-Type")
                                                       : QStringLiteral("Content-Type \"%1\"").arg(type))
                                   .arg(m_inet.statusCode()));
        }
    }
    if (outcome == Outcome::NoPicture || outcome == Outcome::Failed)
        ++m_missesInRow;
    else if (outcome != Outcome::Cancelled)
        m_missesInRow = 0;
    return outcome;
}

// Gives the picture's part file its name, as the existing-file setting says; shows it when saved.
DownloadRun::Outcome DownloadRun::keepPicture(const QString &number)
{
    const QString log = number + QStringLiteral("  ") + m_fullURL + QStringLiteral("  ");
    QString fileName = localFileName();
    PartFile part = m_inet.takePart();
    if (!part.isValid()) {
        const QString why = fileErrorText(QStringLiteral("Cannot save"), fileName, m_inet.keepError());
        ++m_saveFailures;
        m_lastSaveFailure = why;
        m_view.addMsg(QStringLiteral("Not saved: ") + why);
        m_view.logPass(log + QStringLiteral("not saved: ") + why);
        return Outcome::NotSaved;
    }

    FileSystemObject fso;
    auto exists = [&fso](const QString &path) {
        try {
            return fso.FileExists(path);
        } catch (const FileError &) {
            return false;
        }
    };
    auto skip = [&](const QString &why) {
        ++m_skipped;
        m_view.addMsg(QStringLiteral("Skipped: ") + why);
        m_view.logPass(log + QStringLiteral("skipped: ") + why);
        return Outcome::Skipped;
    };

    int numbered = 0;
    bool taken = exists(fileName);
    for (;;) {
        if (taken) {
            switch (m_settings.ifExists) {
            case Settings::IfExists::Skip:
                return skip(QStringLiteral("\"%1\" exists").arg(fileName));
            case Settings::IfExists::Number:
                fileName = numberedName(localFileName(), ++numbered);
                break;
            case Settings::IfExists::Ask: {
                const QString answer = m_view.askNewName(QStringLiteral("File Exists. Enter a new Name"), fileName);
                if (answer.isEmpty())
                    return skip(QStringLiteral("\"%1\" exists and no other name was given").arg(fileName));
                fileName = inFolder(m_settings.localFolder, answer + m_urlSuffix);
                break;
            }
            }
            if (exists(fileName))
                continue;   // that name is taken too: ask again, or count on
        }
        QString why;
        switch (part.commitAs(fileName, false, &why)) {
        case PartFile::Commit::Done:
            ++m_saved;
            m_view.savedCount(m_saved);
            m_view.logPass(log + QStringLiteral("saved as ") + fileName);
            m_view.showPicture(fileName);
            return Outcome::Saved;
        case PartFile::Commit::NameTaken:
            taken = true;   // made by someone else a moment ago
            continue;
        case PartFile::Commit::Failed:
            ++m_saveFailures;
            m_lastSaveFailure = why;
            m_view.addMsg(QStringLiteral("Not saved: ") + why);
            m_view.logPass(log + QStringLiteral("not saved: ") + why);
            return Outcome::NotSaved;
        }
    }
}

// The transfer for this pass: the one started ahead for its address, or a new one.
Inet::TransferId DownloadRun::transferFor(qint32 passNumber, const QString &url)
{
    for (qsizetype i = 0; i < m_ahead.size(); ++i) {
        if (m_ahead[i].passNumber != passNumber)
            continue;
        const Ahead ahead = m_ahead.takeAt(i);
        if (ahead.url == url)
            return ahead.id;
        m_inet.cancel(ahead.id);
        break;
    }
    const QString folder = QFileInfo(runrules::localFileName(url, m_settings.localFolder, m_settings.headerText)).path();
    if (!m_cleanedFolders.contains(folder)) {
        m_cleanedFolders.insert(folder);
        PartFile::removeStale(folder);
    }
    return m_inet.start(url, Inet::Keep{folder, runrules::isImageType});
}

// Keeps transfers going for the passes that follow, as far as the run may go: never past the
// maximum, past 32767, after Stop, or beyond the first pass with Multiple Downloads OFF.
void DownloadRun::fetchAhead(qint32 passNumber)
{
    for (qint32 next = passNumber + 1; next < passNumber + m_inFlight; ++next) {
        if (m_settings.stopRequested || !m_settings.multipleDownloads)
            return;
        if (next > qMax<qint32>(1, m_settings.lastFile) || qint32(m_firstNumber) + next - 1 > 32767)
            return;
        bool started = false;
        for (const Ahead &a : std::as_const(m_ahead))
            started = started || a.passNumber == next;
        if (started)
            continue;
        const QString url = runrules::composeURL(m_urlPrefix, numberTextOf(next), m_urlSuffix);
        m_ahead.append(Ahead{next, url, transferFor(next, url)});
    }
}

void DownloadRun::dropAhead()
{
    for (const Ahead &a : std::as_const(m_ahead))
        m_inet.cancel(a.id);
    m_ahead.clear();
}

bool DownloadRun::checkContentType()
{
    const QString header = m_inet.GetHeader(QStringLiteral("Content-type"));
    const bool isImage = runrules::isImageType(header);
    m_view.addMsg(isImage ? QStringLiteral("File is a image") : QStringLiteral("File is not a image"));
    return isImage;
}

QString DownloadRun::localFileName() const
{
    return runrules::localFileName(m_fullURL, m_settings.localFolder, m_settings.headerText);
}

QString DownloadRun::endText(qint32 passNumber) const
{
    if (!m_settings.multipleDownloads)
        return QStringLiteral("Downloading Stopped because Multiple Download Option is OFF");
    if (m_settings.stopRequested)
        return QStringLiteral("User Terminated Download Process");
    if (passNumber >= qint32(m_settings.lastFile) + 1)
        return QStringLiteral("Completed downloading maximum number if files (")
             + QString::number(passNumber - 1) + QLatin1Char(')');
    if (m_settings.maxMisses > 0 && m_missesInRow >= m_settings.maxMisses)
        return QStringLiteral("Downloading Stopped because %1 numbers in a row gave no picture").arg(m_missesInRow);
    return QStringLiteral("Downloading Completed because of unknown error");
}

void DownloadRun::endReport(const QString &text)
{
    // What the run did, so that a run which kept nothing never reads as a plain success.
    if (m_historyFailure.isEmpty())
        m_historyFailure = m_view.historyFailure();
    QString message = text + QStringLiteral(" - %1 saved, %2 gave no picture").arg(m_saved).arg(m_noPicture);
    if (m_skipped > 0)
        message += QStringLiteral(", %1 skipped").arg(m_skipped);
    if (m_failed > 0)
        message += QStringLiteral(" - %1 failed (last: %2)").arg(m_failed).arg(m_lastFailure);
    if (m_saveFailures > 0)
        message += QStringLiteral(" - %1 file(s) not saved: %2").arg(m_saveFailures).arg(m_lastSaveFailure);
    if (!m_historyFailure.isEmpty())
        message += QStringLiteral(" - the address was not added to the history: ") + m_historyFailure;
    m_view.addMsg(message);
    m_view.runEnded(message);
}
