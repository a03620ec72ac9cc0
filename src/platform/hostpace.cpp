#include "platform/hostpace.h"

void HostPace::reset(int perHost, int pauseMs)
{
    m_hosts.clear();
    m_perHost = qMax(1, perHost);
    m_pauseMs = qMax(0, pauseMs);
}

HostPace::Host &HostPace::entry(const QString &key)
{
    auto found = m_hosts.find(key);
    if (found == m_hosts.end())
        found = m_hosts.insert(key, Host{0, m_perHost, 0, -1, 0, 0});
    return *found;
}

qint64 HostPace::due(const QString &key, qint64 notBefore)
{
    const Host &h = entry(key);
    if (h.inFlight >= h.limit)
        return -1;
    qint64 at = qMax(notBefore, h.heldUntil);
    if (h.lastStart >= 0 && m_pauseMs > 0)
        at = qMax(at, h.lastStart + m_pauseMs);
    return at;
}

void HostPace::started(const QString &key, qint64 now)
{
    Host &h = entry(key);
    ++h.inFlight;
    h.lastStart = now;
}

void HostPace::ended(const QString &key)
{
    --entry(key).inFlight;
}

qint64 HostPace::hold(const QString &key, qint64 now, qint64 waitMs)
{
    Host &h = entry(key);
    const qint64 until = qMax(h.heldUntil, now + waitMs);
    h.heldMs += until - qMax(h.heldUntil, now);
    h.heldUntil = until;
    h.limit = 1;
    ++h.busyInRow;
    return h.heldMs;
}

void HostPace::answered(const QString &key)
{
    Host &h = entry(key);
    h.limit = qMin(h.limit + 1, m_perHost);
    h.busyInRow = 0;
}
