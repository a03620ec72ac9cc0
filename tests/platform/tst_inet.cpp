#include "platform/inet.h"

#include "fixtures.h"
#include "scriptedserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
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
    Inet::Keep keep{dir.path(), [](const QString &) { return true; }};

    /// The last answer's body as its part file holds it; "<nothing kept>" when there is none.
    QByteArray body(Inet &inet) const
    {
        PartFile part = inet.takePart();
        QFile f(part.path());
        if (!part.isValid() || !f.open(QIODevice::ReadOnly))
            return "<nothing kept>";
        return f.readAll();
    }
    QStringList files() const
    {
        return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }
    /// Fetches url and gives the kept body.
    QByteArray fetch(Inet &inet, const QString &url) const
    {
        inet.OpenURL(url, keep);
        return body(inet);
    }
};

const QByteArray nothing = "<nothing kept>";

QByteArray everyByteValue(int repeats)
{
    QByteArray bytes;
    for (int r = 0; r < repeats; ++r)
        for (int b = 0; b < 256; ++b)
            bytes.append(char(b));
    return bytes;
}

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
    void stallTimesOut();
    void bodyLimit_data();
    void bodyLimit();
    void consecutiveTransfersShareOneConnection();
    void transfersRunAheadAndReportInTurn();
    void redirects_data();
    void redirects();
    void refusedBeforeAnyRequest_data();
    void refusedBeforeAnyRequest();
    void failedLookUp();
    void certificateTrust_data();
    void certificateTrust();
    void throughTinyproxy();
    void seriesFromNginx();
    void openWhileBusyFailsCleanly();
    void deletedWhileWaiting();
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
    QTest::newRow("500 page") << 500 << QByteArray("<html>broken</html>") << QByteArray("Content-Type")
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

    QCOMPARE(kept.fetch(inet, server.url("/pic01.jpg")), body);
    QCOMPARE(inet.GetHeader("Content-type"), QString::fromLatin1(contentType));
    QCOMPARE(inet.GetHeader("CONTENT-TYPE"), QString::fromLatin1(contentType));
    QCOMPARE(inet.statusCode(), status);
    QCOMPARE(statesOf(states), (QList<int>{Inet::ResolvingHost, Inet::HostResolved}));
    QCOMPARE(server.paths(), QStringList{"/pic01.jpg"});
    QCOMPARE(server.requests().first().header("Accept-Encoding"), QByteArray("identity"));
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(body.size()));
    QCOMPARE(progress.last().at(1).toLongLong(), withoutLength ? qint64(-1) : qint64(body.size()));
    QVERIFY(kept.files().isEmpty());   // the body was handed over, and nothing else was made
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
    const Inet::Keep gifs{dir.path(), [&seen](const QString &type) {
                              seen << type;
                              return type == QLatin1String("image/gif");
                          }};
    Inet inet;
    QVERIFY(inet.OpenURL(server.url("/a"), gifs));
    QCOMPARE(seen, QStringList{QString::fromLatin1(contentType)});
    PartFile part = inet.takePart();
    QCOMPARE(part.isValid(), wanted);
    if (wanted)
        QCOMPARE(QFileInfo(part.path()).size(), qint64(bodySize));
    part.remove();

    QVERIFY(inet.OpenURL(server.url("/b"), gifs));
    QCOMPARE(inet.takePart().size(), qint64(4));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);
}

void TestInet::transportFailureLeavesNothing_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("refusedPort");
    QTest::addColumn<int>("code"); // -1: whichever error the engine finds

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

    QTest::newRow("refused port") << Response() << true << int(CURLE_COULDNT_CONNECT);
    QTest::newRow("reset mid-body") << reset << false << int(CURLE_RECV_ERROR);
    QTest::newRow("reset in a body without a length") << resetWithoutLength << false << int(CURLE_RECV_ERROR);
    QTest::newRow("shorter than declared") << shortBody << false << int(CURLE_PARTIAL_FILE);
    QTest::newRow("closed without answer") << silent << false << int(CURLE_GOT_NOTHING);
    QTest::newRow("garbage") << garbage << false << -1;
}

