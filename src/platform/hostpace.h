#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

/// Each host's pace: how many transfers go to it at once, and when its next request may start.
/// Times are ms on the engine's clock; a host is named by scheme, host and port.
class HostPace
{
public:
    /// Forgets every host; from now on perHost transfers at once, pauseMs between request starts.
    void reset(int perHost, int pauseMs);
    int perHost() const { return m_perHost; }

    /// When a request to host may start, not before notBefore; -1 while the host has as many
    /// transfers in flight as it may (one that ends makes room).
    qint64 due(const QString &host, qint64 notBefore);
    void started(const QString &host, qint64 now);
    void ended(const QString &host);
    /// The host said it is busy: nothing more to it before until, then one transfer at a time.
    void hold(const QString &host, qint64 until);
    /// The host answered: it may take one more transfer at once again, up to perHost.
    void answered(const QString &host);

private:
    struct Host
    {
        int inFlight = 0;
        int limit = 1;           // transfers at once; one after the host said it was busy
        qint64 heldUntil = 0;    // no request starts before this
        qint64 lastStart = -1;   // when the last request to it started
    };
    Host &host(const QString &key);

    QHash<QString, Host> m_hosts;
    int m_perHost = 4;
    int m_pauseMs = 0;
};
