#include "core/downloadrun.h"

#include "core/numbers.h"
#include "core/runrules.h"
#include "core/transferstatus.h"
#include "platform/filesystem.h"

#include <QFileInfo>
#include <QScopeGuard>

#include <cerrno>

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

bool fileExists(const QString &path)
{
    try {
        return FileSystemObject().FileExists(path);
    } catch (const FileError &) {
        return false;
    }
}

// A failure that no picture of the run could escape: the target folder itself is missing, may
// not be written, or is full. A name of this one file that cannot be had (a folder of that name,
// a missing subfolder named by the header text or a typed name) is no such failure.
bool folderCannotTakePictures(const PartFile::Failure &failure, const QString &folder)
{
    switch (failure.code) {
    case EACCES:
    case EROFS:
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return true;
    case ENOENT:
    case ENOTDIR:
        return !QFileInfo(folderPath(folder)).isDir();
    default:
        return false;
    }
}

QString folderOf(const QString &fileName)
{
    return QFileInfo(fileName).path();
}

} // namespace

DownloadRun::DownloadRun(Settings &settings, Inet &inet, RunView &view, const QString &defaultPicture)
    : m_settings(settings), m_inet(inet), m_view(view), m_defaultPicture(defaultPicture)
{
    m_connections << QObject::connect(&m_inet, &Inet::StateChanged, &m_inet, [this](qint16 state) {
        if (const std::optional<QString> text = transferstatus::stateText(state, m_inet))
            m_view.transferState(*text);
    });
    m_connections << QObject::connect(&m_inet, &Inet::Retrying, &m_inet, [this](int seconds, const QString &reason) {
        m_view.transferState(QStringLiteral("Retrying in %1 s (%2)").arg(seconds).arg(reason));
    });
    m_connections << QObject::connect(&m_inet, &Inet::Progress, &m_inet, [this](qint64 received, qint64 total) {
        m_view.transferProgress(received, total);
    });
    // A pass that waits (for its next try, or a slow server) holds up no transfer behind it.
    m_connections << QObject::connect(&m_inet, &Inet::Ended, &m_inet, [this] {
        if (m_running && m_passNumber > 0)
            fetchAhead(m_passNumber);
    });
}

DownloadRun::~DownloadRun()
{
    for (const QMetaObject::Connection &c : std::as_const(m_connections))
        QObject::disconnect(c);
}

void DownloadRun::stop()
{
    m_settings.stopRequested = Settings::True;
    if (!m_running)
        return;
    dropAhead();
    m_inet.cancel(m_current);
}

