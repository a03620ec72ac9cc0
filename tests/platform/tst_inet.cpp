#include "platform/inet.h"
#include "platform/retrypolicy.h"

#include "filebytes.h"
#include "fixtures.h"
#include "lookups.h"
#include "scriptedserver.h"
#include "tlsnginx.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <curl/curl.h>

#include <sys/resource.h>
#include <unistd.h>

namespace {

QList<int> statesOf(const QSignalSpy &spy)
{
    QList<int> states;
    for (const QList<QVariant> &arguments : spy)
        states.append(arguments.at(0).toInt());
    return states;
}

// Every answer is kept, into part files in one folder, so a test can read the body and see that
// nothing is left behind by a transfer that failed or was cancelled.
struct Kept
{
    QTemporaryDir dir;
    std::function<bool(const QString &)> wanted = [](const QString &) { return true; };

    Inet::Request request(const QString &url) const { return Inet::Request{url, dir.path(), wanted}; }
    /// The answer's body as its part file holds it; "<nothing kept>" when there is none.
    static QByteArray body(const Inet::Answer &answer)
    {
        return answer.part.isValid() ? contents(answer.part.path()) : QByteArray("<nothing kept>");
    }
    QStringList files() const { return entries(dir.path()); }
    /// Fetches url and gives the kept body.
    QByteArray fetch(Inet &inet, const QString &url) const { return body(inet.OpenURL(request(url))); }
};

const QByteArray nothing = "<nothing kept>";

// Longer than a stall window of 600 ms in all, yet nine times the bytes a window needs, so a
// busy machine that delays the server's timers still keeps it going.
Response slowButSteady()
{
    Response steady = Response::ok(everyByteValue(8), "image/jpeg");
    steady.dripBytes = 30;
    steady.dripIntervalMs = 20;
    return steady;
}

// A TLS server on 127.0.0.1 with a certificate of its own (in certificateFile(), to be trusted as
// an extra CA), answering every request on a connection with the same bytes.
class TlsServer
{
public:
    /// "" when it listens; otherwise why it cannot here. plainPort goes for %P in the answer.
    QString start(const QByteArray &answer, const QByteArray &plainPort = QByteArray())
    {
        if (!QSslSocket::supportsSsl())
            return QStringLiteral("Qt has no TLS backend here to serve the test");
        const QString openssl = findTool("openssl");
        if (openssl.isEmpty())
            return QStringLiteral("openssl is needed to make a certificate");
        QProcess make;
        make.start(openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                             "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", m_dir.filePath("key.pem"),
                             "-out", certificateFile()});
        if (!make.waitForFinished(30000) || make.exitCode() != 0)
            return QStringLiteral("openssl could not make a certificate");
        QFile cert(certificateFile());
        QFile key(m_dir.filePath("key.pem"));
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
            return QStringLiteral("the certificate cannot be read");
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(QSslCertificate(cert.readAll()));
        config.setPrivateKey(QSslKey(key.readAll(), QSsl::Rsa));
        m_server.setSslConfiguration(config);
        QByteArray bytes = answer;
        bytes.replace("%P", plainPort);
        QObject::connect(&m_server, &QTcpServer::pendingConnectionAvailable, &m_server, [this, bytes] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, bytes] {
                    if (socket->readAll().contains("\r\n\r\n"))
                        socket->write(bytes);
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        return m_server.listen(QHostAddress::LocalHost, 0) ? QString() : m_server.errorString();
    }
    quint16 port() const { return m_server.serverPort(); }
    QString url(const QString &path) const { return QStringLiteral("https://127.0.0.1:%1%2").arg(port()).arg(path); }
    QString certificateFile() const { return m_dir.filePath("cert.pem"); }

private:
    QTemporaryDir m_dir;
    QSslServer m_server;
};

} // namespace

class TestInet : public QObject
{
    Q_OBJECT

private slots:
    void answerBodyAndHeaders_data();
    void answerBodyAndHeaders();
    void onlyWantedBodiesAreWritten_data();
    void onlyWantedBodiesAreWritten();
    void transportFailureLeavesNothing_data();
    void transportFailureLeavesNothing();
    void cancelEndsAStalledTransfer();
    void cancelBeforeTheRequest_data();
    void cancelBeforeTheRequest();
    void slowIsNotStuck_data();
    void slowIsNotStuck();
    void bodyLimit_data();
    void bodyLimit();
    void consecutiveTransfersShareOneConnection();
    void transfersRunAheadAndReportInTurn();
    void aHostIsPaced_data();
    void aHostIsPaced();
    void redirects_data();
    void redirects();
    void refusedBeforeAnyRequest_data();
    void refusedBeforeAnyRequest();
    void failedLookUp();
    void certificates_data();
    void certificates();
    void http2SharesOneConnection();
    void proxyIsWhatTheSettingsSay_data();
    void proxyIsWhatTheSettingsSay();
    void lookUpThatHangs_data();
    void lookUpThatHangs();
    void seriesFromNginx();
    void openWhileBusyFailsCleanly();
    void deletedWhileWaiting();
    void outOfDescriptorsFailsWithTheReason();
    void retryAfter_data();
    void retryAfter();
};

