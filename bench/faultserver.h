#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <atomic>

class QTcpSocket;

/// A picture server that fails now and then, as real ones do: it serves the files of one folder
/// over HTTP/1.1 with keep-alive, always offering Range (Accept-Ranges and an ETag), and the first
/// request for some pictures fails on purpose. Every later request for a picture is answered
/// whole, unless it falls into a burst of 429 answers. The faults, by picture number n:
///   n % 5 == 0, by (n / 5) % 6: 0 a reset halfway through the body, 1 an empty reply, 2 a stall
///     of 3 s before the answer, 3 a body shorter than its Content-Length, 4 a 503 with
///     Retry-After: 1, 5 a burst of 429 with Retry-After: 1 for every request in the next 800 ms
///     (a stall comes long after a burst, so a 429 does not take its place);
///   n % 20 == 3: a reset after 90 % of the body (the answer offered Range, so a client may
///     resume it).
/// Runs on a thread of its own, since the benchmark blocks its own thread while curl runs.
class FaultServer : public QObject
{
public:
    enum Fault { None, ResetHalfway, EmptyReply, Stall, ShortBody, Busy503, Burst429, ResetAt90, FaultKinds };

    explicit FaultServer(const QString &folder) : m_folder(folder) {}

    /// The fault of the first request for picture number n.
    static Fault faultOf(int n);
    /// Listens on 127.0.0.1; the port, or 0.
    quint16 listen();
    /// Forgets which pictures were asked for: the next run meets every fault again.
    void reset();

    // What the last run met; read between runs.
    int requests() const { return m_requests; }
    int faults() const { return m_faults; }
    int rangeRequests() const { return m_ranges; }
    /// Requests that came within the wait the last 429 or 503 answer asked for.
    int requestsWhileHeld() const { return m_whileHeld; }
    /// The time the busy answers asked a client to wait, overlaps counted once.
    qint64 heldMs() const { return m_heldMs; }
    /// The most connections open at once.
    int mostOpen() const { return m_mostOpen; }

private:
    void accept();
    void serve(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QByteArray &request);
    void resetSoon(QTcpSocket *socket);
    void askedToWait();

    QString m_folder;
    QTcpServer m_server{this};
    QHash<QByteArray, int> m_asked;   // requests per path in this run
    QElapsedTimer m_burst;            // since the burst of 429 began; invalid: none
    QElapsedTimer m_busy;             // since the last 429 or 503 answer; invalid: none
    QElapsedTimer m_clock;
    qint64 m_heldUntil = 0;           // on m_clock, the end of the wait asked for last
    std::atomic<qint64> m_heldMs{0};
    std::atomic<int> m_requests{0};
    std::atomic<int> m_faults{0};
    std::atomic<int> m_ranges{0};
    std::atomic<int> m_whileHeld{0};
    int m_open = 0;
    std::atomic<int> m_mostOpen{0};
};
