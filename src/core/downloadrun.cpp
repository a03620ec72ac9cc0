#include "core/downloadrun.h"

#include "core/failurerules.h"
#include "core/numbers.h"
#include "core/runrules.h"
#include "core/transferstatus.h"
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

bool fileExists(const QString &path)
{
    try {
        return FileSystemObject().FileExists(path);
    } catch (const FileError &) {
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
    m_missesInRow = m_failuresInRow = m_serverFailuresInRow = 0;
    m_refusedInRow = m_repeatsInRow = m_repeated = 0;
    m_repeats.clear();
    m_lastFailure.clear();
    m_stopReason.clear();
    m_folderEnded = false;
    m_saveFailures = 0;
    m_lastSaveFailure.clear();
    m_cleanedFolders.clear();
    m_lastSaved.clear();
    m_wholeAddressHint = false;
    m_skipExisting = false;

    m_end = End{};
    if (!start())
        return;
    // However the run is left, no transfer it started goes on without it.
    const auto dropOnExit = qScopeGuard([this] { dropAhead(); });
    m_view.runActive(true);
    m_view.runStarted(runrules::composeURL(m_urlPrefix, m_numberText, m_urlSuffix),
                      QFileInfo(folderPath(m_run.localFolder)).absoluteFilePath());
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
        if (outcome == Outcome::Cancelled || outcome == Outcome::EndsRun)
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
        if (m_run.maxMisses > 0 && m_missesInRow >= m_run.maxMisses)
            break;
        if (!m_settings.multipleDownloads)
            break;
    }
    dropAhead();   // before the end report, so no transfer outlasts what it says
    // The pace the host was given, found as the run went, in the Run Log before the end report.
    if (const QString pace = m_inet.paceOf(m_firstURL); !pace.isEmpty())
        m_view.logPass(QStringLiteral("== pace: ") + pace);
    // The run ends on a picture: the last one it saved, when the last pass showed none.
    if (outcome != Outcome::Saved && !m_lastSaved.isEmpty())
        m_view.showPicture(m_lastSaved);
    if (m_saved > 0)
        syncInBackground(folderOf(m_lastSaved));
    m_end.ending = text.isEmpty() ? endingOf(passNumber, outcome) : Ending::SeriesEnd;
    endReport(text.isEmpty() ? endText(passNumber, outcome) : text);
}