void TestInet::answerBodyAndHeaders_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("headerName");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<int>("dripBytes");
    QTest::addColumn<bool>("withoutLength");

    const QByteArray all = everyByteValue(64);
    QTest::newRow("every byte value") << 200 << all << QByteArray("Content-Type") << QByteArray("image/jpeg") << 0 << false;
    QTest::newRow("slow drip") << 200 << all << QByteArray("Content-Type") << QByteArray("image/gif") << 1000 << false;
    QTest::newRow("large, ended by closing") << 200 << everyByteValue(4096) << QByteArray("Content-Type")
                                             << QByteArray("image/gif") << 0 << true;
    QTest::newRow("parameter kept") << 200 << QByteArray("x") << QByteArray("Content-Type")
                                    << QByteArray("image/jpeg; charset=x") << 0 << false;
    QTest::newRow("case of value kept") << 200 << QByteArray("x") << QByteArray("content-type")
                                        << QByteArray("image/JPEG") << 0 << false;
    QTest::newRow("name in capitals") << 200 << QByteArray("x") << QByteArray("CONTENT-TYPE")
                                      << QByteArray("image/pjpeg") << 0 << false;
    QTest::newRow("no content type") << 200 << QByteArray("bytes") << QByteArray() << QByteArray() << 0 << false;
    QTest::newRow("empty body") << 200 << QByteArray("") << QByteArray("Content-Type") << QByteArray("image/gif") << 0 << false;
    QTest::newRow("404 page") << 404 << QByteArray("<html>gone</html>") << QByteArray("Content-Type")
                              << QByteArray("text/html") << 0 << false;
    QTest::newRow("403 page") << 403 << QByteArray("<html>forbidden</html>") << QByteArray("Content-Type")
                              << QByteArray("text/html") << 0 << false;
}

void TestInet::answerBodyAndHeaders()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, headerName);
    QFETCH(QByteArray, contentType);
    QFETCH(int, dripBytes);
    QFETCH(bool, withoutLength);

    ScriptedServer server;
    Response response;
    response.status = status;
    response.body = body;
    if (!headerName.isEmpty())
        response.header(headerName, contentType);
    response.dripBytes = dripBytes;
    response.dripIntervalMs = 5;
    response.withoutLength = withoutLength;
    server.route("/pic01.jpg", response);

    Kept kept;
    Inet inet;
    QSignalSpy states(&inet, &Inet::StateChanged);
    QSignalSpy progress(&inet, &Inet::Progress);

    const Inet::Answer answer = inet.OpenURL(kept.request(server.url("/pic01.jpg")));
    QCOMPARE(Kept::body(answer), body);
    QCOMPARE(inet.GetHeader("Content-type"), QString::fromLatin1(contentType));
    QCOMPARE(answer.contentType(), QString::fromLatin1(contentType));
    QCOMPARE(inet.GetHeader("CONTENT-TYPE"), QString::fromLatin1(contentType));
    QCOMPARE(answer.status, status);
    QCOMPARE(statesOf(states), (QList<int>{Inet::ResolvingHost, Inet::HostResolved}));
    QCOMPARE(server.paths(), QStringList{"/pic01.jpg"});
    QCOMPARE(server.requests().first().header("Accept-Encoding"), QByteArray("identity"));
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(body.size()));
    QCOMPARE(progress.last().at(1).toLongLong(), withoutLength ? qint64(-1) : qint64(body.size()));
    QCOMPARE(kept.files().size(), 1);   // the answer's part file, and nothing else
}

void TestInet::onlyWantedBodiesAreWritten_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<bool>("wanted");

    QTest::newRow("wanted") << QByteArray("image/gif") << 5000 << true;
    QTest::newRow("not wanted") << QByteArray("text/html") << 5000 << false;
    // Not read to its end, yet an answer: the next transfer still gets its own.
    QTest::newRow("not wanted, long") << QByteArray("text/html") << int(Inet::discardBytes) * 3 << false;
}

// Only a wanted answer's body is written at all; the next transfer is not disturbed.
void TestInet::onlyWantedBodiesAreWritten()
{
    QFETCH(QByteArray, contentType);
    QFETCH(int, bodySize);
    QFETCH(bool, wanted);

    ScriptedServer server;
    server.route("/a", Response::ok(QByteArray(bodySize, 'a'), contentType));
    server.route("/b", Response::ok("next", "image/gif"));
    QTemporaryDir dir;
    QStringList seen;
    auto gifs = [&](const QString &path) {
        return Inet::Request{server.url(path), dir.path(), [&seen](const QString &type) {
                                 seen << type;
                                 return type == QLatin1String("image/gif");
                             }};
    };
    Inet inet;
    Inet::Answer answer = inet.OpenURL(gifs("/a"));
    QVERIFY(answer.answered());
    QCOMPARE(seen, QStringList{QString::fromLatin1(contentType)});
    QCOMPARE(answer.part.isValid(), wanted);
    if (wanted)
        QCOMPARE(QFileInfo(answer.part.path()).size(), qint64(bodySize));
    answer.part.remove();

    answer = inet.OpenURL(gifs("/b"));
    QVERIFY(answer.answered());
    QCOMPARE(answer.part.size(), qint64(4));
    answer.part.remove();
    QCOMPARE(entries(dir.path()), QStringList());
}

void TestInet::transportFailureLeavesNothing_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("refusedPort");
    QTest::addColumn<int>("code"); // -1: whichever error the engine finds
    QTest::addColumn<int>("tries");   // the engine's own, each with its look-up

    const QByteArray body = everyByteValue(400);
    Response reset = Response::ok(body, "image/jpeg");
    reset.resetAfter = 1000;
    Response resetWithoutLength = reset;
    resetWithoutLength.withoutLength = true;
    Response shortBody = Response::ok(body.left(500), "image/jpeg");
    shortBody.declaredLength = body.size();
    Response silent;
    silent.closeWithoutAnswer = true;
    Response garbage;
    garbage.raw = "this is no HTTP at all\r\n\r\n";

    QTest::newRow("refused port") << Response() << true << int(CURLE_COULDNT_CONNECT) << 1;
    QTest::newRow("reset mid-body") << reset << false << int(CURLE_RECV_ERROR) << 1;
    QTest::newRow("reset in a body without a length") << resetWithoutLength << false << int(CURLE_RECV_ERROR) << 1;
    QTest::newRow("shorter than declared") << shortBody << false << int(CURLE_PARTIAL_FILE) << 1;
    QTest::newRow("closed without answer") << silent << false << int(CURLE_GOT_NOTHING) << 1;
    // On the kept connection it may be what the last answer left: asked once more on a new one.
    QTest::newRow("garbage") << garbage << false << -1 << 2;
}

