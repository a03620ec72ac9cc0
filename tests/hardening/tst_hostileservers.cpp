#include "fixtures.h"
#include "peakgrowth.h"
#include "platform/inet.h"
#include "scriptedserver.h"
#include "windowharness.h"

#include <QLabel>
#include <QSignalSpy>

#include <optional>

#include <curl/curl.h>

using namespace harness;

namespace {

QByteArray le16(int value)
{
    return QByteArray(1, char(value & 0xff)) + char((value >> 8) & 0xff);
}

// A GIF whose header claims a picture of width x height with next to no picture data behind it;
// its one frame is as large, or only frameHeight rows high.
QByteArray gifClaiming(int width, int height, int frameHeight = -1)
{
    // Two colours in the global table, then one image of one coded pixel.
    return "GIF89a" + le16(width) + le16(height) + QByteArray("\x80\x00\x00\xff\xff\xff\x00\x00\x00", 9)
        + ',' + le16(0) + le16(0) + le16(width) + le16(frameHeight < 0 ? height : frameHeight)
        + QByteArray("\x00\x02\x02\x44\x01\x00;", 7);
}

// A real JPEG, baseline or progressive, with its frame header changed to claim width x height.
QByteArray jpegClaiming(int width, int height, bool progressive = false)
{
    QByteArray bytes = picture("JPEG", Qt::darkCyan, QSize(40, 30), progressive);
    const qsizetype frame = bytes.indexOf(progressive ? "\xff\xc2" : "\xff\xc0");
    if (frame < 0)
        return QByteArray();
    bytes[frame + 5] = char(height >> 8);
    bytes[frame + 6] = char(height & 0xff);
    bytes[frame + 7] = char(width >> 8);
    bytes[frame + 8] = char(width & 0xff);
    return bytes;
}

QByteArray big32(quint32 value) { return QByteArray(1, char(value >> 24)) + char(value >> 16) + char(value >> 8) + char(value); }

// A real PNG whose header claims width x height, of that bit depth, interlaced or not.
QByteArray pngClaiming(quint32 width, quint32 height, int depth = 8, bool interlaced = false)
{
    QByteArray bytes = picture("PNG");
    QByteArray header = "IHDR" + big32(width) + big32(height) + char(depth) + char(2) + '\0' + '\0' + char(interlaced);
    quint32 crc = 0xffffffff;
    for (const char c : header) {
        crc ^= uchar(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 1 ? 0xedb88320 ^ (crc >> 1) : crc >> 1;
    }
    return bytes.replace(12, 21, header + big32(~crc));
}

// A real lossy WebP whose frame claims width x height; or, animated, a canvas that large with
// alpha, and the real 40 x 30 picture as its one frame.
QByteArray webpClaiming(int width, int height, bool animated = false)
{
    QByteArray bytes = picture("WEBP");
    if (!animated)
        return bytes.replace(26, 4, le16(width) + le16(height));
    auto le24 = [](int value) { return le16(value) + char(value >> 16); };
    auto chunk = [&](const QByteArray &name, const QByteArray &data) { return name + le24(data.size()) + '\0' + data; };
    const QByteArray frame = le24(0) + le24(0) + le24(39) + le24(29) + le24(100) + '\0' + bytes.mid(12);
    const QByteArray body = "WEBP" + chunk("VP8X", "\x12" + QByteArray(3, '\0') + le24(width - 1) + le24(height - 1))
                          + chunk("ANIM", QByteArray(6, '\0')) + chunk("ANMF", frame);
    return "RIFF" + le24(body.size()) + '\0' + body;
}

} // namespace

/// Servers that misbehave in every way a transfer can see: the run never crashes, never keeps
/// a partial or foreign body, steps the number, and goes on with the next address.
class TestHostileServers : public QObject
{
    Q_OBJECT

    std::unique_ptr<Folders> m_folders;
    std::unique_ptr<ScriptedServer> m_server;
    Settings m_settings;

private Q_SLOTS:
    void init()
    {
        m_folders = std::make_unique<Folders>();
        m_server = std::make_unique<ScriptedServer>();
        QVERIFY(m_server->isListening());
        m_settings = Settings();
    }

    void cleanup()
    {
        closeAllWindows();
        m_server.reset();
        m_folders.reset();
    }