bool DownloadRun::start()
{
    m_urlPrefix = m_view.prefixText();
    m_numberText = m_view.numberText();
    m_urlSuffix = m_view.suffixText();
    m_settings.stopRequested = Settings::False;
    // The folder, the header text and the naming rules stay as they are now for the whole run;
    // only Multiple Downloads and the maximum act on it while it goes.
    m_run = m_settings;
    m_numberWidth = int(m_numberText.size());
    if (runrules::composeURL(m_urlPrefix, QString(), QString()).isEmpty()) {
        m_view.addMsg(QStringLiteral("Enter the address of the first picture (or its part before the number)"));
        return false;
    }

    const std::optional<qint16> number = numbers::leadingNumber16(m_numberText);
    if (!number) {
        notStarted(QStringLiteral("the number \"%1\" is outside -32768 to 32767").arg(m_numberText));
        return false;
    }
    m_fileNumber = m_firstNumber = *number;
    m_firstNumberText = m_numberText;
    m_firstURL = runrules::composeURL(m_urlPrefix, m_numberText, m_urlSuffix);

    if (const QString why = Inet::unusable(); !why.isEmpty()) {
        notStarted(why);
        return false;
    }
    // With the automatic pace the run keeps as many transfers going as a host may take; the
    // engine holds back what the host's pace does not allow yet.
    m_automatic = m_settings.transfers == Settings::autoTransfers;
    m_inFlight = m_automatic ? HostPace::autoStreams : qBound(1, m_settings.transfers, Settings::maxTransfers);
    Inet::Config config;
    config.retries = qBound(0, m_settings.retries, Settings::maxRetries);
    config.pauseMs = qBound(0, m_settings.pauseMs, Settings::maxPauseMs);
    config.perHost = m_automatic ? HostPace::automatic : m_inFlight;
    config.referer = m_settings.referer;
    config.cookiesFile = m_settings.cookiesFile;
    config.caFile = m_settings.caFile;
    config.userAgent = m_settings.userAgent;
    config.socks5 = m_settings.proxyType == Settings::ProxyType::Socks5;
    config.proxyUser = m_settings.proxyUser;
    config.proxyPassword = m_settings.proxyPassword;
    // Files the transfers need are read now, so a Get that cannot work asks nothing of anyone.
    if (const QString why = m_inet.configure(config); !why.isEmpty()) {
        notStarted(why);
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
        || (settings().keep == Settings::Keep::All && runrules::isPngOrWebpType(contentType));
}

DownloadRun::Outcome DownloadRun::pass(qint32 passNumber)
{
    m_fullURL = runrules::composeURL(m_urlPrefix, m_numberText, m_urlSuffix);
    // The picture's name is decided here, once: its part file is made in that name's folder.
    m_fileName = runrules::localFileName(m_fullURL, m_run.localFolder, m_run.headerText);
    m_view.addMsg(QStringLiteral("Opening :") + m_fullURL);
    m_view.transferProgress(0, -1);
    const QString log = m_numberText + QStringLiteral("  ") + m_fullURL + QStringLiteral("  ");
    const Outcome outcome = skipsWithoutAsking(m_fullURL) ? skipUnasked(passNumber, log)
                                                          : judge(passNumber, log, waitFor(passNumber));
    hintWholeAddress(passNumber, outcome);
    count(outcome);
    return outcome;
}

// A file the run would skip anyway is not asked for: a series run again from its start goes
// through what it has at the pace of the disk.
DownloadRun::Outcome DownloadRun::skipUnasked(qint32 passNumber, const QString &log)
{
    transferFor(passNumber, QString());   // drops one started before the file appeared
    fetchAhead(passNumber);
    const QString why = QStringLiteral("\"%1\" exists").arg(localFileName());
    ++m_skipped;
    m_view.addMsg(QStringLiteral("Skipped: ") + why);
    m_view.logPass(log + QStringLiteral("skipped: ") + why + QStringLiteral(" (not requested)"));
    return Outcome::Skipped;
}

// The answer for this pass, while the transfers for the next ones go on.
Inet::Answer DownloadRun::waitFor(qint32 passNumber)
{
    // Stop pressed since the pass began cuts its transfer short before it starts: id 0 is no
    // transfer, which a wait reports as cancelled.
    m_current = m_settings.stopRequested ? 0 : transferFor(passNumber, m_fullURL);
    m_passNumber = passNumber;
    fetchAhead(passNumber);
    Inet::Answer answer = m_inet.wait(m_current);
    m_current = 0;
    m_passNumber = 0;
    if (answer.tries > 1)
        ++m_retried;
    return answer;
}

// What the answer means for this number: a miss of some kind, or the end of the run.
DownloadRun::Outcome DownloadRun::classify(const Inet::Answer &answer) const
{
    switch (answer.result) {
    case Inet::Answer::Result::Cancelled:
        return Outcome::Cancelled;
    case Inet::Answer::Result::Failed:
        switch (failurerules::ofTransfer(answer).kind) {
        case failurerules::Verdict::Kind::EndsRun:
            return Outcome::EndsRun;
        case failurerules::Verdict::Kind::ServerFailing:
            return Outcome::ServerFailed;
        case failurerules::Verdict::Kind::Number:
            return Outcome::Failed;
        }
        break;
    case Inet::Answer::Result::Answered:
        // A refusal is the site's answer to how it is asked, not the end of the series.
        if (answer.status == 401 || answer.status == 403 || answer.status == 451)
            return Outcome::Refused;
        break;
    }
    return Outcome::NoPicture;
}

DownloadRun::Outcome DownloadRun::judge(qint32 passNumber, const QString &log, Inet::Answer answer)
{
    // Only a whole answer of the file is a picture: a busy or failing server's page is not,
    // whatever it says its type is.
    const QString type = answer.answered() && answer.status == 200 ? answer.contentType() : QString();
    if (checkContentType(type)) {
        std::optional<qint32> earlier;
        if (answer.part.isValid() && m_run.repeats == Settings::Repeats::Skip)
            earlier = m_repeats.earlierPass(answer.part.digest(), passNumber);
        if (earlier) {
            // A site's placeholder for what it does not have: no picture of the series.
            const QString why = QStringLiteral("the same picture as ") + numberTextOf(*earlier);
            const QString tries = answer.tries > 1 ? QStringLiteral(" (%1 tries)").arg(answer.tries) : QString();
            ++m_repeated;
            m_view.showPicture(m_defaultPicture);
            m_view.addMsg(QStringLiteral("Not saved: ") + why);
            m_view.logPass(log + QStringLiteral("not saved: ") + why + tries);
            return Outcome::Repeated;
        }
        if (answer.part.isValid())
            return keepPicture(log, std::move(answer.part));
        if (!answer.keepFailure.text.isEmpty())
            return notSaved(log, answer.keepFailure, localFileName());
        // a kind the settings took up during the transfer
        return notSaved(log, PartFile::Failure{QStringLiteral("its body was not kept"), 0}, localFileName());
    }
    m_view.showPicture(m_defaultPicture);
    const Outcome outcome = classify(answer);
    logMiss(log, outcome, answer);
    return outcome;
}

void DownloadRun::logMiss(const QString &log, Outcome outcome, const Inet::Answer &answer)
{
    const QString tries = answer.tries > 1 ? QStringLiteral(" (%1 tries)").arg(answer.tries) : QString();
    switch (outcome) {
    case Outcome::Cancelled:
        m_view.logPass(log + QStringLiteral("cancelled by Stop"));
        return;
    case Outcome::Failed:
    case Outcome::ServerFailed:
    case Outcome::EndsRun: {
        ++m_failed;
        m_lastFailure = answer.errorText;
        // A redirect's target that failed is named: it is not the address the number asked for.
        const QString where = answer.firstHop ? QString() : QStringLiteral(" at ") + answer.hop;
        m_view.logPass(log + QStringLiteral("failed: %1 (error %2)").arg(answer.errorText).arg(answer.errorCode) + where + tries);
        if (outcome == Outcome::EndsRun)
            m_stopReason = failurerules::ofTransfer(answer).reason;
        return;
    }
    case Outcome::Refused:
        ++m_failed;
        m_lastRefusal = answer.status;
        m_lastFailure = QStringLiteral("the server refused it, HTTP status %1").arg(answer.status);
        m_view.logPass(log + QStringLiteral("failed: ") + m_lastFailure + tries);
        return;
    default: {
        const QString type = answer.contentType();
        ++m_noPicture;
        if (runrules::isPngOrWebpType(type))
            ++m_notKeptKinds;
        m_view.logPass(log + QStringLiteral("no picture: %1, HTTP status %2")
                                 .arg(type.isEmpty() ? QStringLiteral("no Content-Type")
                                                     : QStringLiteral("Content-Type \"%1\"").arg(type))
                                 .arg(answer.status)
                       + tries);
        return;
    }
    }
}

// A whole picture address typed into the prefix box asks for nothing that exists: say what would
// split it, here and in the end report.
void DownloadRun::hintWholeAddress(qint32 passNumber, Outcome outcome)
{
    if (passNumber == 1 && (outcome == Outcome::NoPicture || outcome == Outcome::Failed)
        && runrules::isWholePictureAddress(m_urlPrefix)) {
        m_wholeAddressHint = true;
        m_view.addMsg(QStringLiteral("File is not a image - ") + wholeAddressHint());
    }
}

// Numbers in a row that gave nothing, for the end test.
void DownloadRun::count(Outcome outcome)
{
    if (outcome != Outcome::Refused)
        m_refusedInRow = 0;
    if (outcome != Outcome::Repeated)
        m_repeatsInRow = 0;
    switch (outcome) {
    case Outcome::Repeated:
        m_serverFailuresInRow = 0;
        ++m_repeatsInRow;
        ++m_missesInRow;
        break;
    case Outcome::Refused:
        m_serverFailuresInRow = 0;
        ++m_refusedInRow;
        ++m_failuresInRow;
        ++m_missesInRow;
        break;
    case Outcome::ServerFailed:
        ++m_serverFailuresInRow;
        ++m_failuresInRow;
        ++m_missesInRow;
        break;
    case Outcome::Failed:
        m_serverFailuresInRow = 0;
        ++m_failuresInRow;
        ++m_missesInRow;
        break;
    case Outcome::NoPicture:
        m_serverFailuresInRow = 0;
        ++m_missesInRow;
        break;
    case Outcome::Cancelled:
    case Outcome::EndsRun:
        break;
    default:
        m_missesInRow = m_failuresInRow = m_serverFailuresInRow = 0;
        break;
    }
}

// A picture whose body could not be kept, or whose file could not be made.
DownloadRun::Outcome DownloadRun::notSaved(const QString &log, const PartFile::Failure &why, const QString &fileName)
{
    const QString text = fileErrorText(QStringLiteral("Cannot save"), fileName, why.text);
    m_view.addMsg(QStringLiteral("Not saved: ") + text);
    m_view.logPass(log + QStringLiteral("not saved: ") + text);
    const failurerules::Verdict verdict = failurerules::ofFile(why, m_run.localFolder);
    if (verdict.kind == failurerules::Verdict::Kind::EndsRun) {
        m_stopReason = verdict.reason;
        m_folderEnded = true;
        return Outcome::EndsRun;
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
    // The commit itself refuses a taken name, so a free one costs no look beforehand.
    bool taken = false;
    for (;;) {
        if (taken) {
            switch (m_skipExisting ? Settings::IfExists::Skip : m_run.ifExists) {
            case Settings::IfExists::Skip:
                return skip(QStringLiteral("\"%1\" exists").arg(fileName));
            case Settings::IfExists::Number:
                fileName = numberedName(localFileName(), ++numbered);
                break;
            case Settings::IfExists::Ask: {
                const QString answer = m_view.askNewName(prompt, fileName);
                if (answer.isEmpty()) {
                    m_skipExisting = m_skipExisting || m_view.skipTheRest();
                    return skip(QStringLiteral("\"%1\" exists and no other name was given").arg(fileName));
                }
                fileName = inFolder(m_run.localFolder, answer.endsWith(ending) ? answer : answer + ending);
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
            if (named && failurerules::ofFile(why, m_run.localFolder).kind != failurerules::Verdict::Kind::EndsRun) {
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
    return (m_skipExisting || m_run.ifExists == Settings::IfExists::Skip)
        && fileExists(runrules::localFileName(url, m_run.localFolder, m_run.headerText));
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
    const QString folder = folderOf(runrules::localFileName(url, m_run.localFolder, m_run.headerText));
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
    // are where this run will end: nothing past them is asked for. Numbers waiting for their next
    // try are not under way, so later ones go on being fetched meanwhile; but no more of them
    // wait than may be under way, so a failing server is not asked for ever more numbers.
    int active = 0;
    int retrying = 0;
    int misses = 0;
    int mostMisses = 0;
    qint32 previous = passNumber;
    for (const Ahead &a : std::as_const(m_ahead)) {
        const std::optional<bool> kept = m_inet.keptBody(a.id);
        if (!kept)
            ++(m_inet.waitsToRetry(a.id) ? retrying : active);
        misses = kept && !*kept ? (a.passNumber == previous + 1 ? misses : 0) + 1 : 0;
        mostMisses = qMax(mostMisses, misses);
        previous = a.passNumber;
    }
    if (m_run.maxMisses > 0 && mostMisses >= m_run.maxMisses)
        return;
    // With the automatic pace, as many as the host takes now: what the engine would only hold
    // back would go out even after the run has learnt that it ends short of them.
    const int inFlight = m_automatic ? qMin(m_inFlight, m_inet.paceLimit(m_firstURL)) : m_inFlight;
    const qint32 farthest = passNumber + qMax(inFlight - 1, 0) * aheadPerTransfer;
    for (qint32 next = passNumber + 1; next <= farthest && active < inFlight - 1 && active + retrying < 2 * (inFlight - 1);
         ++next) {
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
    return m_fileName;
}

QString DownloadRun::endText(qint32 passNumber, Outcome last) const
{
    if (last == Outcome::EndsRun)
        return QStringLiteral("Downloading Stopped because ") + m_stopReason;
    if (m_settings.stopRequested)
        return QStringLiteral("User Terminated Download Process");
    if (!m_settings.multipleDownloads)
        return QStringLiteral("Downloading Stopped because Multiple Download Option is OFF");
    if (passNumber >= qint32(m_settings.lastFile) + 1)
        return QStringLiteral("Completed downloading maximum number if files (")
             + QString::number(passNumber - 1) + QLatin1Char(')');
    if (m_run.maxMisses > 0 && m_serverFailuresInRow >= m_run.maxMisses)
        return QStringLiteral("Downloading Stopped because the server keeps failing: ") + m_lastFailure;
    if (m_run.maxMisses > 0 && m_missesInRow >= m_run.maxMisses) {
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

void DownloadRun::notStarted(const QString &why)
{
    m_end.report = QStringLiteral("Not started: ") + why;
    m_view.addMsg(m_end.report);
}

// The end text's case, as a value a queue of series goes by.
DownloadRun::Ending DownloadRun::endingOf(qint32 passNumber, Outcome last) const
{
    if (last == Outcome::EndsRun)
        return m_folderEnded ? Ending::FolderFailed : Ending::Failed;
    if (m_settings.stopRequested)
        return Ending::Stopped;
    if (!m_settings.multipleDownloads || passNumber >= qint32(m_settings.lastFile) + 1)
        return Ending::Maximum;
    if (m_run.maxMisses > 0 && m_serverFailuresInRow >= m_run.maxMisses)
        return Ending::Failed;
    if (m_run.maxMisses > 0 && m_missesInRow >= m_run.maxMisses)
        return m_failuresInRow == m_missesInRow ? Ending::Failed : Ending::SeriesEnd;
    return Ending::Failed;
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
    m_end.saved = m_saved;
    m_end.report = message;
    m_view.addMsg(message);
    m_view.runEnded(message);
}