// A failure after a good answer must not leave that answer's headers, nor any part file, behind.
void TestInet::transportFailureLeavesNothing()
{
    QFETCH(Response, response);
    QFETCH(bool, refusedPort);
    QFETCH(int, code);
    QFETCH(int, tries);

    ScriptedServer server;
    server.route("/good.jpg", Response::ok("earlier bytes", "image/jpeg"));
    server.route("/bad.jpg", response);
    RefusedPort refused;
    const QString badUrl = refusedPort ? refused.url("/bad.jpg") : server.url("/bad.jpg");

    Kept kept;
    Inet inet;
    QCOMPARE(kept.fetch(inet, server.url("/good.jpg")), QByteArray("earlier bytes"));
    QCOMPARE(inet.GetHeader("Content-type"), QString("image/jpeg"));

    QSignalSpy states(&inet, &Inet::StateChanged);
    const Inet::Answer answer = inet.OpenURL(kept.request(badUrl));
    QVERIFY(!answer.answered());

    QCOMPARE(Kept::body(answer), nothing);
    QVERIFY(kept.files().isEmpty());
    QCOMPARE(inet.GetHeader("Content-type"), QString());
    QList<int> expected;
    for (int i = 0; i < tries; ++i)
        expected << Inet::ResolvingHost << Inet::HostResolved;
    QCOMPARE(statesOf(states), expected << Inet::Error);
    if (code != -1)
        QCOMPARE(inet.ResponseCode(), code);
    QVERIFY(inet.ResponseCode() != 0);
    QVERIFY(!inet.ResponseInfo().isEmpty());
}

void TestInet::cancelEndsAStalledTransfer()
{
    ScriptedServer server;
    Response stall = Response::ok(everyByteValue(100), "image/jpeg");
    stall.stallAfter = 300;
    server.route("/stall.jpg", stall);

    Kept kept;
    Inet inet;
    QSignalSpy states(&inet, &Inet::StateChanged);
    QStringList keptAtCancel;
    bool cancelling = false;
    // Once body bytes have come; from the event loop, not from inside the engine's report.
    connect(&inet, &Inet::Progress, &inet, [&](qint64 received) {
        if (received > 0 && !std::exchange(cancelling, true))
            QTimer::singleShot(0, &inet, [&] {
                keptAtCancel = kept.files();   // the part file the body streams into
                inet.Cancel();
            });
    });

    QCOMPARE(inet.OpenURL(kept.request(server.url("/stall.jpg"))).result, Inet::Answer::Result::Cancelled);
    QCOMPARE(keptAtCancel.size(), 1);
    QVERIFY(!inet.isBusy());
    QCOMPARE(statesOf(states).last(), int(Inet::Error));
    QCOMPARE(inet.ResponseCode(), int(CURLE_ABORTED_BY_CALLBACK));
    QCOMPARE(inet.GetHeader("Content-type"), QString());
    QVERIFY(kept.files().isEmpty());
}

void TestInet::cancelBeforeTheRequest_data()
{
    QTest::addColumn<int>("cancelAt");
    QTest::newRow("while resolving") << int(Inet::ResolvingHost);
    QTest::newRow("once resolved") << int(Inet::HostResolved);
}

// Stop pressed while the status bar still shows a look-up state ends the transfer with nothing
// kept; during the look-up nothing has reached the server at all.
void TestInet::cancelBeforeTheRequest()
{
    QFETCH(int, cancelAt);

    ScriptedServer server;
    server.route("/pic01.jpg", Response::ok("x", "image/jpeg"));
    Kept kept;
    Inet inet;
    QSignalSpy states(&inet, &Inet::StateChanged);
    connect(&inet, &Inet::StateChanged, &inet, [&inet, cancelAt](qint16 state) {
        if (state == cancelAt)
            inet.Cancel();
    });

    QCOMPARE(inet.OpenURL(kept.request(server.url("/pic01.jpg"))).result, Inet::Answer::Result::Cancelled);
    QCOMPARE(statesOf(states).last(), int(Inet::Error));
    QCOMPARE(inet.ResponseCode(), int(CURLE_ABORTED_BY_CALLBACK));
    QVERIFY(kept.files().isEmpty());
    if (cancelAt == Inet::ResolvingHost)
        QCOMPARE(server.connectionCount(), 0);
}

void TestInet::slowIsNotStuck_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("queued");   // behind a slow transfer to the same host
    QTest::addColumn<bool>("completes");

    Response silent = Response::ok(everyByteValue(10), "image/jpeg");
    silent.stallAfter = 10;
    Response trickle = Response::ok(everyByteValue(8), "image/jpeg");
    trickle.dripBytes = 10;   // 60 bytes in a window of 600 ms
    trickle.dripIntervalMs = 100;
    QTest::newRow("silent after its head") << silent << false << false;
    QTest::newRow("a trickle of bytes") << trickle << false << false;
    QTest::newRow("slow but steady") << slowButSteady() << false << true;
    QTest::newRow("queued behind a slow one") << Response::ok("quick", "image/jpeg") << true << true;
}

// A transfer fails as timed out when fewer than 100 bytes arrive in a whole window once its
// request is out, however the bytes are spread; the clock does not run while it waits its turn.
void TestInet::slowIsNotStuck()
{
    QFETCH(Response, response);
    QFETCH(bool, queued);
    QFETCH(bool, completes);

    ScriptedServer server;
    server.route("/pic.jpg", response);
    server.route("/slow.jpg", slowButSteady());

    Kept kept;
    Inet inet;
    inet.setStallTimeout(600);
    Inet::Config oneAtATime;
    oneAtATime.perHost = 1;
    QCOMPARE(inet.configure(oneAtATime), QString());
    const Inet::TransferId before = queued ? inet.start(kept.request(server.url("/slow.jpg"))) : 0;
    const Inet::TransferId id = inet.start(kept.request(server.url("/pic.jpg")));
    // A time-out that never comes fails this test here, not the program at Qt Test's watchdog.
    QTimer::singleShot(10000, &inet, [&inet, id] { inet.cancel(id); });
    if (queued)
        QVERIFY(inet.wait(before).answered());
    const Inet::Answer answer = inet.wait(id);

    QCOMPARE(answer.answered(), completes);
    if (completes) {
        QCOMPARE(Kept::body(answer), response.body);
    } else {
        QCOMPARE(answer.errorCode, int(CURLE_OPERATION_TIMEDOUT));
        QCOMPARE(answer.failure, Inet::Failure::Server);
        QVERIFY(kept.files().isEmpty());
    }
}

