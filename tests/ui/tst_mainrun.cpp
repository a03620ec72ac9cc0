#include "ui/dialogs/frmrunlog.h"
#include "fixtures.h"
#include "platform/inet.h"
#include "scriptedserver.h"
#include "ui/main/preview.h"
#include "windowharness.h"

#include <QClipboard>
#include <QImageReader>
#include <QLabel>
#include <QProgressBar>
#include <QScopeGuard>
#include <QTreeWidget>
#include <QSignalSpy>
#include <QTableView>

#include <algorithm>

using namespace harness;

/// Whole runs through the main window, as a user clicks them, against real servers.
class TestMainRun : public QObject
{
    Q_OBJECT

    std::unique_ptr<Folders> m_folders;
    Settings m_settings;

    frmSeriograb *makeWindow(const QString &prefix)
    {
        return harness::makeWindow(m_settings, m_folders->place, prefix);
    }

    // Each series of the Series list: its address and its state, up to its counts.
    static QStringList seriesStates(frmSeriograb *w)
    {
        QStringList states;
        const auto *list = w->findChild<QTreeWidget *>(QStringLiteral("lstSeries"));
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            states << list->topLevelItem(i)->text(0) + QLatin1Char(' ') + endText(list->topLevelItem(i)->text(1));
        return states;
    }

    QString runLog(frmSeriograb *w)
    {
        trigger(w, "runLog");
        return qobject_cast<frmRunLog *>(harness::openWindow("frmRunLog"))->shownLines().join(QLatin1Char('\n'));
    }

private Q_SLOTS:
    void init()
    {
        m_folders = std::make_unique<Folders>();
        m_settings = Settings();
    }

    void cleanup()
    {
        closeAllWindows();
        m_folders.reset();
    }

    void pngAndWebpByChoice_data()
    {
        QTest::addColumn<QByteArray>("format");   // as Qt writes it
        QTest::addColumn<bool>("all");            // [KEEP] all: PNG and WebP are kept too
        QTest::addColumn<bool>("plugins");        // Qt's image format plug-ins are installed
        QTest::addColumn<QString>("report");
        const QString saved = QStringLiteral("Completed downloading maximum number if files (1) - 1 saved, 0 gave no picture");
        const QString leftBehind = QStringLiteral("Completed downloading maximum number if files (1) - 0 saved, 1 gave no picture"
                                                  " - 1 were PNG or WebP, not kept: see Options");
        // First of all: Qt's plug-ins can be hidden only until Qt has read its first picture.
        QTest::newRow("WebP without the plug-ins") << QByteArray("WEBP") << true << false << saved;
        QTest::newRow("PNG") << QByteArray("PNG") << true << true << saved;
        QTest::newRow("WebP") << QByteArray("WEBP") << true << true << saved;
        QTest::newRow("PNG left behind") << QByteArray("PNG") << false << true << leftBehind;
        QTest::newRow("WebP left behind") << QByteArray("WEBP") << false << true << leftBehind;
    }

