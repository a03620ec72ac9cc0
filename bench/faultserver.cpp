#include "faultserver.h"

#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {

constexpr int burstMs = 800;
constexpr int retryAfterMs = 1000;   // what every busy answer asks for
constexpr int stallMs = 3000;
constexpr char requestEnd[] = "\r\n\r\n";

QByteArray head(int status, const char *reason, const QList<QByteArray> &fields)
{
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    for (const QByteArray &f : fields)
        bytes += f + "\r\n";
    return bytes + "\r\n";
}

QByteArray busy(int status, const char *reason)
{
    const QByteArray body = QByteArray(reason) + "\n";
    return head(status, reason, {"Content-Type: text/plain", "Retry-After: 1",
                                 "Content-Length: " + QByteArray::number(body.size())})
         + body;
}

// The picture number in a path such as /small/pic0042.jpg; 0 when there is none.
int numberOf(const QByteArray &path)
{
    static const QRegularExpression digits(QStringLiteral("(\\d+)\\.jpg$"));
    const QRegularExpressionMatch m = digits.match(QString::fromLatin1(path));
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

} // namespace

FaultServer::Fault FaultServer::faultOf(int n)
{
    if (n > 0 && n % 5 == 0)
        return Fault(ResetHalfway + (n / 5) % 6);
    if (n % 20 == 3)
        return ResetAt90;
    return None;
}

quint16 FaultServer::listen()
{
    connect(&m_server, &QTcpServer::newConnection, this, &FaultServer::accept);
    return m_server.listen(QHostAddress::LocalHost, 0) ? m_server.serverPort() : 0;
}

void FaultServer::reset()
{
    m_asked.clear();
    m_burst.invalidate();
    m_busy.invalidate();
    m_clock.start();
    m_heldUntil = 0;
    m_heldMs = 0;
    m_whileHeld = 0;
    m_mostOpen = m_open;
    m_requests = 0;
    m_faults = 0;
    m_ranges = 0;
}

void FaultServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        m_mostOpen = qMax(m_mostOpen.load(), ++m_open);
        connect(socket, &QTcpSocket::disconnected, this, [this] { --m_open; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
    }
}

// Answers every whole request that has come in on the connection, one after another.
void FaultServer::serve(QTcpSocket *socket)
{
    QByteArray buffer = socket->property("pending").toByteArray() + socket->readAll();
    if (socket->property("closing").toBool()) {
        socket->setProperty("pending", buffer);   // after the answer held back
        return;
    }
    for (qsizetype end; (end = buffer.indexOf(requestEnd)) >= 0;) {
        const QByteArray request = buffer.left(end);
        buffer.remove(0, end + 4);
        answer(socket, request);
        if (socket->state() != QAbstractSocket::ConnectedState || socket->property("closing").toBool())
            return;
    }
    socket->setProperty("pending", buffer);
}

void FaultServer::answer(QTcpSocket *socket, const QByteArray &request)
{
    ++m_requests;
    const QList<QByteArray> lines = request.split('\n');
    const QByteArray path = lines.value(0).split(' ').value(1);
    qint64 rangeFrom = -1;
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith("range:")) {
            const QByteArray asked = line.mid(6).trimmed();
            if (asked.startsWith("bytes=") && asked.endsWith('-'))
                rangeFrom = asked.mid(6, asked.size() - 7).toLongLong();
        }
    }

    // A request answered 429 in a burst counts as a request for its picture all the same.
    const int asked = m_asked[path]++;
    if (m_busy.isValid() && m_busy.elapsed() < retryAfterMs)
        ++m_whileHeld;
    if (m_burst.isValid() && m_burst.elapsed() < burstMs) {
        askedToWait();
        if (qEnvironmentVariableIsSet("SERIOBENCH_TRACE"))
            qDebug("%lld %s burst", qint64(m_burst.elapsed()), path.constData());
        ++m_faults;
        socket->write(busy(429, "Too Many Requests"));
        return;
    }
    QFile file(m_folder + QString::fromLatin1(path));
    if (path.contains("..") || !file.open(QIODevice::ReadOnly)) {
        socket->write(head(404, "Not Found", {"Content-Length: 0"}));
        return;
    }
    const QByteArray body = file.readAll();
    const Fault fault = asked == 0 ? faultOf(numberOf(path)) : None;
    if (qEnvironmentVariableIsSet("SERIOBENCH_TRACE"))
        qDebug("%lld %s try %d fault %d range %lld", m_clock.isValid() ? qint64(m_clock.elapsed()) : qint64(-1),
               path.constData(), asked + 1, int(fault), rangeFrom);
    if (fault != None)
        ++m_faults;
    const QByteArray etag = "ETag: \"" + QByteArray::number(qHash(body), 16) + '"';
    const QByteArray whole = head(200, "OK", {"Content-Type: image/jpeg", "Accept-Ranges: bytes", etag,
                                              "Content-Length: " + QByteArray::number(body.size())});
    switch (fault) {
    case ResetHalfway:
        socket->write(whole + body.left(body.size() / 2));
        resetSoon(socket);
        return;
    case ResetAt90:
        socket->write(whole + body.left(body.size() * 9 / 10));
        resetSoon(socket);
        return;
    case EmptyReply:
        socket->setProperty("closing", true);
        socket->disconnectFromHost();
        return;
    case ShortBody:
        socket->write(whole + body.left(body.size() * 6 / 10));
        socket->setProperty("closing", true);
        socket->disconnectFromHost();
        return;
    case Busy503:
        askedToWait();
        socket->write(busy(503, "Service Unavailable"));
        return;
    case Burst429:
        m_burst.start();
        askedToWait();
        socket->write(busy(429, "Too Many Requests"));
        return;
    case Stall: {
        // The connection is held; what follows on it waits, as on a real server.
        socket->setProperty("closing", true);
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(stallMs, this, [this, guard, whole, body] {
            if (!guard)
                return;
            guard->write(whole + body);
            guard->setProperty("closing", false);
            serve(guard);
        });
        return;
    }
    case None:
    case FaultKinds:
        break;
    }
    if (rangeFrom > 0 && rangeFrom < body.size()) {
        ++m_ranges;
        socket->write(head(206, "Partial Content",
                           {"Content-Type: image/jpeg", "Accept-Ranges: bytes", etag,
                            "Content-Range: bytes " + QByteArray::number(rangeFrom) + '-'
                                + QByteArray::number(body.size() - 1) + '/' + QByteArray::number(body.size()),
                            "Content-Length: " + QByteArray::number(body.size() - rangeFrom)})
                      + body.mid(rangeFrom));
        return;
    }
    socket->write(whole + body);
}

void FaultServer::askedToWait()
{
    m_busy.start();
    const qint64 now = m_clock.elapsed();
    m_heldMs += now + retryAfterMs - qMax(now, m_heldUntil);
    m_heldUntil = now + retryAfterMs;
}

// The bytes written reach the client first; then the connection is reset, not closed.
void FaultServer::resetSoon(QTcpSocket *socket)
{
    socket->setProperty("closing", true);
    socket->flush();
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(20, this, [guard] {
        if (!guard)
            return;
        const linger hard{1, 0};
        ::setsockopt(int(guard->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        guard->abort();
    });
}