void TestInet::bodyLimit_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("kept");

    const QByteArray body = everyByteValue(4); // 1024 bytes
    Response declared = Response::ok(body + "x", "image/jpeg");
    Response undeclared = Response::ok(body + "x", "image/jpeg");
    undeclared.withoutLength = true;
    undeclared.dripBytes = 100;

    QTest::newRow("exactly the limit") << Response::ok(body, "image/jpeg") << true;
    QTest::newRow("declared past the limit") << declared << false;
    QTest::newRow("no length, grows past the limit") << undeclared << false;
}

void TestInet::bodyLimit()
{
    QFETCH(Response, response);
    QFETCH(bool, kept);

    ScriptedServer server;
    server.route("/big.jpg", response);
    Kept keep;
    Inet inet;
    QCOMPARE(inet.bodyLimit(), Inet::maxBodyBytes);
    inet.setBodyLimit(1024);
    QSignalSpy states(&inet, &Inet::StateChanged);
    const QByteArray result = keep.fetch(inet, server.url("/big.jpg"));

    if (kept) {
        QCOMPARE(result, response.body);
        QVERIFY(!statesOf(states).contains(Inet::Error));
    } else {
        QCOMPARE(result, nothing);
        QCOMPARE(statesOf(states).last(), int(Inet::Error));
        QVERIFY(inet.ResponseInfo().contains("1024"));
        QCOMPARE(inet.GetHeader("Content-type"), QString());
        QVERIFY(keep.files().isEmpty());
    }
}

void TestInet::consecutiveTransfersShareOneConnection()
{
    ScriptedServer server;
    server.route("/pic01.jpg", Response::ok("one", "image/jpeg"));
    server.route("/pic02.jpg", Response::page(404, "missing"));
    server.route("/pic03.jpg", Response::ok("three", "image/jpeg"));
    // Bytes an earlier answer left on the kept connection come before the answer: asked again on
    // a new connection, with no try spent (there are none to spend).
    Response leftOver;
    leftOver.raw = QByteArray(300, 'J');
    server.routeInTurn("/pic04.jpg", {leftOver, Response::ok("four", "image/jpeg")});

    Kept kept;
    Inet inet;
    QCOMPARE(kept.fetch(inet, server.url("/pic01.jpg")), QByteArray("one"));
    QCOMPARE(kept.fetch(inet, server.url("/pic02.jpg")), QByteArray("missing"));
    QCOMPARE(kept.fetch(inet, server.url("/pic03.jpg")), QByteArray("three"));
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(kept.fetch(inet, server.url("/pic04.jpg")), QByteArray("four"));

    QCOMPARE(server.paths(), (QStringList{"/pic01.jpg", "/pic02.jpg", "/pic03.jpg", "/pic04.jpg", "/pic04.jpg"}));
    QCOMPARE(server.connectionCount(), 2);
}

// Transfers started together run at once, on connections of their own; each reports the states
// it went through when its turn comes, and a later answer that arrived first waits for it.
void TestInet::transfersRunAheadAndReportInTurn()
{
    ScriptedServer server;
    Response held = Response::ok("first", "image/jpeg");
    held.held = true;
    server.route("/1.jpg", held);
    server.route("/2.jpg", Response::ok("second", "image/jpeg"));
    server.route("/3.jpg", Response::page(404, "third"));

    Kept kept;
    Inet inet;
    QList<Inet::TransferId> ids;
    for (const char *path : {"/1.jpg", "/2.jpg", "/3.jpg"})
        ids << inet.start(kept.request(server.url(path)));
    QCOMPARE(inet.transferCount(), 3);
    QTRY_COMPARE(server.paths().size(), 3);   // all three asked for before the first answer
    QTRY_VERIFY(!inet.isRunning(ids[1]) && !inet.isRunning(ids[2]));
    QVERIFY(inet.isRunning(ids[0]));
    QCOMPARE(server.connectionCount(), 3);

    QSignalSpy states(&inet, &Inet::StateChanged);
    server.release("/1.jpg");
    QCOMPARE(Kept::body(inet.wait(ids[0])), QByteArray("first"));
    QCOMPARE(Kept::body(inet.wait(ids[1])), QByteArray("second"));
    const Inet::Answer third = inet.wait(ids[2]);
    QCOMPARE(third.status, 404);
    QCOMPARE(Kept::body(third), QByteArray("third"));
    QCOMPARE(statesOf(states), (QList<int>{1, 2, 1, 2, 1, 2}));
    QCOMPARE(inet.transferCount(), 0);
    QVERIFY(!inet.wait(ids[0]).answered());   // gone once waited for
}

void TestInet::aHostIsPaced_data()
{
    QTest::addColumn<Response>("first");   // the first answer of the first address
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<int>("gapMs");        // at least this long between a request and the next
    QTest::addColumn<int>("heldMs");       // at least this long after the first, for all after it

    QTest::newRow("429 holds the host") << Response::page(429, "slow down").header("Retry-After", "1") << 0 << 0 << 1000;
    QTest::newRow("503 holds the host") << Response::page(503, "busy").header("Retry-After", "1") << 0 << 0 << 1000;
    QTest::newRow("pause between requests") << Response::ok("one", "image/jpeg") << 400 << 300 << 0;
}

