#include "core/seriesqueue.h"

#include "platform/filesystem.h"
#include "platform/text.h"

#include <QDateTime>
#include <QScopeGuard>

namespace {

QString addressOf(const QString &line)
{
    const QString address = line.trimmed();
    return address.startsWith(QLatin1Char('#')) ? QString() : address;
}

} // namespace

QString runLogHeader(const QString &position, const QString &firstAddress, const QString &folder)
{
    return QStringLiteral("== %1  %2%3  into %4")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                 position.isEmpty() ? QString() : position + QStringLiteral(": "), firstAddress, folder);
}

QStringList SeriesQueue::addressesIn(const QString &text)
{
    QStringList addresses;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (const QString address = addressOf(line); !address.isEmpty())
            addresses << address;
    }
    return addresses;
}

QStringList SeriesQueue::readList(const QString &path)
{
    FileSystemObject fso;
    auto in = fso.OpenTextFile(path, FileSystemObject::IoMode::ForReading, false);
    QStringList addresses;
    while (!in->AtEndOfStream()) {
        if (const QString address = addressOf(in->ReadLine()); !address.isEmpty())
            addresses << address;
    }
    in->Close();
    return addresses;
}

QString SeriesQueue::stateText(State state)
{
    switch (state) {
    case State::Waiting:
        return QStringLiteral("waiting");
    case State::Running:
        return QStringLiteral("running");
    case State::Ended:
        return QStringLiteral("ended");
    case State::Stopped:
        return QStringLiteral("stopped");
    case State::Failed:
        break;
    }
    return QStringLiteral("failed");
}

qsizetype SeriesQueue::indexOf(int id) const
{
    for (qsizetype i = 0; i < m_series.size(); ++i) {
        if (m_series[i].id == id)
            return i;
    }
    return -1;
}

int SeriesQueue::append(const QString &address, qsizetype at)
{
    Series s;
    s.id = m_nextId++;
    s.address = address;
    m_series.insert(at, s);
    return s.id;
}

void SeriesQueue::add(const QStringList &addresses)
{
    for (const QString &address : addresses)
        append(address, m_series.size());
    if (!addresses.isEmpty())
        emit changed();
}

void SeriesQueue::remove(qsizetype index)
{
    if (index < 0 || index >= m_series.size() || m_series[index].id == m_runningId)
        return;
    if (m_series[index].id == m_fieldsId)
        m_fieldsId = -1;
    m_series.removeAt(index);
    emit changed();
}

void SeriesQueue::move(qsizetype index, int by)
{
    const qsizetype to = index + by;
    if (index < 0 || index >= m_series.size() || to < 0 || to >= m_series.size())
        return;
    m_series.move(index, to);
    emit changed();
}

void SeriesQueue::clearDone()
{
    const qsizetype removed = m_series.removeIf([](const Series &s) {
        return s.state != State::Waiting && s.state != State::Running;
    });
    if (indexOf(m_fieldsId) < 0)
        m_fieldsId = -1;
    if (removed > 0)
        emit changed();
}

void SeriesQueue::fieldsEdited()
{
    const qsizetype fields = indexOf(m_fieldsId);
    if (fields < 0 || m_series[fields].state != State::Waiting)
        m_fieldsId = -1;
}

bool SeriesQueue::hasWaiting() const
{
    for (const Series &s : m_series) {
        if (s.state == State::Waiting)
            return true;
    }
    return false;
}

qsizetype SeriesQueue::waitingBesideFields() const
{
    qsizetype waiting = 0;
    for (const Series &s : m_series)
        waiting += s.state == State::Waiting && s.id != m_fieldsId ? 1 : 0;
    return waiting;
}

QString SeriesQueue::position() const
{
    if (!m_running)
        return QString();
    qsizetype total = m_done + 1;
    for (const Series &s : m_series)
        total += s.state == State::Waiting ? 1 : 0;
    return total > 1 ? QStringLiteral("Series %1 of %2").arg(m_done + 1).arg(total) : QString();
}