    void hostileAnswer_data()
    {
        QTest::addColumn<Response>("answer");
        QTest::addColumn<qint64>("bodyLimit");      // 0: the program's own
        QTest::addColumn<QByteArray>("saved");      // null: nothing may be saved
        QTest::addColumn<int>("code");              // the failure's error code; -1: whichever

        const QByteArray jpeg = picture("JPEG");
        auto with = [](Response r, const std::function<void(Response &)> &change) {
            change(r);
            return r;
        };

        QTest::newRow("endless body, abandoned at the cap")
                << with(Response::ok(QByteArray(64 * 1024, 'e'), "image/jpeg"), [](Response &r) { r.endless = true; })
                << qint64(1024 * 1024) << QByteArray() << -1;
        QTest::newRow("declared length above the cap")
                << with(Response::ok("small", "image/jpeg"), [](Response &r) { r.declaredLength = qint64(600) * 1024 * 1024; })
                << qint64(0) << QByteArray() << -1;
        QTest::newRow("length claims more than is sent")
                << with(Response::ok(jpeg, "image/jpeg"), [&](Response &r) { r.declaredLength = jpeg.size() + 5000; })
                << qint64(0) << QByteArray() << -1;
        QTest::newRow("length claims less than is sent")
                << with(Response::ok("0123456789 and more that is not the body", "image/jpeg"),
                        [](Response &r) { r.declaredLength = 10; })
                << qint64(0) << QByteArray("0123456789") << -1;
        QTest::newRow("reset mid-body")
                << with(Response::ok(QByteArray(200000, 'r'), "image/jpeg"), [](Response &r) { r.resetAfter = 5000; })
                << qint64(0) << QByteArray() << -1;
        // Without a length the body ends where the connection ends; that is a whole answer.
        QTest::newRow("body ended by closing, without a length")
                << with(Response::ok(jpeg, "image/jpeg"), [](Response &r) { r.withoutLength = true; })
                << qint64(0) << jpeg << -1;
        QTest::newRow("garbage instead of HTTP")
                << with(Response(), [](Response &r) { r.raw = noise(4096); }) << qint64(0) << QByteArray() << -1;
        QTest::newRow("headers that never end")
                << with(Response(), [](Response &r) { r.raw = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n"; })
                << qint64(0) << QByteArray() << -1;
        QTest::newRow("closed without an answer")
                << with(Response(), [](Response &r) { r.closeWithoutAnswer = true; }) << qint64(0) << QByteArray() << -1;
        QTest::newRow("redirect loop")
                << Response::redirect(302, "/pic01.jpg") << qint64(0) << QByteArray() << int(CURLE_TOO_MANY_REDIRECTS);
        QTest::newRow("redirect to a file: address")
                << Response::redirect(302, "file:///etc/hostname") << qint64(0) << QByteArray()
                << int(CURLE_UNSUPPORTED_PROTOCOL);
        QTest::newRow("redirect to a picture")
                << Response::redirect(301, "/elsewhere/real.jpg") << qint64(0) << QByteArray("the real picture") << -1;
        QTest::newRow("image/jpeg that is HTML")
                << Response::ok("<html><body>not a picture</body></html>", "image/jpeg")
                << qint64(0) << QByteArray("<html><body>not a picture</body></html>") << -1;
        QTest::newRow("truncated JPEG")
                << Response::ok(jpeg.left(jpeg.size() / 2), "image/jpeg") << qint64(0) << jpeg.left(jpeg.size() / 2) << -1;
        QTest::newRow("GIF claiming 60000 x 60000")
                << Response::ok(gifClaiming(60000, 60000), "image/gif") << qint64(0) << gifClaiming(60000, 60000) << -1;
        QTest::newRow("compressed body is kept as sent")
                << Response::ok("\x1f\x8b not really gzip", "image/jpeg").header("Content-Encoding", "gzip")
                << qint64(0) << QByteArray("\x1f\x8b not really gzip") << -1;
    }

    // The hostile answer comes first, a good picture second: the second must arrive whole.
    void hostileAnswer()
    {
        QFETCH(Response, answer);
        QFETCH(qint64, bodyLimit);
        QFETCH(QByteArray, saved);
        QFETCH(int, code);
        const QByteArray good = picture("JPEG", Qt::darkRed);
        m_server->route(QStringLiteral("/pic01.jpg"), answer);
        m_server->route(QStringLiteral("/pic02.jpg"), Response::ok(good, "image/jpeg"));
        m_server->route(QStringLiteral("/elsewhere/real.jpg"), Response::ok("the real picture", "image/jpeg"));
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n2\r\n"));

        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        if (bodyLimit > 0)
            w->inet().setBodyLimit(bodyLimit);
        PromptAnswerer prompts(QStringLiteral("renamed"));
        QStringList texts;
        connect(statusLine(w), &StatusLine::textChanged, w, [&texts](const QString &t) { texts << t; });
        click(w, "btnGet");

        QCOMPARE(endText(status(w)), QStringLiteral("Completed downloading maximum number if files (2)"));
        QCOMPARE(number(w), QStringLiteral("03"));
        QCOMPARE(prompts.count, 0);
        QStringList expected{QStringLiteral("pic02.jpg")};
        if (!saved.isNull())
            expected.prepend(QStringLiteral("pic01.jpg"));
        QCOMPARE(entries(m_folders->out), expected);
        if (!saved.isNull())
            QCOMPARE(contents(m_folders->outFile(QStringLiteral("pic01.jpg"))), saved);
        else
            QVERIFY2(texts.filter(QStringLiteral("ErrorCode: ")).size() == 1, qPrintable(texts.join(QLatin1Char('\n'))));
        if (code >= 0)
            QVERIFY2(texts.filter(QStringLiteral("ErrorCode: %1 : ").arg(code)).size() == 1, qPrintable(texts.join(QLatin1Char('\n'))));
        QCOMPARE(contents(m_folders->outFile(QStringLiteral("pic02.jpg"))), good);
        // Nothing strayed outside the target folder either.
        QCOMPARE(entries(m_folders->dir.path()), QStringList({QStringLiteral("out"), QStringLiteral("program")}));
    }

    // The body goes from the socket to its part file: memory grows by far less than an answer
    // cut at 64 MiB, whatever the process held before the run.
    void endlessBodyIsCutAtTheCap()
    {
        Response endless = Response::ok(QByteArray(64 * 1024, 'e'), "image/jpeg");
        endless.endless = true;
        m_server->route(QStringLiteral("/pic01.jpg"), endless);
        QVERIFY(m_folders->writeParameters());
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        w->inet().setBodyLimit(64 * 1024 * 1024);
        trigger(w, "mul");
        const PeakGrowth peak;
        QVERIFY2(peak.valid(), "the process's peak memory cannot be read or reset");
        click(w, "btnGet");
        QCOMPARE(w->inet().ResponseInfo(), QStringLiteral("Answer is larger than the limit of 64 MiB"));
        QVERIFY(entries(m_folders->out).isEmpty());
        QCOMPARE(number(w), QStringLiteral("02"));
        QVERIFY2(peak.bytes() < 16 * 1024 * 1024, qPrintable(QString::number(peak.bytes())));
    }

    // A server that sends a byte a second holds a transfer until its stall window ends; the
    // window must stay usable all the while, and Stop must end the transfer at once.
    void oneByteASecond()
    {
        Response drip = Response::ok(QByteArray(600, 'd'), "image/jpeg");
        drip.dripBytes = 1;
        drip.dripIntervalMs = 1000;
        m_server->route(QStringLiteral("/pic01.jpg"), drip);
        QVERIFY(m_folders->writeParameters());
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));

        bool typedDuringTheRun = false;
        QTimer::singleShot(2500, w, [&] {
            QVERIFY(w->isRunning());
            QLineEdit *suffix = field(w, "txtURL3");
            suffix->setFocus();
            suffix->selectAll();
            QTest::keyClicks(suffix, QStringLiteral(".gif"));
            trigger(w, "mul");
            trigger(w, "mul");
            typedDuringTheRun = suffix->text() == QLatin1String(".gif") && w->isRunning();
            click(w, "btnStop");
        });
        click(w, "btnGet");

        QVERIFY(typedDuringTheRun);
        QCOMPARE(endText(status(w)), QStringLiteral("User Terminated Download Process"));
        QCOMPARE(number(w), QStringLiteral("01"));
        QVERIFY(entries(m_folders->out).isEmpty());
        // While it drips, the numbers after it are fetched, but not past the series' end.
        // The automatic pace gives a plain HTTP host at most autoConnections at once.
        QVERIFY2(m_server->requests().size() <= HostPace::autoConnections + m_settings.maxMisses, qPrintable(m_server->paths().join(" ")));
    }