// A busy answer holds every request to its host for the time it names, and the pause spaces
// any two. Measured where the requests arrive, so load only lengthens the gaps; the pause's
// bound leaves room for one request taking longer to arrive than the next.
void TestInet::aHostIsPaced()
{
    QFETCH(Response, first);
    QFETCH(int, pauseMs);
    QFETCH(int, gapMs);
    QFETCH(int, heldMs);
    ScriptedServer server;
    server.routeInTurn("/a.jpg", {first, Response::ok("a", "image/jpeg")});
    server.route("/b.jpg", Response::ok("b", "image/jpeg"));
    server.route("/c.jpg", Response::ok("c", "image/jpeg"));
    Kept kept;
    Inet inet;
    Inet::Config config;
    config.retries = 1;
    config.pauseMs = pauseMs;
    config.perHost = 1;   // the next request is free to go as soon as the host lets it
    QCOMPARE(inet.configure(config), QString());
    QList<Inet::TransferId> ids;
    for (const char *path : {"/a.jpg", "/b.jpg", "/c.jpg"})
        ids << inet.start(kept.request(server.url(path)));
    for (const Inet::TransferId id : std::as_const(ids))
        QVERIFY(inet.wait(id).answered());

    const QList<ReceivedRequest> &requests = server.requests();
    QCOMPARE(requests.size(), heldMs > 0 ? 4 : 3);
    QStringList gaps;
    for (qsizetype i = 1; i < requests.size(); ++i)
        gaps << QString::number(requests[i].receivedMs - requests[i - 1].receivedMs);
    for (qsizetype i = 1; i < requests.size(); ++i) {
        QVERIFY2(requests[i].receivedMs - requests[i - 1].receivedMs >= gapMs, qPrintable(gaps.join(' ')));
        QVERIFY2(requests[i].receivedMs - requests.first().receivedMs >= heldMs, qPrintable(gaps.join(' ')));
    }
}

void TestInet::redirects_data()
{
    QTest::addColumn<bool>("startsSecure");
    QTest::addColumn<QByteArray>("location");      // where /old.jpg of the plain server leads
    QTest::addColumn<QByteArray>("tlsLocation");   // where the TLS server leads; empty: it answers
    QTest::addColumn<int>("code");                 // 0: followed to a picture

    // %P and %T stand for the ports of the plain and the TLS server.
    const int refused = CURLE_UNSUPPORTED_PROTOCOL;
    QTest::newRow("same server") << false << QByteArray("/new.jpg") << QByteArray() << 0;
    QTest::newRow("relative") << false << QByteArray("new.jpg") << QByteArray() << 0;
    QTest::newRow("to itself, endlessly") << false << QByteArray("/old.jpg") << QByteArray() << int(CURLE_TOO_MANY_REDIRECTS);
    QTest::newRow("to a file") << false << QByteArray("file:///etc/passwd") << QByteArray() << refused;
    QTest::newRow("to another scheme") << false << QByteArray("ftp://127.0.0.1:%P/new.jpg") << QByteArray() << refused;
    QTest::newRow("http to https") << false << QByteArray("https://127.0.0.1:%T/x.jpg") << QByteArray() << 0;
    QTest::newRow("https to http") << true << QByteArray() << QByteArray("http://127.0.0.1:%P/new.jpg") << refused;
    QTest::newRow("http to https to http") << false << QByteArray("https://127.0.0.1:%T/x.jpg")
                                           << QByteArray("http://127.0.0.1:%P/new.jpg") << refused;
}

// Redirects are followed to http and https only, and never from https back to http, at any hop.
void TestInet::redirects()
{
    QFETCH(bool, startsSecure);
    QFETCH(QByteArray, location);
    QFETCH(QByteArray, tlsLocation);
    QFETCH(int, code);

    ScriptedServer server;
    TlsServer tls;
    if (startsSecure || location.contains("%T")) {
        const QString why = tls.start(tlsLocation.isEmpty()
                                          ? QByteArray("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 10\r\n\r\nmoved here")
                                          : "HTTP/1.1 302 Found\r\nLocation: " + tlsLocation + "\r\nContent-Length: 0\r\n\r\n",
                                      QByteArray::number(server.port()));
        if (!why.isEmpty())
            SKIP_OR_FAIL_UNDER_CI(why);
    }
    location.replace("%P", QByteArray::number(server.port())).replace("%T", QByteArray::number(tls.port()));
    server.route("/old.jpg", Response::redirect(302, location));
    server.route("/new.jpg", Response::ok("moved here", "image/jpeg"));
    Kept kept;
    QStringList asked;   // only the final answer is ever offered for keeping
    kept.wanted = [&asked](const QString &type) {
        asked << type;
        return true;
    };
    Inet inet;
    Inet::Config trustTls;
    if (tls.port() != 0)
        trustTls.caFile = tls.certificateFile();
    QCOMPARE(inet.configure(trustTls), QString());
    QSignalSpy states(&inet, &Inet::StateChanged);
    const Inet::Answer answer = inet.OpenURL(kept.request(startsSecure ? tls.url("/old.jpg") : server.url("/old.jpg")));
    QCOMPARE(asked, code == 0 ? QStringList{"image/jpeg"} : QStringList());

    if (code == 0) {
        QCOMPARE(Kept::body(answer), QByteArray("moved here"));
        QCOMPARE(statesOf(states).last(), int(Inet::HostResolved));
    } else {
        QCOMPARE(answer.errorCode, code);
        QCOMPARE(statesOf(states).last(), int(Inet::Error));
        QVERIFY(server.paths().size() <= 11);
        QVERIFY(!server.paths().contains("/new.jpg"));
        QCOMPARE(inet.GetHeader("Location"), QString());
        QVERIFY(kept.files().isEmpty());
    }
}

