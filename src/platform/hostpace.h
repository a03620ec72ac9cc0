#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

/// Each host's pace: how many transfers go to it at once, and when its next request may start.
/// Times are ms on the engine's clock; a host is named by scheme, host and port. A fixed pace
/// keeps its number; the automatic one is found per host, as a browser's: it starts at
/// autoStart and grows, while the time per picture falls, up to autoConnections connections
/// on HTTP/1.1 or autoStreams streams on one HTTP/2 connection.
class HostPace
{
public:
    static constexpr int automatic = 0;
    static constexpr int autoStart = 4;
    static constexpr int autoConnections = 6;
    static constexpr int autoStreams = 16;
    /// A transfer of a host held down to one that has heard nothing for this long does not
    /// count against the one.
    static constexpr int silentMs = 1000;

    /// Forgets every host; from now on perHost transfers at once (automatic: found per host),
    /// pauseMs between request starts.
    void reset(int perHost, int pauseMs);
    int perHost() const { return m_perHost; }
    /// The most connections one host may get.
    int connectionsPerHost() const { return m_perHost == automatic ? autoConnections : m_perHost; }

    /// When a request to host may start, not before notBefore; -1 while the host has as many
    /// transfers in flight as it may (one that ends makes room). silent of them have heard
    /// nothing for silentMs.
    qint64 due(const QString &host, qint64 notBefore, int silent = 0);
    /// True while a busy answer holds the host down to one transfer at a time.
    bool heldDown(const QString &host) const;
    void started(const QString &host, qint64 now);
    void ended(const QString &host);
    /// The host said it is busy: nothing more to it for waitMs from now, then one transfer at a
    /// time. Gives how long, in total, the host has held its transfers back so far.
    qint64 hold(const QString &host, qint64 now, qint64 waitMs);
    /// Busy answers from the host since it last answered otherwise.
    int busyInRow(const QString &key) { return host(key).busyInRow; }
    /// The host answered at now, over HTTP/2 when multiplexed: after a busy answer it may take
    /// one more transfer at once again, up to its pace; the automatic pace measures and grows.
    void answered(const QString &host, qint64 now, bool multiplexed);
    /// How many transfers the host may take at once now (one it was not asked for yet: where
    /// its pace starts).
    int limit(const QString &host) const;
    /// The pace a host was given, as "6 connections, HTTP/1.1" or "16 streams, HTTP/2"; "" for a
    /// host not asked for.
    QString describe(const QString &host) const;

private:
    struct Host
    {
        int inFlight = 0;
        int limit = 1;           // transfers at once
        qint64 heldUntil = 0;    // no request starts before this
        qint64 lastStart = -1;   // when the last request to it started
        bool busy = false;       // since a busy answer, regrowing from one
        bool everBusy = false;
        bool multiplexed = false;
        int pace = 1;            // what the limit returns to after a busy answer
        int most = 1;            // what the automatic pace may grow to
        bool settled = true;     // the pace grows no more
        // The time per picture at the limit being tried: answers since epochStart.
        qint64 epochStart = -1;
        int epochAnswers = 0;
        double lastPerPicture = 0;   // at pace, the limit tried before
        qint64 heldMs = 0;       // how long it held its transfers back, in total
        int busyInRow = 0;
    };
    Host &host(const QString &key);

    QHash<QString, Host> m_hosts;
    int m_perHost = automatic;
    int m_pauseMs = 0;
};
