#include "scriptedserver.h"

#include <QHostAddress>
#include <QPointer>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 206: return "Partial Content";
    case 408: return "Request Timeout";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

bool hasHeader(const HeaderList &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// Closing with a zero linger time makes the kernel send RST instead of FIN. The bytes written
// are given time to arrive first, so the reset really falls after them.
void resetSoon(QTcpSocket *socket)
{
    socket->flush();
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(100, socket, [guarded] {
        if (!guarded)
            return;
        if (const qintptr fd = guarded->socketDescriptor(); fd != -1) {
            linger hard{1, 0};
            ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        guarded->abort();
    });
}

} // namespace

Response Response::ok(const QByteArray &body, const QByteArray &contentType)
{
    Response response;
    response.body = body;
    if (!contentType.isNull())
        response.header("Content-Type", contentType);
    return response;
}

Response Response::page(int status, const QByteArray &html)
{
    Response response = ok(html, "text/html");
    response.status = status;
    return response;
}

Response Response::redirect(int status, const QByteArray &location)
{
    Response response = page(status, "<html><body>moved</body></html>");
    response.header("Location", location);
    return response;
}

QByteArray ReceivedRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

ScriptedServer::ScriptedServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedServer::accept);
    m_clock.start();
    m_server.listen(QHostAddress::LocalHost, 0);
}

ScriptedServer::~ScriptedServer()
{
    const auto sockets = m_connections.keys();
    for (QTcpSocket *socket : sockets)
        socket->abort();
}

QString ScriptedServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void ScriptedServer::route(const QString &path, const Response &response)
{
    m_routes.insert(path, response);
}

void ScriptedServer::routeInTurn(const QString &path, const QList<Response> &responses)
{
    m_turns.insert(path, responses);
}

void ScriptedServer::routeSeries(const QList<int> &numbers, bool held)
{
    for (const int n : numbers) {
        Response picture = Response::ok("picture " + QByteArray::number(n), "image/jpeg");
        picture.held = held;
        route(seriesPath(n), picture);
    }
}

QString ScriptedServer::seriesPath(int number)
{
    return QStringLiteral("/pic%1.jpg").arg(number, 2, 10, QLatin1Char('0'));
}

void ScriptedServer::release(const QString &path)
{
    for (const Held &held : m_held.take(path)) {
        if (held.socket)
            answer(held.socket, held.response, held.closeAfter);
    }
}

QStringList ScriptedServer::paths() const
{
    QStringList result;
    for (const ReceivedRequest &request : m_requests)
        result.append(QString::fromLatin1(request.path));
    return result;
}

void ScriptedServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        m_connections.insert(socket, Connection{++m_connectionCount, {}, false});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }
}