    void previewOfHostilePictures_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<bool>("refused");     // a picture too costly to decode: one status line says so
        QTest::addColumn<bool>("grows");       // decoded smaller than it is, so again for a larger window
        QTest::newRow("GIF claiming 60000 x 60000") << gifClaiming(60000, 60000) << false << true << false;
        QTest::newRow("GIF claiming 7000 x 7000") << gifClaiming(7000, 7000) << false << true << false;
        QTest::newRow("GIF frame 7000 x 1 on a 7000 x 7000 screen") << gifClaiming(7000, 7000, 1) << false << true << false;
        QTest::newRow("GIF claiming 4000 x 4000") << gifClaiming(4000, 4000) << true << false << true;
        QTest::newRow("GIF claiming 65535 x 1") << gifClaiming(65535, 1) << true << false << false;
        QTest::newRow("JPEG claiming 60000 x 60000") << jpegClaiming(60000, 60000) << false << true << false;
        QTest::newRow("JPEG claiming 30000 x 30000") << jpegClaiming(30000, 30000) << true << false << true;
        QTest::newRow("progressive JPEG claiming 32000 x 32000") << jpegClaiming(32000, 32000, true) << false << true << false;
        QTest::newRow("progressive JPEG claiming 10000 x 10000") << jpegClaiming(10000, 10000, true) << false << true << false;
        QTest::newRow("progressive JPEG claiming 9000 x 9000") << jpegClaiming(9000, 9000, true) << true << false << true;
        QTest::newRow("HTML") << QByteArray("<html><body>no</body></html>") << false << false << false;
        QTest::newRow("empty") << QByteArray() << false << false << false;
        QTest::newRow("small GIF") << gifClaiming(40, 30) << true << false << false;
        const QByteArray big = picture("JPEG", Qt::darkGreen, QSize(3000, 2000));
        QTest::newRow("truncated JPEG") << big.left(big.size() / 3) << true << false << true;
        for (const bool progressive : {false, true})
            QTest::addRow("50 megapixels%s", progressive ? ", progressive" : "")
                    << picture("JPEG", Qt::darkBlue, QSize(8660, 5774), progressive) << true << false << true;
        // PNG: read scaled a row at a time, or else decoded whole; WebP: always whole.
        QTest::newRow("PNG of 50 megapixels") << picture("PNG", Qt::darkRed, QSize(8660, 5774)) << true << false << true;
        QTest::newRow("interlaced PNG claiming 60000 x 60000") << pngClaiming(60000, 60000, 8, true) << false << true << false;
        QTest::newRow("16-bit PNG claiming 6000 x 6000") << pngClaiming(6000, 6000, 16) << false << true << false;
        QTest::newRow("16-bit PNG claiming 4500 x 4500") << pngClaiming(4500, 4500, 16) << false << true << false;
        QTest::newRow("WebP 4000 x 3000") << picture("WEBP", Qt::darkRed, QSize(4000, 3000)) << true << false << true;
        QTest::newRow("WebP claiming 16383 x 16383") << webpClaiming(16383, 16383) << false << true << false;
        QTest::newRow("animated WebP claiming 16383 x 16383") << webpClaiming(16383, 16383, true) << false << true << false;
        QTest::newRow("animated WebP 200 x 100") << webpClaiming(200, 100, true) << true << false << false;
    }