// A failure after a good answer must not leave that answer's headers, nor any part file, behind.
void TestInet::transportFailureLeavesNothing()
{
    QFETCH(Response, response);
    QFETCH(bool, refusedPort);
    QFETCH(int, code);

    ScriptedServer server;
    server.route("/good.jpg", Response::ok("earlier bytes", "image/jpeg"));
    server.route("/bad.jpg", response);
    const QString badUrl = refusedPort ? QStringLiteral("http://127.0.0.1:%1/bad.jpg").arg(freeLoopbackPort())
                                       : server.url("/bad.jpg");

    Kept kept;
    Inet inet;
    QCOMPARE(kept.fetch(inet, server.url("/good.jpg")), QByteArray("earlier bytes"));
    QCOMPARE(inet.GetHeader("Content-type"), QString("image/jpeg"));

    QSignalSpy states(&inet, &Inet::StateChanged);
    QVERIFY(!inet.OpenURL(badUrl, kept.keep));

    QCOMPARE(kept.body(inet), nothing);
    QVERIFY(kept.files().isEmpty());
    QCOMPARE(inet.GetHeader("Content-type"), QString());
    QCOMPARE(statesOf(states), (QList<int>{Inet::ResolvingHost, Inet::HostResolved, Inet::Error}));
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
    QTimer::singleShot(200, &inet, [&] {
        QCOMPARE(kept.files().size(), 1);   // the part file the body streams into
        inet.Cancel();
    });

    QVERIFY(!inet.OpenURL(server.url("/stall.jpg"), kept.keep));
    QVERIFY(inet.wasCancelled());
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

    QVERIFY(!inet.OpenURL(server.url("/pic01.jpg"), kept.keep));
    QCOMPARE(statesOf(states).last(), int(Inet::Error));
    QCOMPARE(inet.ResponseCode(), int(CURLE_ABORTED_BY_CALLBACK));
    QVERIFY(kept.files().isEmpty());
    if (cancelAt == Inet::ResolvingHost)
        QCOMPARE(server.connectionCount(), 0);
}

void TestInet::stallTimesOut()
{
    ScriptedServer server;
    Response stall = Response::ok(everyByteValue(10), "image/jpeg");
    stall.stallAfter = 10;
    server.route("/stall.jpg", stall);

    Kept kept;
    Inet inet;
    inet.setStallTimeout(300);
    QSignalSpy states(&inet, &Inet::StateChanged);
    QVERIFY(!inet.OpenURL(server.url("/stall.jpg"), kept.keep));

    QCOMPARE(statesOf(states).last(), int(Inet::Error));
    QCOMPARE(inet.ResponseCode(), int(CURLE_OPERATION_TIMEDOUT));
    QCOMPARE(inet.GetHeader("Content-type"), QString());
    QVERIFY(kept.files().isEmpty());
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

    Kept kept;
    Inet inet;
    QCOMPARE(kept.fetch(inet, server.url("/pic01.jpg")), QByteArray("one"));
    QCOMPARE(kept.fetch(inet, server.url("/pic02.jpg")), QByteArray("missing"));
    QCOMPARE(kept.fetch(inet, server.url("/pic03.jpg")), QByteArray("three"));

    QCOMPARE(server.paths(), (QStringList{"/pic01.jpg", "/pic02.jpg", "/pic03.jpg"}));
    QCOMPARE(server.connectionCount(), 1);
}

// Transfers started together run at once, on connections of their own; each reports the states
// it went through when its turn comes, and a later answer that arrived first waits for it.
void TestInet::transfersRunAheadAndReportInTurn()
{
    ScriptedServer server;
    Response slow = Response::ok("first", "image/jpeg");
    slow.delayMs = 400;
    server.route("/1.jpg", slow);
    server.route("/2.jpg", Response::ok("second", "image/jpeg"));
    server.route("/3.jpg", Response::page(404, "third"));

    Kept kept;
    Inet inet;
    QList<Inet::TransferId> ids;
    for (const char *path : {"/1.jpg", "/2.jpg", "/3.jpg"})
        ids << inet.start(server.url(path), kept.keep);
    QCOMPARE(inet.transferCount(), 3);
    QTRY_COMPARE(server.paths().size(), 3);   // all three asked for before the first answer
    QTRY_VERIFY(!inet.isRunning(ids[1]) && !inet.isRunning(ids[2]));
    QVERIFY(inet.isRunning(ids[0]));
    QCOMPARE(server.connectionCount(), 3);

    QSignalSpy states(&inet, &Inet::StateChanged);
    QVERIFY(inet.wait(ids[0]));
    QCOMPARE(kept.body(inet), QByteArray("first"));
    QVERIFY(inet.wait(ids[1]));
    QCOMPARE(kept.body(inet), QByteArray("second"));
    QVERIFY(inet.wait(ids[2]));
    QCOMPARE(inet.statusCode(), 404);
    QCOMPARE(kept.body(inet), QByteArray("third"));
    QCOMPARE(statesOf(states), (QList<int>{1, 2, 1, 2, 1, 2}));
    QCOMPARE(inet.transferCount(), 0);
    QVERIFY(!inet.wait(ids[0]));   // gone once waited for
}