    // [KEEP] decides over PNG and WebP answers: kept byte for byte and shown, or left behind and
    // said so; a WebP that Qt cannot read without its plug-ins is kept, and the line says why.
    // The first test of all, for its first row.
    void pngAndWebpByChoice()
    {
        QFETCH(QByteArray, format);
        QFETCH(bool, all);
        QFETCH(bool, plugins);
        QFETCH(QString, report);
        const QStringList libraryPaths = QCoreApplication::libraryPaths();
        const auto restore = qScopeGuard([&] { QCoreApplication::setLibraryPaths(libraryPaths); });
        QByteArray bytes;
        if (plugins) {
            bytes = harness::picture(format, Qt::darkMagenta, QSize(300, 200));
        } else {
            // Qt's own plug-ins less WebP's, and a 2 x 2 WebP that Qt wrote.
            const QString hidden = m_folders->dir.filePath(QStringLiteral("plugins/imageformats"));
            QVERIFY(QDir().mkpath(hidden));
            for (const QString &path : libraryPaths)
                for (const QFileInfo &plugin : QDir(path + QStringLiteral("/imageformats")).entryInfoList(QDir::Files))
                    if (!plugin.fileName().contains(QLatin1String("webp")))
                        QFile::link(plugin.filePath(), hidden + QLatin1Char('/') + plugin.fileName());
            QCoreApplication::setLibraryPaths({m_folders->dir.filePath(QStringLiteral("plugins"))});
            QVERIFY2(!QImageReader::supportedImageFormats().contains("webp"),
                     "Qt read a picture before this row; it must run first");
            bytes = QByteArray::fromBase64("UklGRhwAAABXRUJQVlA4TBAAAAAvAUAAAAdQwChg/wMR0f8A");
        }
        const QString suffix = QStringLiteral(".") + QString::fromLatin1(format).toLower();
        ScriptedServer server;
        server.route(QStringLiteral("/pic01") + suffix, Response::ok(bytes, "image/" + format.toLower()));
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n1\r\n"));
        frmSeriograb *w = makeWindow(server.url(QStringLiteral("/pic")));
        w->findChild<QLineEdit *>(QStringLiteral("txtURL3"))->setText(suffix);
        // Once the window has read its settings.
        m_settings.keep = all ? Settings::Keep::All : Settings::Keep::GifJpeg;
        click(w, "btnGet");

        QTRY_VERIFY(!w->isDecodingPreview());
        QCOMPARE(status(w), report);
        QCOMPARE(contents(m_folders->out + QStringLiteral("/pic01") + suffix), all ? bytes : QByteArray("<missing>"));
        const QImage shown = w->findChild<QLabel *>(QStringLiteral("img1"))->pixmap().toImage();
        const QImage served = QImage::fromData(bytes);
        QCOMPARE(!served.isNull() && shown.pixelColor(shown.rect().center()) == served.pixelColor(served.rect().center()), all && plugins);
        if (!plugins) {
            // Why it is not shown goes into the Run Log, before the end report, never over it.
            w->findChild<QAction *>(QStringLiteral("runLog"))->trigger();
            const QString log = qobject_cast<frmRunLog *>(harness::openWindow("frmRunLog"))->shownLines().join('\n');
            QVERIFY2(log.contains(QStringLiteral("Not shown in the preview: WebP needs the package qt6-image-formats-plugins")),
                     qPrintable(log));
        }
    }

    // Three series pasted at once: the first goes into the fields, all are listed, and Get runs
    // them in turn, each ending by its own rules; a failing one does not end the queue.
    void queueOfSeries()
    {
        ScriptedServer server;
        server.route(QStringLiteral("/a/pic01.jpg"), Response::ok("a1", "image/jpeg"));   // then misses
        for (int n = 1; n <= 5; ++n)
            server.route(QStringLiteral("/b/img%1.jpg").arg(n, 2, 10, QLatin1Char('0')), Response::ok("b" + QByteArray::number(n), "image/jpeg"));
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n4\r\n[MAXMISSES]\r\n2\r\n"));
        const QString a = server.url(QStringLiteral("/a/pic01.jpg"));
        const QString failing = QStringLiteral("http://127.0.0.1:1/c01.jpg");
        const QString b = server.url(QStringLiteral("/b/img01.jpg"));
        frmSeriograb *w = makeWindow(QString());
        QGuiApplication::clipboard()->setText(a + QStringLiteral("\n# and then\n\n") + failing + QLatin1Char('\n') + b);
        trigger(w, "pasteAddress");
        QCOMPARE(w->prefixText(), server.url(QStringLiteral("/a/pic")));
        QVERIFY2(status(w).endsWith(QLatin1String(" - 2 more series wait in the Series list")), qPrintable(status(w)));
        QStringList said;
        connect(statusLine(w), &StatusLine::textChanged, w, [&said](const QString &text) { said << text; });

        click(w, "btnGet");
        QCOMPARE(seriesStates(w).at(0), a + QStringLiteral(" ended: Downloading Stopped because 2 numbers in a row gave no picture"));
        QVERIFY2(seriesStates(w).at(1).startsWith(failing + QStringLiteral(" failed: Downloading Stopped because the server at "
                                                                          "127.0.0.1:1 refused the connection")),
                 qPrintable(seriesStates(w).at(1)));
        QCOMPARE(seriesStates(w).at(2), b + QStringLiteral(" ended: Completed downloading maximum number if files (4)"));
        QCOMPARE(status(w), QStringLiteral("3 series: 2 ended with their series, 1 failed - 5 saved"));
        QVERIFY(said.contains(QStringLiteral("Series 3 of 3 - Opening :") + server.url(QStringLiteral("/b/img02.jpg"))));
        QCOMPARE(entries(m_folders->out), QStringList({"img01.jpg", "img02.jpg", "img03.jpg", "img04.jpg", "pic01.jpg"}));
        QVERIFY(runLog(w).contains(QStringLiteral("  Series 2 of 3: ") + failing + QStringLiteral("  into ")));
        QCOMPARE(contents(m_folders->place.file(QStringLiteral("queue.par"))),
                 QByteArray("# Seriograb: the series still to fetch, one address a line\r\n"));
    }