void TestInet::refusedBeforeAnyRequest_data()
{
    QTest::addColumn<int>("accessType");
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("code");

    const int direct = Inet::Direct;
    const int named = Inet::NamedProxy;
    const int proxyCode = CURLE_COULDNT_RESOLVE_PROXY;
    QTest::newRow("proxy port 0") << named << "127.0.0.1:0" << "" << proxyCode;
    QTest::newRow("proxy port 65536") << named << "127.0.0.1:65536" << "" << proxyCode;
    QTest::newRow("proxy port -1") << named << "127.0.0.1:-1" << "" << proxyCode;
    QTest::newRow("proxy port text") << named << "127.0.0.1:web" << "" << proxyCode;
    QTest::newRow("proxy without port") << named << "127.0.0.1" << "" << proxyCode;
    QTest::newRow("proxy without host") << named << ":80" << "" << proxyCode;
    QTest::newRow("proxy holding a user and password") << named << "alice:s3cret@127.0.0.1:3128" << "" << proxyCode;
    QTest::newRow("no address") << direct << "" << " " << int(CURLE_URL_MALFORMAT);
    QTest::newRow("file address") << direct << "" << "file:///etc/passwd" << int(CURLE_UNSUPPORTED_PROTOCOL);
    QTest::newRow("invalid host") << direct << "" << "http://bad host/pic01.jpg" << int(CURLE_URL_MALFORMAT);
}

// Nothing that can be told from the settings or the address alone reaches the network.
void TestInet::refusedBeforeAnyRequest()
{
    QFETCH(int, accessType);
    QFETCH(QString, proxy);
    QFETCH(QString, address);
    QFETCH(int, code);

    ScriptedServer server;
    server.route("/pic01.jpg", Response::ok("x", "image/jpeg"));
    Inet inet;
    inet.setAccessType(accessType);
    inet.setProxy(proxy);
    QSignalSpy states(&inet, &Inet::StateChanged);
    const Inet::Answer answer = inet.OpenURL({address.isEmpty() ? server.url("/pic01.jpg") : address, {}, {}});
    QVERIFY(!answer.answered());
    QVERIFY2(!answer.errorText.contains(QLatin1String("s3cret")), qPrintable(answer.errorText));

    QCOMPARE(statesOf(states), QList<int>{Inet::Error});
    QCOMPARE(inet.ResponseCode(), code);
    QVERIFY(!inet.ResponseInfo().isEmpty());
    QVERIFY2(!inet.ResponseInfo().contains(QLatin1String("s3cret")), qPrintable(inet.ResponseInfo()));
    QCOMPARE(server.connectionCount(), 0);
}

// The look-up that fails must not ask any name server: the resolver refuses a label longer than
// 63 characters before it builds a query. The proxy's host is the one looked up, so the server's
// address can stay loopback.
void TestInet::failedLookUp()
{
    ScriptedServer server;
    server.route("/pic01.jpg", Response::ok("x", "image/jpeg"));
    Inet inet;
    inet.setAccessType(Inet::NamedProxy);
    inet.setProxy(QString(64, 'a') + ".invalid:8080");
    QSignalSpy states(&inet, &Inet::StateChanged);

    QVERIFY(!inet.OpenURL({server.url("/pic01.jpg"), {}, {}}).answered());
    QCOMPARE(statesOf(states), (QList<int>{Inet::ResolvingHost, Inet::Error}));
    QCOMPARE(inet.ResponseCode(), int(CURLE_COULDNT_RESOLVE_PROXY));
    QVERIFY(!inet.ResponseInfo().isEmpty());
    QCOMPARE(server.connectionCount(), 0);
}

void TestInet::certificates_data()
{
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<bool>("rewritten");   // the extra CA file named another CA for a first Get
    QTest::newRow("not trusted") << false << false;
    QTest::newRow("trusted as an extra CA") << true << false;
    QTest::newRow("extra CA file rewritten between two Gets") << true << true;
}

// A certificate no CA vouches for fails the transfer; the extra CA file of the settings is
// trusted beside the system's, as it is at the Get, however its certificates were loaded before.
void TestInet::certificates()
{
    QFETCH(bool, trusted);
    QFETCH(bool, rewritten);
    TlsServer server;
    const QString why = server.start("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 4\r\n\r\nsafe");
    if (!why.isEmpty())
        SKIP_OR_FAIL_UNDER_CI(why);

    Inet inet;
    Inet::Config config;
    Kept kept;
    if (trusted)
        config.caFile = server.certificateFile();
    if (rewritten) {
        QTemporaryDir dir;
        config.caFile = dir.filePath("extra.pem");
        const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        QVERIFY(!system.isEmpty());
        setContents(config.caFile, system.first().toPem());
        inet.prepareTls(config.caFile);
        QCOMPARE(inet.configure(config), QString());
        QCOMPARE(inet.OpenURL(kept.request(server.url("/pic01.jpg"))).errorCode, int(CURLE_PEER_FAILED_VERIFICATION));
        QFile cert(server.certificateFile());
        QVERIFY(cert.open(QIODevice::ReadOnly));
        setContents(config.caFile, cert.readAll());
        QCOMPARE(inet.configure(config), QString());
        QCOMPARE(Kept::body(inet.OpenURL(kept.request(server.url("/pic02.jpg")))), QByteArray("safe"));
        return;
    }
    inet.prepareTls(config.caFile);
    QCOMPARE(inet.configure(config), QString());
    QSignalSpy states(&inet, &Inet::StateChanged);
    const Inet::Answer answer = inet.OpenURL(kept.request(server.url("/pic01.jpg")));

    if (trusted) {
        QCOMPARE(Kept::body(answer), QByteArray("safe"));
        return;
    }
    QCOMPARE(statesOf(states), (QList<int>{Inet::ResolvingHost, Inet::HostResolved, Inet::Error}));
    QCOMPARE(inet.ResponseCode(), int(CURLE_PEER_FAILED_VERIFICATION));
    QVERIFY2(inet.ResponseInfo().contains("certificate"), qPrintable(inet.ResponseInfo()));
    QCOMPARE(answer.failure, Inet::Failure::Certificate);
}