void DownloadRun::run()
{
    if (m_running)
        return;
    RunningGuard guard(m_running, m_view);
    m_saved = m_noPicture = m_failed = m_skipped = m_retried = m_notKeptKinds = 0;
    m_missesInRow = m_failuresInRow = m_refusedInRow = m_repeatsInRow = m_repeated = 0;
    m_repeats.clear();
    m_lastFailure.clear();
    m_stopReason.clear();
    m_saveFailures = 0;
    m_lastSaveFailure.clear();
    m_cleanedFolders.clear();
    m_lastSaved.clear();
    m_wholeAddressHint = false;

    if (!start())
        return;
    // However the run is left, no transfer it started goes on without it.
    const auto dropOnExit = qScopeGuard([this] { dropAhead(); });
    m_view.runActive(true);
    m_view.runStarted(runrules::composeURL(m_urlPrefix, m_numberText, m_urlSuffix),
                      QFileInfo(folderPath(m_settings.localFolder)).absoluteFilePath());
    m_view.savedCount(0);

    // Counted wider than 16 bits so that a limit of 32767 still ends the run.
    qint32 passNumber = 1;
    QString text;
    Outcome outcome = Outcome::Cancelled;
    for (;;) {
        outcome = pass(passNumber);
        ++passNumber;
        // Stop cut the transfer short, or no later number could fare better: the number stays
        // on that picture.
        if (outcome == Outcome::Cancelled || outcome == Outcome::Everywhere || outcome == Outcome::FolderFull)
            break;
        const std::optional<QString> next = runrules::nextNumber(m_fileNumber, m_numberWidth);
        if (!next) {
            if (passNumber < qint32(m_settings.lastFile) + 1)
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
    // The run ends on a picture: the last one it saved, when the last pass showed none.
    if (outcome != Outcome::Saved && !m_lastSaved.isEmpty())
        m_view.showPicture(m_lastSaved);
    if (m_saved > 0)
        syncInBackground(folderOf(m_lastSaved));
    endReport(text.isEmpty() ? endText(passNumber, outcome) : text);
}

bool DownloadRun::start()
{
    m_urlPrefix = m_view.prefixText();
    m_numberText = m_view.numberText();
    m_urlSuffix = m_view.suffixText();
    m_settings.stopRequested = Settings::False;
    m_numberWidth = int(m_numberText.size());
    if (runrules::composeURL(m_urlPrefix, QString(), QString()).isEmpty()) {
        m_view.addMsg(QStringLiteral("Enter the address of the first picture (or its part before the number)"));
        return false;
    }

    const std::optional<qint16> number = numbers::leadingNumber16(m_numberText);
    if (!number) {
        m_view.addMsg(QStringLiteral("Not started: the number \"%1\" is outside -32768 to 32767")
                              .arg(m_numberText));
        return false;
    }
    m_fileNumber = m_firstNumber = *number;
    m_firstNumberText = m_numberText;

    if (const QString why = Inet::unusable(); !why.isEmpty()) {
        m_view.addMsg(QStringLiteral("Not started: ") + why);
        return false;
    }
    m_inFlight = qBound(1, m_settings.transfers, Settings::maxTransfers);
    Inet::Config config;
    config.retries = qBound(0, m_settings.retries, Settings::maxRetries);
    config.pauseMs = qBound(0, m_settings.pauseMs, Settings::maxPauseMs);
    config.perHost = m_inFlight;
    config.referer = m_settings.referer;
    config.cookiesFile = m_settings.cookiesFile;
    config.caFile = m_settings.caFile;
    config.userAgent = m_settings.userAgent;
    config.socks5 = m_settings.proxyType == Settings::ProxyType::Socks5;
    config.proxyUser = m_settings.proxyUser;
    config.proxyPassword = m_settings.proxyPassword;
    // Files the transfers need are read now, so a Get that cannot work asks nothing of anyone.
    if (const QString why = m_inet.configure(config); !why.isEmpty()) {
        m_view.addMsg(QStringLiteral("Not started: ") + why);
        return false;
    }

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
    return true;
}

// The number text a pass will use: as typed for the first, as the number step writes it after.
QString DownloadRun::numberTextOf(qint32 passNumber) const
{
    if (passNumber == 1)
        return m_firstNumberText;
    return runrules::formatNumber(qint32(m_firstNumber) + passNumber - 1, m_numberWidth);
}

bool DownloadRun::keeps(const QString &contentType) const
{
    return runrules::isImageType(contentType)
        || (m_settings.keep == Settings::Keep::All && runrules::isPngOrWebpType(contentType));
}

DownloadRun::Outcome DownloadRun::pass(qint32 passNumber)
{
    m_fullURL = runrules::composeURL(m_urlPrefix, m_numberText, m_urlSuffix);
    m_view.addMsg(QStringLiteral("Opening :") + m_fullURL);
    m_view.transferProgress(0, -1);
    const QString number = m_numberText;
    const QString log = number + QStringLiteral("  ") + m_fullURL + QStringLiteral("  ");

    Outcome outcome = Outcome::Cancelled;
    if (skipsWithoutAsking(m_fullURL)) {
        // A file the run would skip anyway is not asked for: a series run again from its start
        // goes through what it has at the pace of the disk.
        transferFor(passNumber, QString());   // drops one started before the file appeared
        fetchAhead(passNumber);
        const QString why = QStringLiteral("\"%1\" exists").arg(localFileName());
        ++m_skipped;
        m_view.addMsg(QStringLiteral("Skipped: ") + why);
        m_view.logPass(log + QStringLiteral("skipped: ") + why + QStringLiteral(" (not requested)"));
        outcome = Outcome::Skipped;
    } else {
        // Stop pressed since the pass began cuts its transfer short before it starts: id 0 is no
        // transfer, which a wait reports as cancelled.
        m_current = m_settings.stopRequested ? 0 : transferFor(passNumber, m_fullURL);
        m_passNumber = passNumber;
        fetchAhead(passNumber);
        Inet::Answer answer = m_inet.wait(m_current);
        m_current = 0;
        m_passNumber = 0;
        QString tries;
        if (answer.tries > 1) {
            ++m_retried;
            tries = QStringLiteral(" (%1 tries)").arg(answer.tries);
        }

        const QString type = answer.answered() ? answer.contentType() : QString();
        std::optional<qint32> earlier;
        if (answer.part.isValid() && m_settings.repeats == Settings::Repeats::Skip)
            earlier = m_repeats.earlierPass(answer.part.digest(), passNumber);
        if (checkContentType(type)) {
            if (earlier) {
                // A site's placeholder for what it does not have: no picture of the series.
                const QString why = QStringLiteral("the same picture as ") + numberTextOf(*earlier);
                ++m_repeated;
                m_view.showPicture(m_defaultPicture);
                m_view.addMsg(QStringLiteral("Not saved: ") + why);
                m_view.logPass(log + QStringLiteral("not saved: ") + why + tries);
                outcome = Outcome::Repeated;
            } else if (answer.part.isValid())
                outcome = keepPicture(log, std::move(answer.part));
            else if (!answer.keepFailure.text.isEmpty())
                outcome = notSaved(log, answer.keepFailure, localFileName());
            else   // a kind the settings took up during the transfer
                outcome = notSaved(log, PartFile::Failure{QStringLiteral("its body was not kept"), 0}, localFileName());
        } else {
            m_view.showPicture(m_defaultPicture);
            switch (answer.result) {
            case Inet::Answer::Result::Cancelled:
                outcome = Outcome::Cancelled;
                m_view.logPass(log + QStringLiteral("cancelled by Stop"));
                break;
            case Inet::Answer::Result::Failed:
                ++m_failed;
                m_lastFailure = answer.errorText;
                m_view.logPass(log + QStringLiteral("failed: %1 (error %2)").arg(answer.errorText).arg(answer.errorCode)
                               + tries);
                outcome = Outcome::Failed;
                if (answer.failure == Inet::Failure::Everywhere) {
                    m_stopReason = QStringLiteral("%1 (%2)").arg(answer.everywhereReason, answer.errorText);
                    outcome = Outcome::Everywhere;
                }
                break;
            case Inet::Answer::Result::Answered:
                if (answer.busy()) {
                    // A server too busy to answer has not ended the series.
                    ++m_failed;
                    m_lastFailure = QStringLiteral("the server stayed busy, HTTP status %1").arg(answer.status);
                    m_view.logPass(log + QStringLiteral("failed: ") + m_lastFailure + tries);
                    outcome = Outcome::Busy;
                    break;
                }
                if (answer.status == 407) {
                    m_stopReason = Inet::proxyRefused();
                    m_lastFailure = m_stopReason;
                    ++m_failed;
                    m_view.logPass(log + QStringLiteral("failed: ") + m_stopReason);
                    outcome = Outcome::Everywhere;
                    break;
                }
                if (answer.status == 401 || answer.status == 403 || answer.status == 451) {
                    ++m_failed;
                    ++m_refusedInRow;
                    m_lastRefusal = answer.status;
                    m_lastFailure = QStringLiteral("the server refused it, HTTP status %1").arg(answer.status);
                    m_view.logPass(log + QStringLiteral("failed: ") + m_lastFailure + tries);
                    outcome = Outcome::Failed;
                    break;
                }
                ++m_noPicture;
                if (runrules::isPngOrWebpType(type))
                    ++m_notKeptKinds;
                m_view.logPass(log + QStringLiteral("no picture: %1, HTTP status %2")
                                         .arg(type.isEmpty() ? QStringLiteral("no Content-Type")
                                                             : QStringLiteral("Content-Type \"%1\"").arg(type))
                                         .arg(answer.status)
                               + tries);
                outcome = Outcome::NoPicture;
                break;
            }
        }
    }
    // A whole picture address typed into the prefix box asks for nothing that exists: say what
    // would split it, here and in the end report.
    if (passNumber == 1 && (outcome == Outcome::NoPicture || outcome == Outcome::Failed)
        && runrules::isWholePictureAddress(m_urlPrefix)) {
        m_wholeAddressHint = true;
        m_view.addMsg(QStringLiteral("File is not a image - ") + wholeAddressHint());
    }
    if (outcome != Outcome::Failed)
        m_refusedInRow = 0;
    switch (outcome) {
    case Outcome::Repeated:
        ++m_repeatsInRow;
        ++m_missesInRow;
        break;
    case Outcome::Failed:
        ++m_failuresInRow;
        [[fallthrough]];
    case Outcome::NoPicture:
        ++m_missesInRow;
        break;
    case Outcome::Busy:
    case Outcome::Cancelled:
        break;
    default:
        m_missesInRow = m_failuresInRow = m_repeatsInRow = 0;
        break;
    }
    return outcome;
}

// A picture whose body could not be kept, or whose file could not be made.
DownloadRun::Outcome DownloadRun::notSaved(const QString &log, const PartFile::Failure &why, const QString &fileName)
{
    const QString text = fileErrorText(QStringLiteral("Cannot save"), fileName, why.text);
    m_view.addMsg(QStringLiteral("Not saved: ") + text);
    m_view.logPass(log + QStringLiteral("not saved: ") + text);
    const QString folder = m_settings.localFolder;
    if (folderCannotTakePictures(why, folder)) {
        m_stopReason = QStringLiteral("the folder cannot be written: %1: %2")
                               .arg(QFileInfo(folderPath(folder)).absoluteFilePath(), errnoText(why.code));
        return Outcome::FolderFull;
    }
    ++m_saveFailures;
    m_lastSaveFailure = text;
    return Outcome::NotSaved;
}

// Gives the picture's part file its name, as the existing-file setting says; shows it when saved.
DownloadRun::Outcome DownloadRun::keepPicture(const QString &log, PartFile part)
{
    QString fileName = localFileName();
    auto skip = [&](const QString &why) {
        ++m_skipped;
        m_view.addMsg(QStringLiteral("Skipped: ") + why);
        m_view.logPass(log + QStringLiteral("skipped: ") + why);
        return Outcome::Skipped;
    };
    // A name the user typed gets the address's own last piece, unless it ends with it already.
    const QString ending = runrules::lastPiece(m_urlSuffix);
    const QString existsPrompt = QStringLiteral("File Exists. Enter a new Name");
    QString prompt = existsPrompt;
    bool named = false;
    int numbered = 0;
    bool taken = fileExists(fileName);
    for (;;) {
        if (taken) {
            switch (m_settings.ifExists) {
            case Settings::IfExists::Skip:
                return skip(QStringLiteral("\"%1\" exists").arg(fileName));
            case Settings::IfExists::Number:
                fileName = numberedName(localFileName(), ++numbered);
                break;
            case Settings::IfExists::Ask: {
                const QString answer = m_view.askNewName(prompt, fileName);
                if (answer.isEmpty())
                    return skip(QStringLiteral("\"%1\" exists and no other name was given").arg(fileName));
                fileName = inFolder(m_settings.localFolder, answer.endsWith(ending) ? answer : answer + ending);
                named = true;
                prompt = existsPrompt;
                break;
            }
            }
            if (fileExists(fileName))
                continue;   // that name is taken too: ask again, or count on
        }
        PartFile::Failure why;
        switch (part.commitAs(fileName, &why)) {
        case PartFile::Commit::Done:
            ++m_saved;
            m_lastSaved = fileName;
            m_view.savedCount(m_saved);
            m_view.logPass(log + QStringLiteral("saved as ") + fileName);
            m_view.showPicture(fileName);
            return Outcome::Saved;
        case PartFile::Commit::NameTaken:
            taken = true;   // made by someone else a moment ago
            continue;
        case PartFile::Commit::Failed:
            // A name the user gave that cannot be had: ask for another, saying why.
            if (named && !folderCannotTakePictures(why, m_settings.localFolder)) {
                prompt = fileErrorText(QStringLiteral("Cannot save"), fileName, why.text)
                       + QStringLiteral(". Enter a new Name");
                taken = true;
                continue;
            }
            return notSaved(log, why, fileName);
        }
    }
}

// With "If the file exists" on Skip, a number whose file is there already needs no request.
bool DownloadRun::skipsWithoutAsking(const QString &url) const
{
    return m_settings.ifExists == Settings::IfExists::Skip
        && fileExists(runrules::localFileName(url, m_settings.localFolder, m_settings.headerText));
}

// The transfer for this pass: the one started ahead for its address, or a new one. An empty
// address only drops one started ahead.
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
    if (url.isEmpty())
        return 0;
    const QString folder = folderOf(runrules::localFileName(url, m_settings.localFolder, m_settings.headerText));
    if (!m_cleanedFolders.contains(folder)) {
        m_cleanedFolders.insert(folder);
        PartFile::removeStale(folder);
    }
    return m_inet.start(Inet::Request{url, folder, [this](const QString &type) { return keeps(type); }});
}

// Keeps transfers going for the passes that follow, as far as the run may go: never past the
// maximum, past 32767, after Stop, or beyond the first pass with Multiple Downloads OFF. As many
// are under way as the setting allows; answers that wait for their turn do not count, so a pass
// that waits holds nothing up, up to maxAhead numbers past it.
void DownloadRun::fetchAhead(qint32 passNumber)
{
    // Answers that wait for their turn, as many numbers in a row without a picture as end a run,
    // are where this run will end: nothing past them is asked for.
    int active = 0;
    int misses = 0;
    int mostMisses = 0;
    qint32 previous = passNumber;
    for (const Ahead &a : std::as_const(m_ahead)) {
        const std::optional<bool> kept = m_inet.keptBody(a.id);
        active += kept ? 0 : 1;
        misses = kept && !*kept ? (a.passNumber == previous + 1 ? misses : 0) + 1 : 0;
        mostMisses = qMax(mostMisses, misses);
        previous = a.passNumber;
    }
    if (m_settings.maxMisses > 0 && mostMisses >= m_settings.maxMisses)
        return;
    const qint32 farthest = passNumber + qMax(m_inFlight - 1, 0) * aheadPerTransfer;
    for (qint32 next = passNumber + 1; next <= farthest && active < m_inFlight - 1; ++next) {
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
        if (skipsWithoutAsking(url))
            continue;
        m_ahead.append(Ahead{next, url, transferFor(next, url)});
        ++active;
    }
}

void DownloadRun::dropAhead()
{
    const QList<Ahead> ahead = std::exchange(m_ahead, {});
    for (const Ahead &a : ahead)
        m_inet.cancel(a.id);
}

QString DownloadRun::wholeAddressHint()
{
    return QStringLiteral("the prefix box holds a picture's whole address: Operations -> Paste Address "
                          "would split it into prefix, number and suffix");
}

bool DownloadRun::checkContentType(const QString &header)
{
    const bool isImage = keeps(header);
    m_view.addMsg(isImage ? QStringLiteral("File is a image") : QStringLiteral("File is not a image"));
    return isImage;
}

QString DownloadRun::localFileName() const
{
    return runrules::localFileName(m_fullURL, m_settings.localFolder, m_settings.headerText);
}

QString DownloadRun::endText(qint32 passNumber, Outcome last) const
{
    if (last == Outcome::Everywhere || last == Outcome::FolderFull)
        return QStringLiteral("Downloading Stopped because ") + m_stopReason;
    if (m_settings.stopRequested)
        return QStringLiteral("User Terminated Download Process");
    if (!m_settings.multipleDownloads)
        return QStringLiteral("Downloading Stopped because Multiple Download Option is OFF");
    if (passNumber >= qint32(m_settings.lastFile) + 1)
        return QStringLiteral("Completed downloading maximum number if files (")
             + QString::number(passNumber - 1) + QLatin1Char(')');
    if (m_settings.maxMisses > 0 && m_missesInRow >= m_settings.maxMisses) {
        if (m_refusedInRow == m_missesInRow)
            return QStringLiteral("Downloading Stopped because the server refused %1 numbers in a row (HTTP %2): the site "
                                  "may want a Referer, cookies or another Identify as (Options)")
                    .arg(m_missesInRow)
                    .arg(m_lastRefusal);
        if (m_repeatsInRow == m_missesInRow)
            return QStringLiteral("Downloading Stopped because %1 numbers in a row repeated an earlier picture")
                    .arg(m_missesInRow);
        const QString what = m_failuresInRow == 0              ? QStringLiteral("gave no picture")
                           : m_failuresInRow == m_missesInRow  ? QStringLiteral("failed")
                                                               : QStringLiteral("gave no picture or failed");
        return QStringLiteral("Downloading Stopped because %1 numbers in a row %2").arg(m_missesInRow).arg(what);
    }
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
    if (m_retried > 0)
        message += QStringLiteral(", %1 retried").arg(m_retried);
    if (m_repeated > 0)
        message += QStringLiteral(" - %1 repeated an earlier picture").arg(m_repeated);
    if (m_failed > 0)
        message += QStringLiteral(" - %1 failed (last: %2)").arg(m_failed).arg(m_lastFailure);
    if (m_notKeptKinds > 0)
        message += QStringLiteral(" - %1 were PNG or WebP, not kept: see Options").arg(m_notKeptKinds);
    if (m_saveFailures > 0)
        message += QStringLiteral(" - %1 file(s) not saved: %2").arg(m_saveFailures).arg(m_lastSaveFailure);
    if (!m_historyFailure.isEmpty())
        message += QStringLiteral(" - the address was not added to the history: ") + m_historyFailure;
    if (m_wholeAddressHint)
        message += QStringLiteral(" - ") + wholeAddressHint();
    m_view.addMsg(message);
    m_view.runEnded(message);
}