    // Stop holds the queue; what is still to fetch is kept in queue.par, and the next session
    // offers it back, the stopped series where it stopped.
    void queueSurvivesARestart()
    {
        ScriptedServer server;
        server.route(QStringLiteral("/a/pic01.jpg"), Response::ok("a1", "image/jpeg"));
        Response stall = Response::ok(QByteArray(50000, 's'), "image/jpeg");
        stall.stallAfter = 10;
        server.route(QStringLiteral("/a/pic02.jpg"), stall);
        QVERIFY(m_folders->writeParameters("[TRANSFERS]\r\n1\r\n"));
        const QStringList addresses = {server.url(QStringLiteral("/a/pic01.jpg")), QStringLiteral("http://h/b1.gif"),
                                       QStringLiteral("http://h/c1.gif")};
        QPointer<frmSeriograb> w = makeWindow(QString());
        w->setAddress(addresses.join(QLatin1Char('\n')));   // as the command line hands them over
        bool partFileAtStop = false;
        connect(&server, &ScriptedServer::received, w, [&](const QString &path) {
            if (path == QLatin1String("/a/pic02.jpg"))
                QTimer::singleShot(0, w, [&] {
                    partFileAtStop = QTest::qWaitFor([&] { return entries(m_folders->out).size() == 2; });
                    click(w, "btnStop");
                });
        });
        click(w, "btnGet");
        QVERIFY(partFileAtStop);
        QCOMPARE(status(w), QStringLiteral("1 series: 0 ended with their series, 1 stopped - 1 saved - 2 still waiting"));
        QCOMPARE(entries(m_folders->out), QStringList{QStringLiteral("pic01.jpg")});
        const QString resumed = server.url(QStringLiteral("/a/pic02.jpg"));
        QCOMPARE(seriesStates(w), QStringList({resumed + QStringLiteral(" stopped: User Terminated Download Process"),
                                               addresses[1] + QStringLiteral(" waiting"),
                                               addresses[2] + QStringLiteral(" waiting")}));
        w->close();
        QTRY_VERIFY(w.isNull());

        auto *again = new frmSeriograb(m_settings, m_folders->place);
        again->setAttribute(Qt::WA_DeleteOnClose);
        QCOMPARE(seriesStates(again), QStringList({resumed + QStringLiteral(" waiting"), addresses[1] + QStringLiteral(" waiting"),
                                                   addresses[2] + QStringLiteral(" waiting")}));
        QCOMPARE(again->prefixText() + again->numberText() + again->suffixText(), resumed);
        QCOMPARE(status(again), QStringLiteral("3 series wait from the last session, the first in the fields: press Get to fetch them"));
    }