// Where the server speaks HTTP/2 over TLS, the transfers in flight to it are streams of one
// connection, and the host's pace says so.
void TestInet::http2SharesOneConnection()
{
    QTemporaryDir root, certs;
    const int pictures = 12;
    for (int n = 1; n <= pictures; ++n)
        setContents(root.filePath(QStringLiteral("pic%1.jpg").arg(n)), "picture " + QByteArray::number(n));
    TlsNginx nginx(root.path(), certs.path());
    if (!nginx.binary().isEmpty() && !nginx.http2Lacking().isEmpty())
        QSKIP(qPrintable(nginx.http2Lacking()));
    if (const QString why = makeCertificates(certs.path()); !why.isEmpty())
        QSKIP(qPrintable(why));
    START_FIXTURE_OR_SKIP(nginx);

    Inet inet;
    Inet::Config config;
    config.caFile = certs.filePath(QStringLiteral("ca.pem"));
    QCOMPARE(inet.configure(config), QString());
    const qint64 logAt = nginx.logSize();
    const QString base = QStringLiteral("https://127.0.0.1:%1/").arg(nginx.port());
    Kept kept;
    QList<Inet::TransferId> ids;
    for (int n = 1; n <= pictures; ++n)
        ids << inet.start(kept.request(base + QStringLiteral("pic%1.jpg").arg(n)));
    for (int n = 1; n <= pictures; ++n)
        QCOMPARE(Kept::body(inet.wait(ids[n - 1])), "picture " + QByteArray::number(n));

    QTRY_COMPARE(nginx.connectionsSince(logAt).requests, pictures);
    const TlsNginx::Connections seen = nginx.connectionsSince(logAt);
    QCOMPARE(seen.protocols, QStringLiteral("HTTP/2.0"));
    QCOMPARE(seen.connections, 1);
    QVERIFY2(inet.paceOf(base).endsWith(QStringLiteral(" streams, HTTP/2")), qPrintable(inet.paceOf(base)));
}

void TestInet::proxyIsWhatTheSettingsSay_data()
{
    QTest::addColumn<bool>("viaProxy");
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("value");   // %R: a port that refuses
    QTest::newRow("proxy set") << true << QByteArray() << QByteArray();
    QTest::newRow("proxy set, NO_PROXY names the server") << true << QByteArray("NO_PROXY") << QByteArray("127.0.0.1");
    QTest::newRow("proxy set, no_proxy is *") << true << QByteArray("no_proxy") << QByteArray("*");
    QTest::newRow("direct, http_proxy set") << false << QByteArray("http_proxy") << QByteArray("http://127.0.0.1:%R");
    QTest::newRow("direct, ALL_PROXY set") << false << QByteArray("ALL_PROXY") << QByteArray("http://127.0.0.1:%R");
}

// Requests go through the proxy of the settings, or straight to the server without one; no
// variable of the environment changes that.
void TestInet::proxyIsWhatTheSettingsSay()
{
    QFETCH(bool, viaProxy);
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    TinyproxyFixture tinyproxy;
    if (viaProxy)
        START_FIXTURE_OR_SKIP(tinyproxy);
    RefusedPort refused;
    if (!variable.isEmpty())
        qputenv(variable.constData(), value.replace("%R", QByteArray::number(refused.port())));
    const auto unset = qScopeGuard([&] {
        if (!variable.isEmpty())
            qunsetenv(variable.constData());
    });
    ScriptedServer server;
    const QByteArray body = everyByteValue(8);
    server.route("/pic01.jpg", Response::ok(body, "image/jpeg"));

    Kept kept;
    Inet inet;
    if (viaProxy) {
        inet.setAccessType(Inet::NamedProxy);
        inet.setProxy(QStringLiteral("127.0.0.1:%1").arg(tinyproxy.port()));
    }
    QSignalSpy states(&inet, &Inet::StateChanged);
    QCOMPARE(kept.fetch(inet, server.url("/pic01.jpg")), body);

    QCOMPARE(statesOf(states), (QList<int>{Inet::ResolvingHost, Inet::HostResolved}));
    QCOMPARE(server.paths(), QStringList{"/pic01.jpg"});
    QCOMPARE(server.requests().first().header("Via").isEmpty(), !viaProxy);
    if (viaProxy)
        QVERIFY2(tinyproxy.log().contains(server.url("/pic01.jpg")), qPrintable(tinyproxy.log()));
}

void TestInet::lookUpThatHangs_data()
{
    QTest::addColumn<bool>("timesOut");   // else it is cancelled
    QTest::newRow("cancelled") << false;
    QTest::newRow("timed out") << true;
}

// A host name whose look-up never ends holds nothing up: a transfer beside it completes, and
// cancelling it or its time-out returns without waiting for the look-up.
void TestInet::lookUpThatHangs()
{
    QFETCH(bool, timesOut);
    ScriptedServer server;
    server.route("/beside.jpg", Response::ok("beside", "image/jpeg"));
    Kept kept;
    Inet inet;
    inet.setStallTimeout(timesOut ? 300 : 30000);
    const int returned = lookups::hangingReturned();
    const int entered = lookups::hangingEntered();
    const Inet::TransferId hanging = inet.start(kept.request(QStringLiteral("http://%1/pic.jpg").arg(lookups::hangingHost())));
    QTRY_COMPARE(lookups::hangingEntered(), entered + 1);
    const Inet::TransferId beside = inet.start(kept.request(server.url("/beside.jpg")));
    QCOMPARE(Kept::body(inet.wait(beside)), QByteArray("beside"));

    if (timesOut) {
        const Inet::Answer answer = inet.wait(hanging);
        QCOMPARE(answer.errorCode, int(CURLE_OPERATION_TIMEDOUT));
    } else {
        QVERIFY(inet.isRunning(hanging));
        inet.cancel(hanging);
        QVERIFY(!inet.isRunning(hanging));
    }
    QCOMPARE(lookups::hangingReturned(), returned);   // nothing waited for it
    lookups::releaseHanging();
    QTRY_COMPARE(lookups::hangingReturned(), returned + 1);
}