void ScriptedServer::readFrom(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->input.append(socket->readAll());
    if (it->answering)
        return;
    // A TLS hello gets what a plain web server sends it: an error page in the clear.
    if (it->input.startsWith('\x16')) {
        socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        it->input.clear();
        return;
    }
    const qsizetype headEnd = it->input.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;

    const QByteArray head = it->input.left(headEnd);
    it->input.remove(0, headEnd + 4);
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');

    ReceivedRequest request;
    request.connection = it->id;
    request.receivedMs = m_clock.elapsed();
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    request.path = request.target;
    if (request.path.startsWith("http://")) {
        const qsizetype slash = request.path.indexOf('/', 7);
        request.path = slash < 0 ? QByteArray("/") : request.path.mid(slash);
    }
    if (const qsizetype query = request.path.indexOf('?'); query >= 0)
        request.path.truncate(query);
    // A request body is never scripted; skip it so the next request parses.
    bool lengthOk = false;
    const qsizetype bodyLength = request.header("Content-Length").toLongLong(&lengthOk);
    if (lengthOk && bodyLength > 0)
        it->input.remove(0, qMin(bodyLength, it->input.size()));

    const bool closeAfter = request.header("Connection").compare("close", Qt::CaseInsensitive) == 0
        || (requestLine.value(2) == "HTTP/1.0"
            && request.header("Connection").compare("keep-alive", Qt::CaseInsensitive) != 0);
    m_requests.append(request);
    it->answering = true;

    const QString path = QString::fromLatin1(request.path);
    Response chosen = m_routes.value(path, Response::ok("no such path\n", "text/plain"));
    if (auto turn = m_turns.find(path); turn != m_turns.end() && !turn->isEmpty()) {
        chosen = turn->size() > 1 ? turn->takeFirst() : turn->first();
    } else if (!m_routes.contains(path)) {
        if (m_answerFor)
            chosen = m_answerFor(request);
        else if (m_hasOthers)
            chosen = m_others;
        else
            chosen.status = 404;
    }
    if (!m_refusedAgent.isEmpty() && request.header("User-Agent").startsWith(m_refusedAgent))
        chosen = Response::page(403, "<p>Forbidden</p>");
    const QByteArray range = request.header("Range");
    const QByteArray ifRange = request.header("If-Range");
    if (chosen.ranges && range.startsWith("bytes=") && range.endsWith('-')) {
        const qint64 from = range.mid(6, range.size() - 7).toLongLong();
        QByteArray etag;
        for (const auto &[name, value] : std::as_const(chosen.headers)) {
            if (name.compare("ETag", Qt::CaseInsensitive) == 0)
                etag = value;
        }
        if ((ifRange.isEmpty() || ifRange == etag) && from < chosen.body.size()) {
            const qint64 size = chosen.body.size();
            chosen.status = 206;
            chosen.header("Content-Range", "bytes " + QByteArray::number(from) + '-' + QByteArray::number(size - 1)
                                               + '/' + QByteArray::number(size));
            chosen.body = chosen.body.mid(from);
        }
    }

    QPointer<QTcpSocket> guarded(socket);
    if (chosen.held) {
        m_held[path].append(Held{guarded, chosen, closeAfter});
    } else {
        QTimer::singleShot(chosen.delayMs, socket, [this, guarded, chosen, closeAfter] {
            if (guarded)
                answer(guarded, chosen, closeAfter);
        });
    }
    emit received(path);
}

void ScriptedServer::answer(QTcpSocket *socket, const Response &response, bool closeAfter)
{
    if (response.closeWithoutAnswer) {
        socket->disconnectFromHost();
        return;
    }
    if (!response.raw.isNull()) {
        socket->write(response.raw);
        if (response.resetAfter >= 0)
            resetSoon(socket);
        else
            socket->disconnectFromHost();
        return;
    }

    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + reasonFor(response.status) + "\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    if (response.withoutLength || response.endless) {
        head += "Connection: close\r\n";
        closeAfter = true;
    } else if (!hasHeader(response.headers, "Content-Length")) {
        const qint64 length = response.declaredLength >= 0 ? response.declaredLength
                                                           : response.body.size();
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    head += "\r\n";
    socket->write(head);

    if (response.stallAfter >= 0) {
        socket->write(response.body.left(response.stallAfter));
        return; // held open until the client gives up
    }
    if (response.resetAfter >= 0) {
        socket->write(response.body.left(response.resetAfter));
        resetSoon(socket);
        return;
    }
    if (response.dripBytes > 0) {
        drip(socket, response.body, response, closeAfter);
        return;
    }
    if (response.endless) {
        pour(socket, response.body.isEmpty() ? QByteArray(64 * 1024, 'e') : response.body);
        return;
    }
    socket->write(response.body);
    finish(socket, closeAfter || response.declaredLength >= 0);
}

void ScriptedServer::drip(QTcpSocket *socket, QByteArray rest, const Response &response,
                          bool closeAfter)
{
    socket->write(rest.left(response.dripBytes));
    rest.remove(0, response.dripBytes);
    if (rest.isEmpty()) {
        finish(socket, closeAfter);
        return;
    }
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(response.dripIntervalMs, socket, [this, guarded, rest, response, closeAfter] {
        if (guarded)
            drip(guarded, rest, response, closeAfter);
    });
}

// Keeps a little queued for the client and tops it up as it drains, so the server itself
// holds only a bounded amount however long the client reads.
void ScriptedServer::pour(QTcpSocket *socket, const QByteArray &piece)
{
    auto topUp = [socket, piece] {
        while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < 4 * piece.size())
            socket->write(piece);
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, topUp);
    topUp();
}

void ScriptedServer::finish(QTcpSocket *socket, bool closeAfter)
{
    if (closeAfter) {
        socket->disconnectFromHost();
        return;
    }
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->answering = false;
    if (!it->input.isEmpty())
        readFrom(socket);
}