    void seriesFromNginx()
    {
        const QString root = m_folders->dir.filePath(QStringLiteral("www"));
        const QStringList served = writeJpegSeries(root + QStringLiteral("/series"), 20);
        NginxFixture nginx(root);
        START_FIXTURE_OR_SKIP(nginx);
        QVERIFY(m_folders->writeParameters());   // no maximum: the series ends the run by itself

        const QString prefix = nginx.url(QStringLiteral("/series/pic"));
        frmSeriograb *w = makeWindow(prefix);
        // The Run Log, open during the run, gets every number's row in the end, in order.
        trigger(w, "runLog");
        const QAbstractItemModel *rows = harness::openWindow("frmRunLog")->findChild<QTableView *>(QStringLiteral("tblLog"))->model();
        click(w, "btnGet");

        QCOMPARE(status(w), QStringLiteral("Downloading Stopped because 10 numbers in a row gave no picture"
                                           " - 20 saved, 10 gave no picture"));
        QTRY_COMPARE(rows->rowCount(), 33);   // the run's start, 30 numbers, its pace and its end
        QCOMPARE(w->findChild<QWidget *>(QStringLiteral("sbar1Text"))->toolTip(), status(w));   // the status line's details too
        for (int n = 1; n <= 30; ++n)
            QCOMPARE(rows->index(n, 0).data().toString(), QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')));
        QCOMPARE(number(w), QStringLiteral("31"));
        QCOMPARE(entries(m_folders->out).size(), 20);
        for (const QString &file : served)
            QCOMPARE(contents(m_folders->outFile(QFileInfo(file).fileName())), contents(file));
        QCOMPARE(contents(m_folders->place.file(QStringLiteral("history.par"))), "cmburl1=" + prefix.toUtf8() + "\r\n");
        auto *box = w->findChild<QComboBox *>(QStringLiteral("cmbURL1"));
        QCOMPARE(box->count(), 1);
        QCOMPARE(box->currentText(), prefix);
        // The last picture is what the preview shows, once decoded.
        QVERIFY(!w->findChild<QProgressBar *>(QStringLiteral("prgTransfer"))->isVisible());
        QTRY_VERIFY(!w->isDecodingPreview());
        const QImage shown = w->findChild<QLabel *>(QStringLiteral("img1"))->pixmap().toImage();
        QCOMPARE(shown, QImage(served.last()).convertToFormat(shown.format()));
    }

    void seriesThroughTinyproxy_data()
    {
        QTest::addColumn<bool>("highPort");
        QTest::newRow("port below 32768") << false;
        QTest::newRow("port above 32767") << true;
    }

    void seriesThroughTinyproxy()
    {
        QFETCH(bool, highPort);
        const QString root = m_folders->dir.filePath(QStringLiteral("www"));
        const QStringList served = writeJpegSeries(root, 5);
        NginxFixture nginx(root);
        START_FIXTURE_OR_SKIP(nginx);
        TinyproxyFixture proxy;
        if (highPort)
            proxy.setPortRange(40000, 60999);
        START_FIXTURE_OR_SKIP(proxy);
        QCOMPARE(proxy.port() > 32767, highPort);
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n5\r\n[PROXYIP]\r\n127.0.0.1\r\n[PROXYPORT]\r\n"
                                                              + QByteArray::number(proxy.port()) + "\r\n"));

        frmSeriograb *w = makeWindow(nginx.url(QStringLiteral("/pic")));
        trigger(w, "get");   // the menu does what the button does