void TestInet::redirects_data()
{
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<bool>("followed");

    QTest::newRow("same server") << QByteArray("/new.jpg") << true;
    QTest::newRow("relative") << QByteArray("new.jpg") << true;
    QTest::newRow("to itself, endlessly") << QByteArray("/old.jpg") << false;
    QTest::newRow("to a file") << QByteArray("file:///etc/passwd") << false;
    QTest::newRow("to another scheme") << QByteArray("ftp://127.0.0.1/new.jpg") << false;
}

void TestInet::redirects()
{
    QFETCH(QByteArray, location);
    QFETCH(bool, followed);

    ScriptedServer server;
    server.route("/old.jpg", Response::redirect(302, location));
    server.route("/new.jpg", Response::ok("moved here", "image/jpeg"));
    Kept kept;
    QStringList asked;   // only the final answer is ever offered for keeping
    kept.keep.wanted = [&asked](const QString &type) {
        asked << type;
        return true;
    };
    Inet inet;
    QSignalSpy states(&inet, &Inet::StateChanged);
    const QByteArray result = kept.fetch(inet, server.url("/old.jpg"));
    QCOMPARE(asked, followed ? QStringList{"image/jpeg"} : QStringList());

    if (followed) {
        QCOMPARE(result, QByteArray("moved here"));
        QCOMPARE(inet.GetHeader("Content-type"), QString("image/jpeg"));
        QCOMPARE(server.paths(), (QStringList{"/old.jpg", "/new.jpg"}));
        QCOMPARE(statesOf(states), (QList<int>{Inet::ResolvingHost, Inet::HostResolved}));
    } else {
        QCOMPARE(result, nothing);
        QCOMPARE(statesOf(states).last(), int(Inet::Error));
        QVERIFY(server.paths().size() <= 11);
        QCOMPARE(inet.GetHeader("Location"), QString());
    }
    QVERIFY(kept.files().isEmpty());
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
    QVERIFY(!inet.OpenURL(address.isEmpty() ? server.url("/pic01.jpg") : address));

    QCOMPARE(statesOf(states), QList<int>{Inet::Error});
    QCOMPARE(inet.ResponseCode(), code);
    QVERIFY(!inet.ResponseInfo().isEmpty());
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

    QVERIFY(!inet.OpenURL(server.url("/pic01.jpg")));
    QCOMPARE(statesOf(states), (QList<int>{Inet::ResolvingHost, Inet::Error}));
    QCOMPARE(inet.ResponseCode(), int(CURLE_COULDNT_RESOLVE_PROXY));
    QVERIFY(!inet.ResponseInfo().isEmpty());
    QCOMPARE(server.connectionCount(), 0);
}

void TestInet::certificateTrust_data()
{
    QTest::addColumn<QString>("caFile");   // in the test's folder; "" none
    QTest::addColumn<int>("failure");      // 0: answered
    QTest::newRow("not trusted") << QString() << int(CURLE_PEER_FAILED_VERIFICATION);
    QTest::newRow("trusted through the CA file") << QStringLiteral("cert.pem") << 0;
    QTest::newRow("CA file missing") << QStringLiteral("missing.pem") << int(CURLE_SSL_CACERT_BADFILE);
}

