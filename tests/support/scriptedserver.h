#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

/// One scripted answer of ScriptedServer: what it sends for a path, and how.
struct Response
{
    int status = 200;
    HeaderList headers;           // sent in this order, exactly as given
    QByteArray body;
    int delayMs = 0;              // wait this long before sending anything
    qint64 declaredLength = -1;   // Content-Length to claim; -1 gives the body's true length
    bool withoutLength = false;   // no Content-Length: the body ends when the connection closes
    qint64 stallAfter = -1;       // send the head and this many body bytes, then hold the line
    qint64 resetAfter = -1;       // send the head and this many body bytes, then reset (RST)
    bool closeWithoutAnswer = false;
    QByteArray raw;               // sent as it is instead of an answer, then the connection closes
                                  // (is reset, when resetAfter is not -1)
    int dripBytes = 0;            // send the body in pieces of this many bytes ...
    int dripIntervalMs = 0;       // ... this far apart
    bool endless = false;         // send the body again and again, without a length, until the
                                  // client goes away
    bool ranges = false;          // answer "Range: bytes=N-" with 206 and the rest of the body,
                                  // unless an If-Range names another ETag
    bool held = false;            // send nothing until the test calls release() for its path

    /// 200 with the body and, unless contentType is null, a Content-type header.
    static Response ok(const QByteArray &body, const QByteArray &contentType);
    /// An HTML page with the given status.
    static Response page(int status, const QByteArray &html);
    /// A redirect to location.
    static Response redirect(int status, const QByteArray &location);

    Response &header(const QByteArray &name, const QByteArray &value)
    {
        headers.append({name, value});
        return *this;
    }
};

Q_DECLARE_METATYPE(Response)

/// A request as the server received it.
struct ReceivedRequest
{
    QByteArray method;
    QByteArray target;            // as sent on the request line (a proxy may send a full URL)
    QByteArray path;              // target without scheme, host and query
    HeaderList headers;
    int connection = 0;           // 1 for the first connection accepted, 2 for the next ...
    qint64 receivedMs = 0;        // when its head was complete, in ms since the server started

    /// Value of a request header, name matched without regard to case; empty when absent.
    QByteArray header(const QByteArray &name) const;
};

/// An HTTP/1.1 server on 127.0.0.1 (a free port) whose answers tests script path by path.
/// Keeps connections alive between requests. Unscripted paths get a 404 text page.
/// Runs in the caller's thread: it answers while the test waits in an event loop.
class ScriptedServer : public QObject
{
    Q_OBJECT

public:
    explicit ScriptedServer(QObject *parent = nullptr);
    ~ScriptedServer() override;

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    /// "http://127.0.0.1:<port>" followed by path.
    QString url(const QString &path) const;

    void route(const QString &path, const Response &response);
    /// Answers for path in turn, one per request; the last one answers every request after it.
    void routeInTurn(const QString &path, const QList<Response> &responses);
    /// The answer for every path that has no route of its own (instead of the 404 page).
    void routeOthers(const Response &response) { m_others = response; m_hasOthers = true; }
    /// Makes the answer for every path that has no route of its own from the request itself.
    void routeOthers(std::function<Response(const ReceivedRequest &)> answerFor) { m_answerFor = std::move(answerFor); }
    /// The pictures of a series: for each number, seriesPath(number) answers a JPEG whose body is
    /// "picture <number>", held until release() when held is true.
    void routeSeries(const QList<int> &numbers, bool held = false);
    /// "/pic01.jpg" for 1: "/pic" and the number with at least two digits.
    static QString seriesPath(int number);
    /// Answers 403 to every request whose User-Agent begins with agent, as sites that want a browser do.
    void refuseAgent(const QByteArray &agent) { m_refusedAgent = agent; }
    /// Sends the answers held for path so far; later requests for it are held again.
    void release(const QString &path);

    const QList<ReceivedRequest> &requests() const { return m_requests; }
    /// Paths of the requests received, in order.
    QStringList paths() const;
    int connectionCount() const { return m_connectionCount; }

Q_SIGNALS:
    /// A request for path has come in (and is in requests()); its answer is not sent yet.
    void received(const QString &path);

private:
    struct Connection
    {
        int id = 0;
        QByteArray input;
        bool answering = false;
    };

    void accept();
    void readFrom(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Response &response, bool closeAfter);
    void drip(QTcpSocket *socket, QByteArray rest, const Response &response, bool closeAfter);
    void pour(QTcpSocket *socket, const QByteArray &piece);
    void finish(QTcpSocket *socket, bool closeAfter);

    QTcpServer m_server;
    QHash<QString, Response> m_routes;
    QHash<QString, QList<Response>> m_turns;
    Response m_others;
    bool m_hasOthers = false;
    std::function<Response(const ReceivedRequest &)> m_answerFor;
    QElapsedTimer m_clock;
    QByteArray m_refusedAgent;
    QHash<QTcpSocket *, Connection> m_connections;
    QList<ReceivedRequest> m_requests;
    int m_connectionCount = 0;
    struct Held
    {
        QPointer<QTcpSocket> socket;
        Response response;
        bool closeAfter = false;
    };
    QHash<QString, QList<Held>> m_held;
};