        QCOMPARE(endText(status(w)), QStringLiteral("Completed downloading maximum number if files (5)"));
        for (const QString &file : served)
            QCOMPARE(contents(m_folders->outFile(QFileInfo(file).fileName())), contents(file));
        QTRY_VERIFY(proxy.log().count(QStringLiteral("/pic0")) >= 5);
        for (int n = 1; n <= 5; ++n)
            QVERIFY2(proxy.log().contains(QStringLiteral("/pic0%1.jpg").arg(n)), qPrintable(proxy.log().right(2000)));
    }

    // Stop during a window of four transfers ends them all: no part file is left, no request
    // goes past the window, and the number stays on the picture that was cut short.
    void stopDuringAStalledTransfer()
    {
        ScriptedServer server;
        server.route(QStringLiteral("/pic01.jpg"), Response::ok("first", "image/jpeg"));
        Response stall = Response::ok(QByteArray(50000, 's'), "image/jpeg");
        stall.stallAfter = 10;
        server.routeOthers(stall);
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n50\r\n"));
        frmSeriograb *w = makeWindow(server.url(QStringLiteral("/pic")));
        bool partFilesAtStop = false;
        connect(statusLine(w), &StatusLine::textChanged, w, [&, w](const QString &text) {
            if (!text.endsWith(QLatin1String("pic02.jpg")))
                return;
            QTimer::singleShot(0, w, [&, w] {
                // pic01.jpg, and a part file for each transfer in flight
                partFilesAtStop = QTest::qWaitFor([&] { return entries(m_folders->out).size() == 5; });
                click(w, "btnStop");
            });
        });
        click(w, "btnGet");
        QVERIFY(partFilesAtStop);
        QCOMPARE(endText(status(w)), QStringLiteral("User Terminated Download Process"));
        QCOMPARE(number(w), QStringLiteral("02"));   // the picture Stop cut short comes next
        QCOMPARE(entries(m_folders->out), QStringList{QStringLiteral("pic01.jpg")});
        QCOMPARE(contents(m_folders->outFile(QStringLiteral("pic01.jpg"))), QByteArray("first"));
        const QStringList window{"/pic01.jpg", "/pic02.jpg", "/pic03.jpg", "/pic04.jpg", "/pic05.jpg"};
        for (const QString &path : server.paths())
            QVERIFY2(window.contains(path), qPrintable(path));
        QCOMPARE(w->inet().transferCount(), 0);
    }

    // Answers that arrive in reverse order are handled in number order all the same: the
    // messages, each pass's own transfer states, the prompt, the saves and the number steps.
    void passesFollowTheNumbersWhateverArrivesFirst()
    {
        ScriptedServer server;
        server.routeSeries({1, 2, 3, 4, 5, 6});
        server.routeSeries({1}, true);
        bool laterArrivedFirst = false;
        connect(&server, &ScriptedServer::received, &server, [&](const QString &path) {
            if (path != ScriptedServer::seriesPath(1))
                return;
            // The first answer comes once those of 2 to 4 wait whole in their part files.
            QTimer::singleShot(0, &server, [&] {
                laterArrivedFirst = QTest::qWaitFor([&] {
                    const QStringList parts = entries(m_folders->out).filter(QStringLiteral(".part"));
                    return parts.size() == 3 && std::all_of(parts.begin(), parts.end(), [&](const QString &part) {
                        return QFileInfo(m_folders->outFile(part)).size() == qint64(qstrlen("picture 2"));
                    });
                });
                server.release(ScriptedServer::seriesPath(1));
            });
        });
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n6\r\n"));
        QVERIFY(writeFile(m_folders->outFile(QStringLiteral("pic03.jpg")), "mine"));
        frmSeriograb *w = makeWindow(server.url(QStringLiteral("/pic")));
        QStringList events;
        connect(statusLine(w), &StatusLine::textChanged, w,
                [&events](const QString &t) { events << t; });
        connect(field(w, "txtURL2"), &QLineEdit::textChanged, w,
                [&events](const QString &t) { events << QStringLiteral("number ") + t; });
        PromptAnswerer prompts(QStringLiteral("renamed"));
        prompts.onPrompt = [&events](RenamePrompt *prompt) { events << QStringLiteral("prompt ") + prompt->windowTitle(); };
        click(w, "btnGet");

        QStringList expected;
        for (int n = 1; n <= 6; ++n) {
            expected << QStringLiteral("Opening :") + server.url(ScriptedServer::seriesPath(n))
                     << QStringLiteral("Resolving Host Name") << QStringLiteral("Host Resoved") << QStringLiteral("File is a image");
            if (n == 3)
                expected << QStringLiteral("prompt ") + m_folders->outFile(QStringLiteral("pic03.jpg"));
            expected << QStringLiteral("number %1").arg(n + 1, 2, 10, QLatin1Char('0'));
        }
        expected << QStringLiteral("Completed downloading maximum number if files (6) - 6 saved, 0 gave no picture");
        QVERIFY(laterArrivedFirst);
        QCOMPARE(events, expected);
        QCOMPARE(contents(m_folders->outFile(QStringLiteral("renamed.jpg"))), QByteArray("picture 3"));
        QCOMPARE(contents(m_folders->outFile(QStringLiteral("pic03.jpg"))), QByteArray("mine"));
        QCOMPARE(server.connectionCount(), 4);   // four at once, each kept for the next
    }

    void statusLineFollowsTheTransfer()
    {
        RefusedPort refused;
        const quint16 port = refused.port();
        QVERIFY(m_folders->writeParameters());
        frmSeriograb *w = makeWindow(QStringLiteral("http://127.0.0.1:%1/pic").arg(port));
        trigger(w, "mul");
        QStringList texts;
        connect(statusLine(w), &StatusLine::textChanged, w,
                [&texts](const QString &t) { texts << t; });
        click(w, "btnGet");

        QCOMPARE(texts.size(), 6);
        QCOMPARE(texts[0], QStringLiteral("Opening :http://127.0.0.1:%1/pic01.jpg").arg(port));
        QCOMPARE(texts[1], QStringLiteral("Resolving Host Name"));
        QCOMPARE(texts[2], QStringLiteral("Host Resoved"));
        QVERIFY2(texts[3].startsWith(QStringLiteral("ErrorCode: %1 : ").arg(w->inet().ResponseCode())), qPrintable(texts[3]));
        QVERIFY(texts[3].size() > QStringLiteral("ErrorCode: 1 : ").size());
        QCOMPARE(texts[4], QStringLiteral("File is not a image"));
        // A refused connection would be refused for every number: the run says so.
        QVERIFY2(endText(texts[5]).startsWith(QStringLiteral("Downloading Stopped because the server at 127.0.0.1:%1 "
                                                             "refused the connection (").arg(port)),
                 qPrintable(texts[5]));
    }

    void stateTextsLeaveTheCaptionOfAMinimisedWindow()
    {
        RefusedPort refused;
        const quint16 port = refused.port();
        QVERIFY(m_folders->writeParameters());
        frmSeriograb *w = makeWindow(QStringLiteral("http://127.0.0.1:%1/pic").arg(port));
        trigger(w, "mul");
        w->showMinimized();
        QTRY_VERIFY(w->isMinimized());
        QStringList captions;
        connect(statusLine(w), &StatusLine::textChanged, w,
                [&captions, w](const QString &) { captions << w->windowTitle(); });
        click(w, "btnGet");
        // The caption after each status text: the run's messages, never the transfer's states.
        const QString opening = QStringLiteral("Opening :http://127.0.0.1:%1/pic01.jpg").arg(port);
        // (each caption is read as the status text changes, just before addMsg sets the caption)
        QCOMPARE(captions.mid(1, 4), QStringList({opening, opening, opening, opening}));
        QVERIFY2(endText(w->windowTitle()).startsWith(QLatin1String("Downloading Stopped because the server at")),
                 qPrintable(w->windowTitle()));
    }

    // Closing the window stops the run at once, leaving no part file, and the window goes.
    void closingDuringATransferEndsCleanly()
    {
        ScriptedServer server;
        Response stall = Response::ok(QByteArray(50000, 's'), "image/jpeg");
        stall.stallAfter = 10;
        server.route(QStringLiteral("/pic01.jpg"), stall);
        QVERIFY(m_folders->writeParameters());
        QPointer<frmSeriograb> w = makeWindow(server.url(QStringLiteral("/pic")));
        bool partFileAtClose = false;
        connect(&server, &ScriptedServer::received, w, [&](const QString &path) {
            if (path != ScriptedServer::seriesPath(1))
                return;
            QTimer::singleShot(0, w, [&] {
                partFileAtClose = QTest::qWaitFor([&] { return entries(m_folders->out).size() == 1; });
                w->close();
            });
        });
        QString said;
        connect(statusLine(w), &StatusLine::textChanged, w, [&said](const QString &text) { said = text; });
        click(w, "btnGet");
        QTRY_VERIFY(w.isNull());
        QVERIFY(partFileAtClose);
        QCOMPARE(endText(said), QStringLiteral("User Terminated Download Process"));
        QCOMPARE(entries(m_folders->out), QStringList());
    }

    // Enter in an address field is Get; during the run it does no more than a second Get.
    void enterStartsGet_data()
    {
        QTest::addColumn<QString>("field");
        for (const char *name : {"cmbURL1", "txtURL2", "txtURL3"})
            QTest::newRow(name) << name;
    }

    void enterStartsGet()
    {
        QFETCH(QString, field);
        ScriptedServer server;
        server.route(QStringLiteral("/pic01.jpg"), Response::ok("first", "image/jpeg"));
        QVERIFY(m_folders->writeParameters());
        frmSeriograb *w = makeWindow(server.url(QStringLiteral("/pic")));
        trigger(w, "mul");   // one pass
        QWidget *target = w->findChild<QWidget *>(field);
        if (auto *box = qobject_cast<QComboBox *>(target))
            target = box->lineEdit();
        connect(statusLine(w), &StatusLine::textChanged, w,
                [target](const QString &text) {
                    if (text.startsWith(QLatin1String("Opening :")))
                        QTest::keyClick(target, Qt::Key_Return);
                });
        QTest::keyClick(target, Qt::Key_Return);
        QCOMPARE(endText(status(w)), QStringLiteral("Downloading Stopped because Multiple Download Option is OFF"));
        QCOMPARE(server.paths(), QStringList({QStringLiteral("/pic01.jpg")}));
        QCOMPARE(number(w), QStringLiteral("02"));
        QCOMPARE(contents(m_folders->outFile(QStringLiteral("pic01.jpg"))), QByteArray("first"));
    }

    // The run's last picture, flushed beside a slow decode it overtook, is all the preview
    // waits for: the overtaken decode's result goes nowhere.
    void overtakenDecodeDoesNotHoldThePreview()
    {
        QImage noise(4000, 3000, QImage::Format_RGB32);
        quint32 x = 1;
        for (int y = 0; y < noise.height(); ++y) {
            auto *line = reinterpret_cast<quint32 *>(noise.scanLine(y));
            for (int i = 0; i < noise.width(); ++i)
                line[i] = (x = x * 1664525u + 1013904223u) >> 8;
        }
        const QString slow = m_folders->out + QStringLiteral("/slow.jpg");
        const QString last = m_folders->out + QStringLiteral("/last.jpg");
        QVERIFY(noise.save(slow, "JPEG", 95));
        QVERIFY(noise.copy(0, 0, 64, 48).save(last, "JPEG", 95));

        PreviewDecoder decoder;
        decoder.setGentle(true);
        QSignalSpy decoded(&decoder, &PreviewDecoder::decoded);
        decoder.request(slow, [](QSize full) { return full; });
        decoder.request(last, [](QSize full) { return full; });
        decoder.flush();
        QTRY_COMPARE(decoded.size(), 1);
        QCOMPARE(decoded.first().first().toString(), last);
        QVERIFY(!decoder.isBusy());
    }

    // A picture too costly for the preview says so after the end report, in the Run Log before
    // the report's line, never over the report. The Run Log names each run's first address and
    // folder, and sets runs apart.
    void endReportIsTheRunsLastWord()
    {
        QByteArray huge = harness::picture("JPEG", Qt::darkCyan, QSize(40, 30), true);
        huge.replace(huge.indexOf("\xff\xc2") + 5, 4, QByteArray("\x7d\x00\x7d\x00", 4));   // 32000 x 32000
        ScriptedServer server;
        server.route(QStringLiteral("/pic01.jpg"), Response::ok(huge, "image/jpeg"));
        QVERIFY(m_folders->writeParameters());
        frmSeriograb *w = makeWindow(server.url(QStringLiteral("/pic")));
        w->findChild<QAction *>(QStringLiteral("mul"))->trigger();
        click(w, "btnGet");
        const QString report = status(w);
        QTRY_VERIFY(!w->isDecodingPreview());
        QCOMPARE(status(w), QStringLiteral("Downloading Stopped because Multiple Download Option is OFF - 1 saved, 0 gave no picture"));
        click(w, "btnGet");
        w->findChild<QAction *>(QStringLiteral("runLog"))->trigger();
        const QStringList lines = qobject_cast<frmRunLog *>(harness::openWindow("frmRunLog"))->shownLines();
        const QString start = QStringLiteral("== \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  %1  into %2").arg(server.url("/pic0%1.jpg"), m_folders->out);
        QVERIFY2(lines.size() == 10 && QRegularExpression(start.arg(1)).match(lines[0]).hasMatch(), qPrintable(lines.join('\n')));
        // Each run's last lines: the pace its host was given, then the end report.
        QCOMPARE(lines[2], QStringLiteral("== pace: 4 connections, HTTP/1.1"));
        QVERIFY(lines[3].startsWith(QLatin1String("Not shown in the preview: ")) && lines[3].endsWith(m_folders->out + "/pic01.jpg)"));
        QCOMPARE(lines.mid(4, 2), QStringList({QStringLiteral("== ") + report, QString()}));
        QVERIFY(QRegularExpression(start.arg(2)).match(lines[6]).hasMatch());
        QCOMPARE(lines.mid(8), QStringList({QStringLiteral("== pace: 4 connections, HTTP/1.1"), QStringLiteral("== ") + status(w)}));
    }

    void stopWithoutARunOnlySetsTheFlag()
    {
        RefusedPort refused;
        QVERIFY(m_folders->writeParameters());
        frmSeriograb *w = makeWindow(refused.url(QStringLiteral("/pic")));
        trigger(w, "stp");
        QCOMPARE(int(m_settings.stopRequested), -1);
        QVERIFY(status(w).isEmpty());
    }
};

QTEST_MAIN(TestMainRun)
#include "tst_mainrun.moc"
