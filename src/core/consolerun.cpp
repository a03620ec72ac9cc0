#include "core/consolerun.h"

#include "core/downloadrun.h"
#include "core/seriesqueue.h"
#include "core/storedsettings.h"
#include "platform/filesystem.h"
#include "platform/inet.h"

#include <QDir>
#include <QLocale>
#include <QScopeGuard>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The signal handler only writes the signal's number into this pipe; the event loop reads it.
int signalPipe[2] = {-1, -1};

extern "C" void onSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// Ctrl+C (and a polite kill) stop the run as Stop does, heard through the pipe; a second one ends
// the program at once. The handlers are put back however the run ends.
class SignalPipe
{
public:
    SignalPipe()
    {
        if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        // No SA_RESTART: a prompt waiting on the terminal is interrupted too.
        action.sa_flags = SA_RESETHAND;
        sigaction(SIGINT, &action, &m_oldInt);
        sigaction(SIGTERM, &action, &m_oldTerm);
    }
    ~SignalPipe()
    {
        if (signalPipe[0] < 0)
            return;
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
    SignalPipe(const SignalPipe &) = delete;
    SignalPipe &operator=(const SignalPipe &) = delete;

    int readFd() const { return signalPipe[0]; }
    /// The first signal come so far, or 0.
    int take()
    {
        char byte = 0;
        while (signalPipe[0] >= 0 && ::read(signalPipe[0], &byte, 1) == 1) {
            if (m_signal == 0)
                m_signal = byte;
        }
        return m_signal;
    }

private:
    struct sigaction m_oldInt = {};
    struct sigaction m_oldTerm = {};
    int m_signal = 0;
};

} // namespace

int ConsoleRun::exec(const ConsoleRequest &request, const ProgramPlace &place)
{
    // The settings file's values, with the command line's put over them, in a copy of their own.
    Settings settings;
    for (const QString &problem : readSettings(place, settings, Missing::LeaveAlone))
        print(stderr, QStringLiteral("seriograb: %1\n").arg(problem));
    // Without a keyring (a job outside the desktop's session) the proxy says that it wants it.
    if (const QString problem = readProxyPassword(settings); !problem.isEmpty())
        print(stderr, QStringLiteral("seriograb: %1\n").arg(problem));
    if (request.folder) {
        // As a shell's tools do with a target folder: made when missing. One that cannot be
        // made ends the first series, which says why.
        settings.localFolder = *request.folder;
        QDir().mkpath(folderPath(settings.localFolder));
    }
    if (request.header)
        settings.headerText = *request.header;
    if (request.max)
        settings.lastFile = *request.max == 0 ? qint16(9999) : *request.max;
    if (request.ifExists)
        settings.ifExists = *request.ifExists;
    if (request.keep)
        settings.keep = *request.keep;
    if (settings.ifExists == Settings::IfExists::Ask && !::isatty(STDIN_FILENO)) {
        print(stderr, QStringLiteral("seriograb: a file that exists cannot be asked about without a terminal: "
                                     "give --if-exists skip or --if-exists number\n"));
        return Usage;
    }

    SeriesQueue queue;
    queue.add(request.addresses);
    ConsoleRun view(queue);
    Inet inet;
    DownloadRun run(settings, inet, view, place.dataFile(QStringLiteral("default.gif")));
    SignalPipe interrupts;
    QSocketNotifier notifier(interrupts.readFd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [&] {
        interrupts.take();
        queue.hold();
        run.stop();
    });
    const SeriesQueue::Result result = queue.run(
            run, view,
            [&view](const runrules::AddressParts &parts) {
                view.m_prefix = parts.prefix;
                view.m_number = parts.number;
                view.m_suffix = parts.suffix;
            },
            false);
    if (!result.report.isEmpty())
        view.line(QStringLiteral("== ") + result.report);
    if (const int signal = interrupts.take(); signal != 0)
        return 128 + signal;
    return result.failed > 0 ? Failed : Done;
}

ConsoleRun::ConsoleRun(const SeriesQueue &queue) : m_queue(queue) {}

ConsoleRun::~ConsoleRun()
{
    clearProgress();
}

// A line of standard output; the progress line makes way for it and comes back with the next news.
void ConsoleRun::line(const QString &text)
{
    clearProgress();
    print(stdout, text + QLatin1Char('\n'));
}

void ConsoleRun::setNumberText(const QString &text)
{
    m_number = text;
    showProgress();
}

// Outside a run, a message says why a series did not start; inside, the lines say it all.
void ConsoleRun::addMsg(const QString &message)
{
    if (!m_active)
        line(message);
}

bool ConsoleRun::showPicture(const QString &path)
{
    Q_UNUSED(path)
    return true;
}

// Only asked on a terminal: without one a run never asks.
QString ConsoleRun::askNewName(const QString &message, const QString &title)
{
    clearProgress();
    print(stderr, QStringLiteral("%1: %2 (empty: skip it): ").arg(message, title));
    char answer[4096];
    if (!std::fgets(answer, sizeof answer, stdin))
        return QString();
    return QString::fromLocal8Bit(answer).trimmed();
}

void ConsoleRun::runActive(bool active)
{
    m_active = active;
    if (!active)
        clearProgress();
}

void ConsoleRun::runStarted(const QString &firstAddress, const QString &folder)
{
    m_saved = 0;
    m_received = m_bytes = 0;
    m_clock.start();
    line(runLogHeader(m_queue.position(), firstAddress, folder));
}

void ConsoleRun::runEnded(const QString &report)
{
    line(QStringLiteral("== ") + report);
}

void ConsoleRun::transferProgress(qint64 received, qint64 total)
{
    Q_UNUSED(total)
    if (received < m_received)
        m_bytes += m_received;   // the next transfer has begun
    m_received = received;
    showProgress();
}

void ConsoleRun::savedCount(int saved)
{
    m_saved = saved;
    showProgress();
}

void ConsoleRun::logPass(const QString &text)
{
    line(text);
}

// At most ten times a second, and only on a terminal: a log file gets the lines alone.
void ConsoleRun::showProgress()
{
    if (!m_active || !::isatty(STDERR_FILENO) || (m_sinceDrawn.isValid() && m_sinceDrawn.elapsed() < 100))
        return;
    m_sinceDrawn.start();
    const qint64 bytes = m_bytes + m_received;
    const double seconds = qMax<qint64>(1, m_clock.elapsed()) / 1000.0;
    const QLocale c = QLocale::c();
    QString text = QStringLiteral("number %1, %2 saved, %3, %4/s")
                           .arg(m_number)
                           .arg(m_saved)
                           .arg(c.formattedDataSize(bytes), c.formattedDataSize(qint64(double(bytes) / seconds)));
    if (const QString position = m_queue.position(); !position.isEmpty())
        text = position + QStringLiteral(": ") + text;
    print(stderr, QStringLiteral("\r\033[K") + text);
    m_progressShown = true;
}

void ConsoleRun::clearProgress()
{
    if (!m_progressShown)
        return;
    print(stderr, QStringLiteral("\r\033[K"));
    m_progressShown = false;
    m_sinceDrawn.invalidate();
}
