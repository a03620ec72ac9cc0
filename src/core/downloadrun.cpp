#include "core/downloadrun.h"

#include "core/numbers.h"
#include "core/runrules.h"
#include "platform/filesystem.h"
#include "platform/inet.h"

namespace {

// Resets the running flag however the run is left.
struct RunningGuard
{
    bool &flag;
    explicit RunningGuard(bool &f) : flag(f) { flag = true; }
    ~RunningGuard() { flag = false; }
};

} // namespace

DownloadRun::DownloadRun(Settings &settings, Inet &inet, RunView &view, const QString &defaultPicture)
    : m_settings(settings), m_inet(inet), m_view(view), m_defaultPicture(defaultPicture)
{
}

void DownloadRun::run()
{
    if (m_running)
        return;
    RunningGuard guard(m_running);
    m_saveFailures = 0;
    m_lastSaveFailure.clear();

    if (!start())
        return;

    // Counted wider than 16 bits so that a limit of 32767 still ends the run.
    qint32 passNumber = 1;
    for (;;) {
        const bool canGoOn = pass();
        ++passNumber;
        if (!canGoOn) {
            m_view.addMsg(QStringLiteral("Downloading Stopped because the number cannot go past 32767"));
            return;
        }
        if (passNumber == qint32(m_settings.lastFile) + 1)
            break;
        if (m_settings.stopRequested)
            break;
        if (!m_settings.multipleDownloads)
            break;
    }
    endReport(passNumber);
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
    m_fileNumber = *number;

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

bool DownloadRun::pass()
{
    m_fullURL = runrules::composeURL(m_urlPrefix, m_numberText, m_urlSuffix);
    m_view.addMsg(QStringLiteral("Opening :") + m_fullURL);

    // The transfer forgets the previous answer first, so a failed or cancelled transfer leaves
    // no header and no bytes that could be saved under this pass's name.
    const QByteArray received = m_inet.OpenURL(m_fullURL, 1);

    if (checkContentType()) {
        FileSystemObject fso;
        QString fileName = localFileName();
        bool exists = false;
        try {
            exists = fso.FileExists(fileName);
        } catch (const FileError &) {
        }
        if (exists) {
            const QString answer = m_view.askNewName(QStringLiteral("File Exists. Enter a new Name"),
                                                     fileName);
            fileName = runrules::inFolder(m_settings.localFolder, answer + m_urlSuffix);
        }
        bool saved = false;
        try {
            fso.WriteBinaryFile(fileName, received);
            saved = true;
        } catch (const FileError &e) {
            ++m_saveFailures;
            m_lastSaveFailure = e.message();
            m_view.addMsg(QStringLiteral("Not saved: ") + e.message());
        }
        if (saved)
            m_view.showPicture(fileName);
    } else {
        m_view.showPicture(m_defaultPicture);
    }

    const std::optional<QString> next = runrules::nextNumber(m_fileNumber, m_numberWidth);
    if (!next)
        return false;
    m_view.setNumberText(*next);
    m_numberText = m_view.numberText();
    return true;
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

void DownloadRun::endReport(qint32 passNumber)
{
    QString message;
    if (!m_settings.multipleDownloads)
        message = QStringLiteral("Downloading Stopped because Multiple Download Option is OFF");
    else if (m_settings.stopRequested)
        message = QStringLiteral("User Terminated Download Process");
    else if (passNumber == qint32(m_settings.lastFile) + 1)
        message = QStringLiteral("Completed downloading maximum number if files (")
                + QString::number(passNumber - 1) + QLatin1Char(')');
    else
        message = QStringLiteral("Downloading Completed because of unknown error");

    // A run that could not save some of its pictures must not read as a plain success.
    if (m_saveFailures > 0)
        message += QStringLiteral(" - %1 file(s) not saved: %2").arg(m_saveFailures).arg(m_lastSaveFailure);
    if (!m_historyFailure.isEmpty())
        message += QStringLiteral(" - the address was not added to the history: ") + m_historyFailure;
    m_view.addMsg(message);
}