SeriesQueue::Result SeriesQueue::run(DownloadRun &run, RunView &view,
                                     const std::function<void(const runrules::AddressParts &)> &putInFields,
                                     bool fieldsFirst)
{
    Result result;
    if (m_running || run.isRunning())
        return result;
    auto tally = [&result](const DownloadRun::End &end) {
        ++result.series;
        result.saved += end.saved;
        switch (end.ending) {
        case DownloadRun::Ending::Maximum:
        case DownloadRun::Ending::SeriesEnd:
            ++result.ended;
            return State::Ended;
        case DownloadRun::Ending::Stopped:
            ++result.stopped;
            return State::Stopped;
        case DownloadRun::Ending::FolderFailed:
            result.folderFailed = true;
            break;
        case DownloadRun::Ending::Failed:
        case DownloadRun::Ending::NotStarted:
            break;
        }
        ++result.failed;
        return State::Failed;
    };
    // With nothing else waiting, Get goes on with the listed series the fields hold.
    if (const qsizetype tied = indexOf(m_fieldsId); fieldsFirst && tied >= 0 && !hasWaiting())
        m_series[tied].state = State::Waiting;
    if (!hasWaiting()) {
        if (fieldsFirst) {
            run.run();
            tally(run.lastEnd());
        }
        return result;
    }

    m_running = true;
    m_held = false;
    m_done = 0;
    const auto done = qScopeGuard([this] {
        // A series whose run was left by a failure of the program's own is not left running.
        if (const qsizetype running = indexOf(m_runningId); running >= 0)
            m_series[running].state = State::Failed;
        m_running = false;
        m_runningId = -1;
        emit changed();
    });
    // The fields' series goes first: one of their own, listed now, or a waiting one of the
    // queue's, as the user may have changed its number.
    int first = -1;
    const qsizetype fields = indexOf(m_fieldsId);
    if (fields >= 0 && m_series[fields].state == State::Waiting)
        first = m_fieldsId;
    else if (fieldsFirst && fields < 0 && !text::spaceTrimmed(view.prefixText()).isEmpty())
        first = m_fieldsId = append(runrules::composeURL(view.prefixText(), view.numberText(), view.suffixText()), 0);

    while (!m_held) {
        int id = first;
        if (id < 0) {
            for (const Series &s : std::as_const(m_series)) {
                if (s.state == State::Waiting) {
                    id = s.id;
                    break;
                }
            }
            if (id < 0)
                break;
            putInFields(runrules::splitAddress(m_series[indexOf(id)].address));
            m_fieldsId = id;
        }
        first = -1;
        m_series[indexOf(id)].state = State::Running;
        m_runningId = id;
        emit changed();

        run.run();

        // The list may have been reordered meanwhile, but the running series stays in it.
        Series &ran = m_series[indexOf(id)];
        ran.report = run.lastEnd().report;
        ran.state = tally(run.lastEnd());
        if (ran.state == State::Stopped) {
            // Where it goes on: the number the fields hold now.
            ran.address = runrules::composeURL(view.prefixText(), view.numberText(), view.suffixText());
            m_held = true;
        }
        m_runningId = -1;
        ++m_done;
        emit changed();
        if (result.folderFailed)
            break;
    }
    for (const Series &s : std::as_const(m_series))
        result.waiting += s.state == State::Waiting ? 1 : 0;
    if (result.series > 1 || result.waiting > 0)
        result.report = queueReport(result);
    return result;
}

QString SeriesQueue::queueReport(const Result &result) const
{
    QString report = QStringLiteral("%1 series: %2 ended with their series").arg(result.series).arg(result.ended);
    if (result.stopped > 0)
        report += QStringLiteral(", %1 stopped").arg(result.stopped);
    if (result.failed > 0)
        report += QStringLiteral(", %1 failed").arg(result.failed);
    report += QStringLiteral(" - %1 saved").arg(result.saved);
    if (result.waiting > 0)
        report += QStringLiteral(" - %1 still waiting").arg(result.waiting);
    if (result.folderFailed)
        report += QStringLiteral(" - the queue ended: the folder cannot be written");
    return report;
}

void SeriesQueue::save(const QString &path) const
{
    FileSystemObject().RewriteTextFile(path, [this](TextStream &out) {
        out.WriteLine(QStringLiteral("# Seriograb: the series still to fetch, one address a line"));
        for (const Series &s : m_series) {
            if (s.state == State::Waiting || s.state == State::Running || s.state == State::Stopped)
                out.WriteLine(s.address);
        }
    });
}

void SeriesQueue::load(const QString &path)
{
    if (FileSystemObject().FileExists(path))
        add(readList(path));
}