    // Whatever a picture's header claims, the preview never takes more than its memory limit
    // to decode it, and never decodes on the window's thread, also when the window grows.
    void previewOfHostilePictures()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, shown);
        QFETCH(bool, refused);
        QFETCH(bool, grows);
        QVERIFY(m_folders->writeParameters());
        RefusedPort nowhere;   // nothing is fetched
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, nowhere.url(QStringLiteral("/")));
        auto *img1 = w->findChild<QLabel *>(QStringLiteral("img1"));
        const QString path = m_folders->outFile(QStringLiteral("suspect.jpg"));
        QVERIFY(writeFile(path, bytes));
        const qint64 logo = img1->pixmap().cacheKey();

        // Each decode on its own, the first and the one for a larger window.
        auto withinLimit = [](const PeakGrowth &peak) { return peak.bytes() < preview::memoryLimit; };
        std::optional<PeakGrowth> peak(std::in_place);
        QVERIFY2(peak->valid(), "the process's peak memory cannot be read or reset");
        QCOMPARE(w->showPicture(path), shown);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isDecodingPreview(), 60000);
        QCOMPARE(img1->pixmap().cacheKey() != logo, shown);
        QCOMPARE(status(w).startsWith(QLatin1String("Not shown in the preview: decoding this")), refused);
        QVERIFY(img1->isVisible());

        // A larger window decodes the picture again, beside the window: what the preview holds
        // changes only once that decode is done.
        QVERIFY2(withinLimit(*peak), qPrintable(QString::number(peak->bytes())));
        const QSize decoded = img1->pixmap().size();
        peak.emplace();
        w->resize(1600, 1000);
        w->fitPreview();
        QCOMPARE(w->isDecodingPreview(), grows);
        QCOMPARE(img1->pixmap().size(), decoded);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isDecodingPreview(), 60000);
        QCOMPARE(img1->pixmap().width() > decoded.width(), grows);
        QVERIFY2(withinLimit(*peak), qPrintable(QString::number(peak->bytes())));
    }

    void lastAddressPieces_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("piece");    // the address's last "/" piece
        QTest::addColumn<QString>("saved");    // empty: nothing is saved

        const QString longName = QString(296, QLatin1Char('x')) + QStringLiteral(".jpg");
        const QString fitting = QString(246, QLatin1Char('y')) + QStringLiteral(".jpg");
        QTest::newRow("..") << "" << ".." << "";
        QTest::newRow(".") << "" << "." << "";
        QTest::newRow("address ends with /") << "" << "" << "";
        QTest::newRow(".. after a header") << "x_" << ".." << "x_..";
        QTest::newRow("ends with / after a header") << "x_" << "" << "x_";
        QTest::newRow("300 characters") << "" << longName << "";
        QTest::newRow("250 characters") << "" << fitting << fitting;
        QTest::newRow("%2F") << "" << "a%2Fb.jpg" << "a_b.jpg";
        QTest::newRow("%2F.. climbing") << "" << "..%2F..%2Fescape.jpg" << ".._.._escape.jpg";
        QTest::newRow("query") << "" << "pic.jpg?size=large&n=1" << "pic.jpg?size=large&n=1";
        QTest::newRow("backslash") << "" << "a\\b.jpg" << "a_b.jpg";
    }

    // The name made of the last piece never leaves the target folder; one refused is skipped.
    void lastAddressPieces()
    {
        QFETCH(QString, header);
        QFETCH(QString, piece);
        QFETCH(QString, saved);
        const QByteArray body = picture("JPEG");
        m_server->routeOthers(Response::ok(body, "image/jpeg"));
        QVERIFY(m_folders->writeParameters("[HEADERTEXT]\r\n" + header.toUtf8() + "\r\n"));
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/d/")),
                                     QString(), piece);
        trigger(w, "mul");
        PromptAnswerer prompts(QStringLiteral("renamed"));
        click(w, "btnGet");

        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(prompts.count, 0);
        QCOMPARE(number(w), QStringLiteral("1"));
        QCOMPARE(entries(m_folders->out), saved.isEmpty() ? QStringList() : QStringList(saved));
        if (!saved.isEmpty()) {
            QCOMPARE(contents(m_folders->outFile(saved)), body);
            QCOMPARE(endText(status(w)), QStringLiteral("Downloading Stopped because Multiple Download Option is OFF"));
        } else {
            QVERIFY2(status(w).contains(QLatin1String("1 file(s) not saved")), qPrintable(status(w)));
        }
        QCOMPARE(entries(m_folders->dir.path()), QStringList({QStringLiteral("out"), QStringLiteral("program")}));
    }
};

QTEST_MAIN(TestHostileServers)
#include "tst_hostileservers.moc"