void TestInet::seriesFromNginx()
{
    QTemporaryDir root;
    const QStringList files = writeJpegSeries(root.filePath("samples"), 3);
    QCOMPARE(files.size(), 3);
    NginxFixture nginx(root.path());
    START_FIXTURE_OR_SKIP(nginx);

    Kept kept;
    Inet inet;
    QList<QByteArray> bodies;
    for (const QString &file : files) {
        bodies.append(kept.fetch(inet, nginx.url("/samples/" + QFileInfo(file).fileName())));
        QCOMPARE(bodies.last(), contents(file));
        QCOMPARE(inet.GetHeader("Content-type"), QString("image/jpeg"));
    }
    QVERIFY(bodies[0] != bodies[1] && bodies[1] != bodies[2]);
    const Inet::Answer missing = inet.OpenURL(kept.request(nginx.url("/samples/pic04.jpg")));
    QVERIFY(Kept::body(missing).startsWith("<html>"));
    QCOMPARE(inet.GetHeader("Content-type"), QString("text/html"));
    QCOMPARE(missing.status, 404);
}

void TestInet::openWhileBusyFailsCleanly()
{
    ScriptedServer server;
    Response stall = Response::ok("abc", "image/jpeg");
    stall.stallAfter = 1;
    server.route("/stall.jpg", stall);
    server.route("/other.jpg", Response::ok("other", "image/jpeg"));

    Inet inet;
    bool inner = true;
    connect(&server, &ScriptedServer::received, &inet, [&] {
        QTimer::singleShot(0, &inet, [&] {
            inner = inet.OpenURL({server.url("/other.jpg"), {}, {}}).answered();
            inet.Cancel();
        });
    }, Qt::SingleShotConnection);
    QVERIFY(!inet.OpenURL({server.url("/stall.jpg"), {}, {}}).answered());

    QVERIFY(!inner);
    QCOMPARE(server.paths(), QStringList{"/stall.jpg"});
    QCOMPARE(inet.ResponseCode(), int(CURLE_ABORTED_BY_CALLBACK));
    QVERIFY(!inet.isBusy());
}

// The window that owns the control can be closed while a transfer waits.
void TestInet::deletedWhileWaiting()
{
    ScriptedServer server;
    Response stall = Response::ok("abc", "image/jpeg");
    stall.stallAfter = 1;
    server.route("/stall.jpg", stall);

    Kept kept;
    QPointer<Inet> inet = new Inet;
    QStringList keptAtDelete;
    connect(inet, &Inet::Progress, inet, [&](qint64 received) {
        if (received > 0)
            QTimer::singleShot(0, inet, [&] {
                keptAtDelete = kept.files();   // the part file the body streams into
                delete inet;
            });
    });
    QVERIFY(!inet->OpenURL(kept.request(server.url("/stall.jpg"))).answered());

    QVERIFY(inet.isNull());
    QCOMPARE(keptAtDelete.size(), 1);
    QVERIFY(kept.files().isEmpty());
}

// A control made while the program is out of descriptors cannot watch its connections: its
// transfers fail with that reason instead of waiting for ever.
void TestInet::outOfDescriptorsFailsWithTheReason()
{
    ScriptedServer server;
    server.route("/a.jpg", Response::ok("abc", "image/jpeg"));
    Kept kept;
    { Inet warm; }   // libcurl's own set-up, once a process, has what it needs

    rlimit was{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &was) == 0);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit none = was;
    none.rlim_cur = rlim_t(lowestFree);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &none) == 0);
    auto inet = std::make_unique<Inet>();
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &was) == 0);
    const Inet::Answer answer = inet->OpenURL(kept.request(server.url("/a.jpg")));
    QVERIFY(!answer.answered());
    QCOMPARE(answer.errorText, QStringLiteral("Cannot watch the connection: Too many open files"));
    QVERIFY(kept.files().isEmpty());
}

void TestInet::retryAfter_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("ms");
    // Seen from Sun, 06 Nov 1994 08:49:30 GMT.
    QTest::newRow("seconds") << QByteArray("7") << 7000;
    QTest::newRow("blanks around") << QByteArray(" 2 ") << 2000;
    QTest::newRow("zero") << QByteArray("0") << 0;
    QTest::newRow("capped") << QByteArray("3600") << retrypolicy::maxRetryAfterMs;
    QTest::newRow("more seconds than ms fit in 64 bits") << QByteArray("99999999999999999") << retrypolicy::maxRetryAfterMs;
    QTest::newRow("past any integer") << QByteArray("99999999999999999999999") << retrypolicy::maxRetryAfterMs;
    QTest::newRow("IMF-fixdate") << QByteArray("Sun, 06 Nov 1994 08:49:37 GMT") << 7000;
    QTest::newRow("RFC 850") << QByteArray("Sunday, 06-Nov-94 08:49:37 GMT") << 7000;
    QTest::newRow("asctime") << QByteArray("Sun Nov  6 08:49:37 1994") << 7000;
    QTest::newRow("a date far ahead") << QByteArray("Wed, 21 Oct 2015 07:28:00 GMT") << retrypolicy::maxRetryAfterMs;
    QTest::newRow("a past date is now") << QByteArray("Sat, 05 Nov 1994 08:49:37 GMT") << 0;
    QTest::newRow("negative") << QByteArray("-5") << -1;
    QTest::newRow("a fraction") << QByteArray("1.5") << -1;
    QTest::newRow("garbage") << QByteArray("soon, please") << -1;
    QTest::newRow("absent") << QByteArray() << -1;
}

// Retry-After in each of its forms; what cannot be read is no wait at all (-1: the back-off).
void TestInet::retryAfter()
{
    QFETCH(QByteArray, value);
    QFETCH(int, ms);
    const QDateTime now(QDate(1994, 11, 6), QTime(8, 49, 30), Qt::UTC);
    QCOMPARE(retrypolicy::retryAfterMs(value, now), ms);
}

QTEST_GUILESS_MAIN(TestInet)
#include "tst_inet.moc"
