#include "platform/hostpace.h"

namespace {

// A larger pace is kept only when it cuts the time per picture by this much: less is noise.
constexpr double worthGrowing = 0.95;

} // namespace

void HostPace::reset(int perHost, int pauseMs)
{
    m_hosts.clear();
    m_perHost = qMax(automatic, perHost);
    m_pauseMs = qMax(0, pauseMs);
}

HostPace::Host &HostPace::host(const QString &key)
{
    auto found = m_hosts.find(key);
    if (found == m_hosts.end()) {
        Host h;
        const bool grows = m_perHost == automatic;
        h.limit = h.pace = grows ? autoStart : m_perHost;
        h.most = grows ? autoConnections : m_perHost;
        h.settled = !grows;
        found = m_hosts.insert(key, h);
    }
    return *found;
}

qint64 HostPace::due(const QString &key, qint64 notBefore, int silent)
{
    const Host &h = host(key);
    const int counted = h.inFlight - (heldDown(key) ? silent : 0);
    if (counted >= h.limit)
        return -1;
    qint64 at = qMax(notBefore, h.heldUntil);
    if (h.lastStart >= 0 && m_pauseMs > 0)
        at = qMax(at, h.lastStart + m_pauseMs);
    return at;
}

bool HostPace::heldDown(const QString &key) const
{
    const auto found = m_hosts.constFind(key);
    return found != m_hosts.cend() && found->busy && found->limit == 1;
}

void HostPace::started(const QString &key, qint64 now)
{
    Host &h = host(key);
    ++h.inFlight;
    h.lastStart = now;
}

void HostPace::ended(const QString &key)
{
    --host(key).inFlight;
}

qint64 HostPace::hold(const QString &key, qint64 now, qint64 waitMs)
{
    Host &h = host(key);
    const qint64 until = qMax(h.heldUntil, now + waitMs);
    h.heldMs += until - qMax(h.heldUntil, now);
    h.heldUntil = until;
    h.limit = 1;
    ++h.busyInRow;
    h.busy = h.everBusy = true;
    // A host that said it is busy is not pushed harder afterwards.
    h.settled = true;
    return h.heldMs;
}

void HostPace::answered(const QString &key, qint64 now, bool multiplexed)
{
    Host &h = host(key);
    h.busyInRow = 0;
    if (multiplexed && !h.multiplexed) {
        h.multiplexed = true;
        if (m_perHost == automatic)
            h.most = autoStreams;
    }
    if (h.busy) {
        h.limit = qMin(h.limit + 1, h.pace);
        h.busy = h.limit < h.pace;
        return;
    }
    if (h.settled)
        return;
    // The time per picture at a limit is taken over twice as many answers as it lets run at
    // once, from the answer before the first of them.
    if (h.epochStart < 0 || ++h.epochAnswers < 2 * h.limit) {
        if (h.epochStart < 0)
            h.epochStart = now;
        return;
    }
    const double perPicture = double(now - h.epochStart) / h.epochAnswers;
    h.epochStart = now;
    h.epochAnswers = 0;
    if (h.limit > h.pace && !(perPicture < h.lastPerPicture * worthGrowing)) {
        // No faster than the pace before: back to it, for good.
        h.limit = h.pace;
        h.settled = true;
        return;
    }
    h.pace = h.limit;
    h.lastPerPicture = perPicture;
    if (h.limit >= h.most) {
        h.settled = true;
        return;
    }
    h.limit = h.multiplexed ? qMin(h.limit * 2, h.most) : h.limit + 1;
}

int HostPace::limit(const QString &key) const
{
    const auto found = m_hosts.constFind(key);
    if (found != m_hosts.cend())
        return found->limit;
    return m_perHost == automatic ? autoStart : m_perHost;
}

QString HostPace::describe(const QString &key) const
{
    const auto found = m_hosts.constFind(key);
    if (found == m_hosts.cend())
        return QString();
    const Host &h = *found;
    QString text = h.multiplexed
        ? QStringLiteral("%1 %2, HTTP/2").arg(h.pace).arg(h.pace == 1 ? QStringLiteral("stream") : QStringLiteral("streams"))
        : QStringLiteral("%1 %2, HTTP/1.1").arg(h.pace).arg(h.pace == 1 ? QStringLiteral("connection") : QStringLiteral("connections"));
    if (h.everBusy)
        text += QStringLiteral("; one at a time after the server said it was busy");
    return text;
}
