#include "platform/hostpace.h"

void HostPace::reset(int perHost, int pauseMs)
{
    m_hosts.clear();
    m_perHost = qMax(1, perHost);
    m_pauseMs = qMax(0, pauseMs);
}

HostPace::Host &HostPace::host(const QString &key)
{
    auto found = m_hosts.find(key);
    if (found == m_hosts.end())
        found = m_hosts.insert(key, Host{0, m_perHost, 0, -1});
    return *found;
}

qint64 HostPace::due(const QString &key, qint64 notBefore)
{
    const Host &h = host(key);
    if (h.inFlight >= h.limit)
        return -1;
    qint64 at = qMax(notBefore, h.heldUntil);
    if (h.lastStart >= 0 && m_pauseMs > 0)
        at = qMax(at, h.lastStart + m_pauseMs);
    return at;
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

void HostPace::hold(const QString &key, qint64 until)
{
    Host &h = host(key);
    h.heldUntil = qMax(h.heldUntil, until);
    h.limit = 1;
}

void HostPace::answered(const QString &key)
{
    Host &h = host(key);
    h.limit = qMin(h.limit + 1, m_perHost);
}