// A server with a certificate of its own, trusted only when the CA file names it.
void TestInet::certificateTrust()
{
    QFETCH(QString, caFile);
    QFETCH(int, failure);
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt has no TLS backend here to serve the test");
    const QString openssl = findTool("openssl");
    if (openssl.isEmpty())
        QSKIP("openssl is needed to make a certificate");
    QTemporaryDir dir;
    QProcess make;
    make.start(openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                         "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                         "-keyout", dir.filePath("key.pem"), "-out", dir.filePath("cert.pem")});
    QVERIFY(make.waitForFinished(30000) && make.exitCode() == 0);
    QFile certFile(dir.filePath("cert.pem"));
    QFile keyFile(dir.filePath("key.pem"));
    QVERIFY(certFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly));

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(certFile.readAll()));
    tls.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa));
    QSslServer server;
    server.setSslConfiguration(tls);
    QObject::connect(&server, &QSslServer::pendingConnectionAvailable, &server, [&server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                if (socket->readAll().contains("\r\n\r\n")) {
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 4\r\n\r\nJPEG");
                    socket->disconnectFromHost();
                }
            });
        }
    });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));

    Inet inet;
    inet.setCaFile(caFile.isEmpty() ? QString() : dir.filePath(caFile));
    QSignalSpy states(&inet, &Inet::StateChanged);
    const bool answered = inet.OpenURL(QStringLiteral("https://127.0.0.1:%1/pic01.jpg").arg(server.serverPort()),
                                       Inet::Keep{dir.path(), [](const QString &) { return true; }});
    if (failure == 0) {
        QVERIFY2(answered, qPrintable(inet.ResponseInfo()));
        QCOMPARE(inet.statusCode(), 200);
        PartFile part = inet.takePart();
        QVERIFY(part.isValid());
        QCOMPARE(part.commitAs(dir.filePath("pic01.jpg"), false, nullptr), PartFile::Commit::Done);
        QFile saved(dir.filePath("pic01.jpg"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("JPEG"));
        return;
    }
    QVERIFY(!answered);
    QCOMPARE(statesOf(states).last(), int(Inet::Error));
    QCOMPARE(inet.ResponseCode(), failure);
}

void TestInet::throughTinyproxy()
{
    TinyproxyFixture tinyproxy;
    START_FIXTURE_OR_SKIP(tinyproxy);
    ScriptedServer server;
    const QByteArray body = everyByteValue(8);
    server.route("/pic01.jpg", Response::ok(body, "image/jpeg"));

    Kept kept;
    Inet inet;
    inet.setAccessType(Inet::NamedProxy);
    inet.setProxy(QStringLiteral("127.0.0.1:%1").arg(tinyproxy.port()));
    QSignalSpy states(&inet, &Inet::StateChanged);
    QCOMPARE(kept.fetch(inet, server.url("/pic01.jpg")), body);

    QCOMPARE(inet.GetHeader("Content-type"), QString("image/jpeg"));
    QCOMPARE(statesOf(states), (QList<int>{Inet::ResolvingHost, Inet::HostResolved}));
    QVERIFY2(tinyproxy.log().contains(server.url("/pic01.jpg")), qPrintable(tinyproxy.log()));
    QCOMPARE(server.paths(), QStringList{"/pic01.jpg"});
    QVERIFY(!server.requests().first().header("Via").isEmpty());
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
        QFile served(file);
        QVERIFY(served.open(QIODevice::ReadOnly));
        bodies.append(kept.fetch(inet, nginx.url("/samples/" + QFileInfo(file).fileName())));
        QCOMPARE(bodies.last(), served.readAll());
        QCOMPARE(inet.GetHeader("Content-type"), QString("image/jpeg"));
    }
    QVERIFY(bodies[0] != bodies[1] && bodies[1] != bodies[2]);
    QVERIFY(kept.fetch(inet, nginx.url("/samples/pic04.jpg")).startsWith("<html>"));
    QCOMPARE(inet.GetHeader("Content-type"), QString("text/html"));
    QCOMPARE(inet.statusCode(), 404);
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
    QTimer::singleShot(200, &inet, [&] {
        inner = inet.OpenURL(server.url("/other.jpg"));
        inet.Cancel();
    });
    QVERIFY(!inet.OpenURL(server.url("/stall.jpg")));

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
    QTimer::singleShot(200, inet, [&inet] { delete inet; });
    QVERIFY(!inet->OpenURL(server.url("/stall.jpg"), kept.keep));

    QVERIFY(inet.isNull());
    QVERIFY(kept.files().isEmpty());
}

QTEST_GUILESS_MAIN(TestInet)
#include "tst_inet.moc"
