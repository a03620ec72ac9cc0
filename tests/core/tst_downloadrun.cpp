#include "core/downloadrun.h"
#include "core/settings.h"
#include "platform/filesystem.h"
#include "platform/inet.h"
#include "runreport.h"
#include "filebytes.h"
#include "fixtures.h"
#include "lookups.h"
#include "scriptedserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

const QByteArray jpegType = "image/jpeg";

// The window as the run sees it, recording what the run did to it.
class RecordingView : public RunView
{
public:
    QString prefix, number = QStringLiteral("01"), suffix = QStringLiteral(".jpg");
    QStringList messages;
    QStringList states;           // what the transfers reported, in turn
    QStringList pictures;
    QStringList prompts;          // titles of the rename prompts shown
    QStringList answers;          // what the user types at them, in turn
    int historySaves = 0;
    bool historyFails = false;
    std::function<void(const QString &)> onMessage;
    std::function<void(const QString &)> onLog;
    std::function<void(const QString &)> onState;
    int saved = 0;

    QString prefixText() const override { return prefix; }
    QString numberText() const override { return number; }
    QString suffixText() const override { return suffix; }
    void setNumberText(const QString &text) override { number = text; }
    void addMsg(const QString &message) override
    {
        messages << message;
        if (onMessage)
            onMessage(message);
    }
    void transferState(const QString &text) override
    {
        states << text;
        if (onState)
            onState(text);
    }
    void saveHistory() override
    {
        if (historyFails)
            throw FileError(QStringLiteral("history.par: disk full"));
        ++historySaves;
    }
    bool showPicture(const QString &path) override
    {
        pictures << path;
        return true;
    }
    void savedCount(int count) override { saved = count; }
    void logPass(const QString &line) override
    {
        if (onLog)
            onLog(line);
    }
    QString askNewName(const QString &message, const QString &title) override
    {
        prompts << message + QLatin1Char('|') + title;
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
};

} // namespace

class TestDownloadRun : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScriptedServer> m_server;
    std::unique_ptr<Inet> m_inet;
    Settings m_settings;
    RecordingView m_view;
    std::unique_ptr<DownloadRun> m_run;
    QString m_default;

    QString target(const QString &name) const { return m_dir->filePath(QStringLiteral("out/") + name); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("out")));
        m_server = std::make_unique<ScriptedServer>();
        QVERIFY(m_server->isListening());
        m_inet = std::make_unique<Inet>();
        m_settings = Settings();
        m_settings.localFolder = m_dir->filePath(QStringLiteral("out"));
        m_settings.lastFile = 3;
        m_settings.retries = 0;   // only the tests of retries wait for them
        m_settings.transfers = 4;   // a fixed pace; the automatic one has tests of its own
        m_view = RecordingView();
        m_view.prefix = m_server->url(QStringLiteral("/pic"));
        m_default = m_dir->filePath(QStringLiteral("default.gif"));
        m_run = std::make_unique<DownloadRun>(m_settings, *m_inet, m_view, m_default);
    }

    void cleanup()
    {
        m_run.reset();
        m_inet.reset();
        m_server.reset();
    }

    void seriesOfThree()
    {
        m_server->routeSeries({1, 2, 3});
        m_run->run();
        QCOMPARE(m_server->paths().size(), 3);
        for (const QString &n : {QStringLiteral("01"), QStringLiteral("02"), QStringLiteral("03")})
            QVERIFY(m_server->paths().contains(QStringLiteral("/pic%1.jpg").arg(n)));
        QCOMPARE(m_view.number, QStringLiteral("04"));
        QCOMPARE(m_view.messages.last(), QStringLiteral("Completed downloading maximum number if files (3) - 3 saved, 0 gave no picture"));
        QCOMPARE(contents(target(QStringLiteral("pic02.jpg"))), QByteArray("picture 2"));
        // Shown in number order, whatever order the answers arrived in.
        QCOMPARE(m_view.pictures, QStringList({target(QStringLiteral("pic01.jpg")), target(QStringLiteral("pic02.jpg")),
                                               target(QStringLiteral("pic03.jpg"))}));
        QCOMPARE(m_view.historySaves, 1);
        QVERIFY(m_view.messages.contains(QStringLiteral("Opening :") + m_server->url(QStringLiteral("/pic01.jpg"))));
        QCOMPARE(m_inet->AccessType(), 1);
        QCOMPARE(m_inet->Proxy(), QStringLiteral(":0"));
        QVERIFY(m_server->connectionCount() <= m_settings.transfers);
    }

    // The automatic pace: a host whose answers each take a while gets more connections while the
    // time per picture falls, up to six on HTTP/1.1.
    void automaticPaceGrowsToSixConnections()
    {
        m_settings.transfers = Settings::autoTransfers;
        m_settings.lastFile = 60;
        for (int n = 1; n <= 60; ++n) {
            Response r = Response::ok("picture " + QByteArray::number(n), jpegType);
            r.delayMs = 100;
            m_server->route(ScriptedServer::seriesPath(n), r);
        }
        QStringList log;
        m_view.onLog = [&](const QString &line) { log << line; };
        m_run->run();
        QVERIFY2(m_view.messages.last().startsWith(QStringLiteral("Completed downloading maximum number if files (60)")),
                 qPrintable(m_view.messages.last()));
        QCOMPARE(m_server->connectionCount(), 6);
        QVERIFY(log.contains(QStringLiteral("== pace: 6 connections, HTTP/1.1")));
    }

    // A 429 holds the host down to one transfer at a time; a transfer of it that hears nothing (an
    // answer held at the server) does not count against that one. Nothing is released until the
    // server has had time to see more requests than the one.
    void busyHostDropsToOneTransfer()
    {
        m_settings.transfers = Settings::autoTransfers;
        m_settings.lastFile = 6;
        m_settings.retries = 1;
        m_server->routeInTurn(ScriptedServer::seriesPath(1),
                              {Response::page(429, "slow down").header("Retry-After", "0"),
                               Response::ok("picture 1", jpegType)});
        m_server->routeSeries({2, 3, 4}, true);
        m_server->routeSeries({5, 6});
        QStringList seenAtRelease;
        connect(m_server.get(), &ScriptedServer::received, this, [&] {
            if (m_server->requests().size() != 5)
                return;
            QTimer::singleShot(1500, this, [&] {
                seenAtRelease = m_server->paths();
                for (int n : {2, 3, 4})
                    m_server->release(ScriptedServer::seriesPath(n));
            });
        });
        m_run->run();
        QCOMPARE(seenAtRelease.size(), 5);
        QCOMPARE(seenAtRelease.last(), ScriptedServer::seriesPath(1));
        QVERIFY2(m_view.messages.last().startsWith(QStringLiteral("Completed downloading maximum number if files (6) - 6 saved")),
                 qPrintable(m_view.messages.last()));
        QVERIFY(m_inet->paceOf(m_server->url("/")).endsWith(QStringLiteral("one at a time after the server said it was busy")));
    }

    // Transfers the automatic pace keeps ahead stop at a run of misses, as a fixed pace's do, while
    // the pass before them waits.
    void automaticPaceStopsAtTheMissesLimit()
    {
        m_settings.transfers = Settings::autoTransfers;
        m_settings.lastFile = 40;
        m_settings.maxMisses = 3;
        m_server->routeSeries({1, 2, 3, 4});
        m_server->routeSeries({5}, true);
        int highest = 0;
        connect(m_server.get(), &ScriptedServer::received, this, [&](const QString &path) {
            highest = qMax(highest, path.mid(4, path.size() - 8).toInt());
            if (path == ScriptedServer::seriesPath(5))
                QTimer::singleShot(1000, this, [&] { m_server->release(ScriptedServer::seriesPath(5)); });
        });
        m_run->run();
        QCOMPARE(m_view.messages.last(),
                 QStringLiteral("Downloading Stopped because 3 numbers in a row gave no picture - 5 saved, 3 gave no picture"));
        QVERIFY2(highest <= 5 + m_settings.maxMisses + HostPace::autoStart - 1, qPrintable(m_server->paths().join(' ')));
    }

    void numberField_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QStringList>("fetched");
        QTest::addColumn<QString>("after");

        QTest::newRow("9") << "9" << QStringList{"9", "10", "11"} << "12";
        QTest::newRow("09") << "09" << QStringList{"09", "10", "11"} << "12";
        QTest::newRow("99") << "99" << QStringList{"99", "100", "101"} << "102";
        QTest::newRow("007") << "007" << QStringList{"007", "008", "009"} << "010";
        QTest::newRow("blank 5") << " 5" << QStringList{"5", "06", "07"} << "08";
        QTest::newRow("empty") << "" << QStringList{"", "1", "2"} << "3";
        QTest::newRow("negative") << "-2" << QStringList{"-2", "-01", "00"} << "01";
    }

    void numberField()
    {
        QFETCH(QString, number);
        QFETCH(QStringList, fetched);
        QFETCH(QString, after);
        m_view.number = number;
        m_run->run();
        QStringList expected;
        for (const QString &n : fetched)
            expected << QStringLiteral("/pic") + n + QStringLiteral(".jpg");
        QCOMPARE(m_server->paths(), expected);
        QCOMPARE(m_view.number, after);
    }

    void endReports_data()
    {
        QTest::addColumn<int>("lastFile");
        QTest::addColumn<bool>("multiple");
        QTest::addColumn<int>("maxMisses");
        QTest::addColumn<int>("atPass");        // 0: nothing is changed during the run
        QTest::addColumn<int>("newLastFile");   // at that pass: 0 switches Multiple Downloads OFF, -1 presses Stop
        QTest::addColumn<int>("passes");
        QTest::addColumn<QString>("report");
        // What number n answers, by the n-th letter: p its own picture, x the site's placeholder
        // (the same bytes each time), r 403 with a page; "-" and past the end, a text page.
        QTest::addColumn<QString>("served");
        QTest::addColumn<bool>("saveRepeats");

        const QString off = QStringLiteral("Downloading Stopped because Multiple Download Option is OFF");
        QTest::newRow("multiple off") << 3 << false << 10 << 0 << 0 << 1 << off + " - 0 saved, 1 gave no picture" << "" << false;
        QTest::newRow("multiple off, limit 1") << 1 << false << 10 << 0 << 0 << 1 << off + " - 0 saved, 1 gave no picture" << "" << false;
        QTest::newRow("Stop with multiple off") << 3 << false << 10 << 1 << -1 << 1
                                                << "User Terminated Download Process - 0 saved, 0 gave no picture" << "" << false;
        QTest::newRow("limit 1") << 1 << true << 10 << 0 << 0 << 1
                                 << "Completed downloading maximum number if files (1) - 0 saved, 1 gave no picture" << "" << false;
        QTest::newRow("limit 0 ends after one pass") << 0 << true << 10 << 0 << 0 << 1
                                                     << "Completed downloading maximum number if files (1) - 0 saved, 1 gave no picture" << "" << false;
        QTest::newRow("negative limit ends after one pass") << -3 << true << 10 << 0 << 0 << 1
                                                            << "Completed downloading maximum number if files (1) - 0 saved, 1 gave no picture" << "" << false;
        QTest::newRow("switched off during a run") << 10 << true << 10 << 2 << 0 << 2 << off + " - 0 saved, 2 gave no picture" << "" << false;
        QTest::newRow("limit lowered below the passes made") << 10 << true << 10 << 4 << 2 << 4
                                                             << "Completed downloading maximum number if files (4) - 0 saved, 4 gave no picture" << "" << false;
        QTest::newRow("series ends after K misses") << 30 << true << 3 << 0 << 0 << 3
                                                    << "Downloading Stopped because 3 numbers in a row gave no picture - 0 saved, 3 gave no picture" << "" << false;
        QTest::newRow("K = 0 runs to the maximum") << 12 << true << 0 << 0 << 0 << 12
                                                   << "Completed downloading maximum number if files (12) - 0 saved, 12 gave no picture" << "" << false;
        const QString repeated = QStringLiteral("Downloading Stopped because 3 numbers in a row repeated an earlier picture");
        QTest::newRow("placeholders end the series") << 30 << true << 3 << 0 << 0 << 6
                                                     << repeated + " - 3 saved, 0 gave no picture - 3 repeated an earlier picture"
                                                     << "ppxxxxxxxxxx" << false;
        QTest::newRow("placeholders saved when asked") << 6 << true << 3 << 0 << 0 << 6
                                                       << "Completed downloading maximum number if files (6) - 6 saved, 0 gave no picture"
                                                       << "ppxxxxxxxxxx" << true;
        QTest::newRow("a repeat among other misses") << 30 << true << 3 << 0 << 0 << 5
                                                            << "Downloading Stopped because 3 numbers in a row gave no picture"
                                                               " - 2 saved, 2 gave no picture - 1 repeated an earlier picture"
                                                            << "px-x" << false;
        QTest::newRow("refusals end the series") << 30 << true << 3 << 0 << 0 << 4
                                                 << "Downloading Stopped because the server refused 3 numbers in a row (HTTP 403): the "
                                                    "site may want a Referer, cookies or another Identify as (Options) - 1 saved, 0 gave "
                                                    "no picture - 3 failed (last: the server refused it, HTTP status 403)"
                                                 << "prrrrrrr" << false;
    }

    // Every run ends with its reason and its counts; no request goes past the window of
    // transfers in flight, the maximum, or the first pass with Multiple Downloads OFF.
    void endReports()
    {
        QFETCH(int, lastFile);
        QFETCH(bool, multiple);
        QFETCH(int, maxMisses);
        QFETCH(int, atPass);
        QFETCH(int, newLastFile);
        QFETCH(int, passes);
        QFETCH(QString, report);
        QFETCH(QString, served);
        QFETCH(bool, saveRepeats);
        for (int n = 1; n <= served.size(); ++n) {
            const QChar kind = served.at(n - 1);
            m_server->route(ScriptedServer::seriesPath(n), kind == u'p'   ? Response::ok("picture " + QByteArray::number(n), jpegType)
                                                           : kind == u'x' ? Response::ok("not available", jpegType)
                                                           : kind == u'r' ? Response::page(403, "<p>Forbidden</p>")
                                                                          : Response::ok("no such path\n", "text/plain"));
        }
        m_settings.repeats = saveRepeats ? Settings::Repeats::Save : Settings::Repeats::Skip;
        m_settings.lastFile = qint16(lastFile);
        m_settings.maxMisses = maxMisses;
        m_settings.multipleDownloads = multiple ? Settings::True : Settings::False;
        int opened = 0;
        m_view.onMessage = [&](const QString &m) {
            if (!m.startsWith(QLatin1String("Opening :")) || ++opened != atPass)
                return;
            if (newLastFile < 0)
                m_run->stop();
            else if (newLastFile == 0)
                m_settings.multipleDownloads = Settings::False;
            else
                m_settings.lastFile = qint16(newLastFile);
        };
        m_run->run();
        QCOMPARE(opened, passes);
        QCOMPARE(m_view.messages.last(), report);
        // Pictures wait on disk for their turn, so transfers may run further ahead of them.
        const int bound = !multiple ? 1 : qMin(qMax(lastFile, 1), served.isEmpty() ? passes + m_settings.transfers - 1 : 99);
        QVERIFY2(m_server->requests().size() >= passes - (newLastFile < 0 ? 1 : 0) && m_server->requests().size() <= bound,
                 qPrintable(m_server->paths().join(QLatin1Char(' '))));
        QCOMPARE(m_inet->transferCount(), 0);
    }

    // Options closed with OK during a run act from the next run: every picture of this one goes
    // to the folder and under the names of its Get, part files included.
    void settingsAreTakenAtGet()
    {
        const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(elsewhere));
        m_settings.transfers = 1;   // each transfer starts when its pass begins
        m_server->routeSeries({1, 2, 3});
        int opened = 0;
        m_view.onMessage = [&](const QString &m) {
            if (m.startsWith(QLatin1String("Opening :")) && ++opened == 2) {
                m_settings.localFolder = elsewhere;
                m_settings.headerText = QStringLiteral("new_");
            }
        };
        m_run->run();
        QCOMPARE(entries(m_dir->filePath(QStringLiteral("out"))),
                 (QStringList{QStringLiteral("pic01.jpg"), QStringLiteral("pic02.jpg"), QStringLiteral("pic03.jpg")}));
        QCOMPARE(entries(elsewhere), QStringList());
    }

    // A picture's whole address typed into the prefix box gets nothing: the run says what would
    // split it, at the first pass and in its end report.
    void aWholeAddressInThePrefixBoxIsNamed()
    {
        m_view.prefix = m_server->url(QStringLiteral("/gallery/img_0042.jpg"));
        m_settings.lastFile = 2;
        m_run->run();
        QCOMPARE(m_server->paths().first(), QStringLiteral("/gallery/img_0042.jpg01.jpg"));
        const QString hint = QStringLiteral("Operations -> Paste Address would split it");
        QCOMPARE(std::count_if(m_view.messages.begin(), m_view.messages.end(),
                               [&](const QString &m) { return m.startsWith(QLatin1String("File is not a image - ")) && m.contains(hint); }),
                 1);
        QVERIFY2(m_view.messages.last().endsWith(QStringLiteral("the prefix box holds a picture's whole address: ") + hint
                                                 + QStringLiteral(" into prefix, number and suffix")),
                 qPrintable(m_view.messages.last()));
    }

    // Passes are handled one by one in number order; each outcome is counted, logged and
    // breaks or continues the run of misses.
    void outcomesAreCountedAndLogged()
    {
        m_settings.lastFile = 5;
        m_settings.maxMisses = 2;
        m_settings.ifExists = Settings::IfExists::Skip;
        m_server->routeSeries({1, 3, 5});
        Response reset = Response::ok(QByteArray(100000, 'r'), jpegType);
        reset.resetAfter = 100;
        m_server->route(QStringLiteral("/pic04.jpg"), reset);
        setContents(target(QStringLiteral("pic03.jpg")), "mine");
        QStringList log;
        m_view.onLog = [&](const QString &line) { log << line; };
        m_run->run();

        QCOMPARE(m_view.messages.last(),
                 QStringLiteral("Completed downloading maximum number if files (5) - 2 saved, 1 gave no picture, 1 skipped"
                                " - 1 failed (last: Recv failure: Connection reset by peer)"));
        QCOMPARE(contents(target(QStringLiteral("pic03.jpg"))), QByteArray("mine"));
        QCOMPARE(log.size(), 6);
        QCOMPARE(log.last(), QStringLiteral("== pace: 4 connections, HTTP/1.1"));
        const QStringList outcomes{QStringLiteral("saved as ") + target(QStringLiteral("pic01.jpg")),
                                   QStringLiteral("no picture: Content-Type \"text/plain\", HTTP status 404"),
                                   QStringLiteral("skipped: \"") + target(QStringLiteral("pic03.jpg"))
                                           + QStringLiteral("\" exists (not requested)"),
                                   QStringLiteral("failed: Recv failure: Connection reset by peer (error 56)"),
                                   QStringLiteral("saved as ") + target(QStringLiteral("pic05.jpg"))};
        for (int i = 0; i < 5; ++i)
            QCOMPARE(log[i], QStringLiteral("0%1  %2  %3").arg(i + 1).arg(m_server->url(QStringLiteral("/pic0%1.jpg").arg(i + 1)), outcomes[i]));
        QCOMPARE(m_view.saved, 2);
        QVERIFY(!m_server->paths().contains(QStringLiteral("/pic03.jpg")));
        QCOMPARE(entries(m_settings.localFolder),
                 QStringList({QStringLiteral("pic01.jpg"), QStringLiteral("pic03.jpg"), QStringLiteral("pic05.jpg")}));
    }

    void stopDuringAPassLeavesTheNumberOnIt_data()
    {
        QTest::addColumn<int>("delayMs");   // after "Opening :" for pic02; 0 or below: at once
        QTest::newRow("during the transfer") << 100;
        QTest::newRow("before its transfer is waited for") << 0;
        QTest::newRow("before its transfer starts, one at a time") << -1;
    }

    // Stop ends every transfer in flight, leaves no part file and keeps the number on the
    // picture it cut short, so the next Get fetches it.
    void stopDuringAPassLeavesTheNumberOnIt()
    {
        QFETCH(int, delayMs);
        if (delayMs < 0)
            m_settings.transfers = 1;
        m_settings.lastFile = 10;
        m_server->route(QStringLiteral("/pic01.jpg"), Response::ok("partial", jpegType));
        Response stall = Response::ok(QByteArray(400000, 'x'), jpegType);
        stall.stallAfter = 100;
        m_server->routeOthers(stall);
        int inFlightAfterStop = -1;   // when the cut pass reports
        m_view.onMessage = [&](const QString &m) {
            if (m_settings.stopRequested && m == QLatin1String("File is not a image"))
                inFlightAfterStop = m_inet->transferCount();
            if (!m.endsWith(QLatin1String("pic02.jpg")))
                return;
            auto stop = [&] { m_run->stop(); };
            delayMs > 0 ? QTimer::singleShot(delayMs, m_inet.get(), stop) : stop();
        };
        m_run->run();
        QCOMPARE(inFlightAfterStop, 0);
        QCOMPARE(m_view.messages.last(), QStringLiteral("User Terminated Download Process - 1 saved, 0 gave no picture"));
        QCOMPARE(m_view.number, QStringLiteral("02"));
        QCOMPARE(entries(m_settings.localFolder), QStringList{QStringLiteral("pic01.jpg")});
        // The cut pass shows no picture; the run ends on the one it saved.
        QCOMPARE(m_view.pictures, QStringList({target(QStringLiteral("pic01.jpg")), m_default, target(QStringLiteral("pic01.jpg"))}));
        QVERIFY(m_view.messages.contains(QStringLiteral("File is not a image")));
        QVERIFY(m_server->requests().size() <= 1 + m_settings.transfers);
        QCOMPARE(m_inet->transferCount(), 0);
    }

    void contentTypeDecides_data()
    {
        QTest::addColumn<QByteArray>("type");   // null: no header at all
        QTest::addColumn<bool>("all");          // [KEEP] all: PNG and WebP too
        QTest::addColumn<bool>("kept");
        QTest::newRow("gif") << QByteArray("image/gif") << false << true;
        QTest::newRow("jpeg") << QByteArray("image/jpeg") << false << true;
        QTest::newRow("jpeg with charset") << QByteArray("image/jpeg; charset=x") << false << false;
        QTest::newRow("JPEG") << QByteArray("image/JPEG") << false << false;
        QTest::newRow("pjpeg") << QByteArray("image/pjpeg") << false << false;
        QTest::newRow("png") << QByteArray("image/png") << false << false;
        QTest::newRow("none") << QByteArray() << false << false;
        QTest::newRow("webp") << QByteArray("image/webp") << false << false;
        QTest::newRow("png, all kept") << QByteArray("image/png") << true << true;
        QTest::newRow("webp, all kept") << QByteArray("image/webp") << true << true;
        QTest::newRow("jpeg, all kept") << QByteArray("image/jpeg") << true << true;
        QTest::newRow("PNG, all kept") << QByteArray("image/PNG") << true << false;
        QTest::newRow("webp with charset, all kept") << QByteArray("image/webp; charset=x") << true << false;
        QTest::newRow("tiff, all kept") << QByteArray("image/tiff") << true << false;
    }

    void contentTypeDecides()
    {
        QFETCH(QByteArray, type);
        QFETCH(bool, all);
        QFETCH(bool, kept);
        m_settings.multipleDownloads = Settings::False;
        m_settings.keep = all ? Settings::Keep::All : Settings::Keep::GifJpeg;
        m_server->route(QStringLiteral("/pic01.jpg"), Response::ok("body", type));
        m_run->run();
        QCOMPARE(contents(target(QStringLiteral("pic01.jpg"))), kept ? QByteArray("body") : QByteArray("<missing>"));
        const bool leftBehind = !all && (type == "image/png" || type == "image/webp");
        QCOMPARE(m_view.messages.last().endsWith(QLatin1String(" - 1 were PNG or WebP, not kept: see Options")), leftBehind);
        QVERIFY(m_view.messages.contains(kept ? QStringLiteral("File is a image")
                                              : QStringLiteral("File is not a image")));
        QCOMPARE(m_view.pictures, QStringList(kept ? target(QStringLiteral("pic01.jpg")) : m_default));
        QCOMPARE(m_view.number, QStringLiteral("02"));
    }

    void errorPagesAndBrokenTransfersSaveNothing_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("404 page") << 0;
        QTest::newRow("reset mid-body") << 1;
        QTest::newRow("refused port") << 2;
    }

    void errorPagesAndBrokenTransfersSaveNothing()
    {
        QFETCH(int, kind);
        // A first good picture, so that stale bytes would have something to leak.
        m_server->route(QStringLiteral("/pic01.jpg"), Response::ok("good one", jpegType));
        if (kind == 0) {
            m_server->route(QStringLiteral("/pic02.jpg"), Response::page(404, "<html>gone</html>"));
        } else if (kind == 1) {
            Response r = Response::ok(QByteArray(100000, 'y'), jpegType);
            r.resetAfter = 1000;
            m_server->route(QStringLiteral("/pic02.jpg"), r);
        }
        m_settings.lastFile = 2;
        QSignalSpy states(m_inet.get(), &Inet::StateChanged);
        RefusedPort refused;
        if (kind == 2) {
            m_run->run();   // first pass from the live server
            m_view.prefix = refused.url(QStringLiteral("/pic"));
            m_view.number = QStringLiteral("02");
            m_view.messages.clear();
            states.clear();
            m_settings.lastFile = 1;
        }
        m_run->run();
        QVERIFY(!QFile::exists(target(QStringLiteral("pic02.jpg"))));
        QVERIFY(m_view.pictures.contains(m_default));
        // A refused connection would be refused for every number: the run ends on it.
        QCOMPARE(m_view.number, kind == 2 ? QStringLiteral("02") : QStringLiteral("03"));
        if (kind != 0) {
            QVERIFY(!states.isEmpty());
            QCOMPARE(states.last().at(0).value<qint16>(), qint16(Inet::Error));
            QVERIFY(m_inet->ResponseCode() != 0);
        }
        // Nothing stale: only the first picture was ever written, and no part file is left.
        QCOMPARE(entries(m_settings.localFolder), QStringList{QStringLiteral("pic01.jpg")});
    }

    void everyByteValueIsSavedAsServed()
    {
        const QByteArray body = everyByteValue(64);
        m_server->route(QStringLiteral("/pic01.jpg"), Response::ok(body, "image/gif"));
        m_settings.multipleDownloads = Settings::False;
        m_run->run();
        QCOMPARE(contents(target(QStringLiteral("pic01.jpg"))), body);
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<int>("ifExists");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("saved");        // empty: nothing is saved
        QTest::addColumn<QStringList>("prompts");  // their titles, in the target folder
        QTest::addColumn<QString>("lastSays");     // how the last prompt's message begins

        const int ask = int(Settings::IfExists::Ask);
        const int skip = int(Settings::IfExists::Skip);
        const int number = int(Settings::IfExists::Number);
        const QString exists = QStringLiteral("File Exists. Enter a new Name");
        const QStringList none;
        QTest::newRow("header text") << "x_" << ".jpg" << ask << none << none << "x_pic01.jpg" << none << "";
        QTest::newRow("exists, answer b") << "x_" << ".jpg" << ask << QStringList{"x_pic01.jpg"} << QStringList{"b"}
                                          << "b.jpg" << QStringList{"x_pic01.jpg"} << exists;
        QTest::newRow("exists, answer ends with the suffix") << "" << ".jpg" << ask << QStringList{"pic01.jpg"}
                                                             << QStringList{"b.jpg"} << "b.jpg" << QStringList{"pic01.jpg"} << exists;
        QTest::newRow("exists, suffix holding a folder") << "" << "/full.jpg" << ask << QStringList{"full.jpg"}
                                                         << QStringList{"second"} << "secondfull.jpg" << QStringList{"full.jpg"}
                                                         << exists;
        QTest::newRow("exists, empty answer or Cancel") << "" << ".jpg" << ask << QStringList{"pic01.jpg"} << QStringList{""}
                                                        << "" << QStringList{"pic01.jpg"} << exists;
        QTest::newRow("exists, answer names another existing file")
                << "" << ".jpg" << ask << QStringList{"pic01.jpg", "c.jpg"} << QStringList{"c", "d"} << "d.jpg"
                << QStringList{"pic01.jpg", "c.jpg"} << exists;
        QTest::newRow("exists, answer cannot be saved: asked again")
                << "" << ".jpg" << ask << QStringList{"pic01.jpg"} << QStringList{"nowhere/b", "c"} << "c.jpg"
                << QStringList{"pic01.jpg", "nowhere/b.jpg"} << "Cannot save";
        QTest::newRow("exists, skip") << "" << ".jpg" << skip << QStringList{"pic01.jpg"} << none << "" << none << "";
        QTest::newRow("not there, skip") << "" << ".jpg" << skip << none << none << "pic01.jpg" << none << "";
        QTest::newRow("exists, keep both") << "x_" << ".jpg" << number << QStringList{"x_pic01.jpg", "x_pic01_1.jpg"}
                                           << none << "x_pic01_2.jpg" << none << "";
    }

    // An existing file is never touched: the prompt, skipping or a numbered name decide; a name
    // the user gives keeps the picture.
    void fileNames()
    {
        QFETCH(QString, header);
        QFETCH(QString, suffix);
        QFETCH(int, ifExists);
        QFETCH(QStringList, existing);
        QFETCH(QStringList, answers);
        QFETCH(QString, saved);
        QFETCH(QStringList, prompts);
        QFETCH(QString, lastSays);
        m_settings.headerText = header;
        m_settings.ifExists = Settings::IfExists(ifExists);
        m_settings.multipleDownloads = Settings::False;
        m_view.suffix = suffix;
        m_view.answers = answers;
        const QByteArray longOld(5000, 'o');
        for (const QString &name : existing)
            setContents(target(name), longOld);
        m_server->route(QStringLiteral("/pic01") + suffix, Response::ok("new bytes", jpegType));
        m_run->run();
        QCOMPARE(m_view.prompts.size(), prompts.size());
        for (int i = 0; i < prompts.size(); ++i)
            QCOMPARE(m_view.prompts[i].section(QLatin1Char('|'), 1), target(prompts[i]));
        if (!prompts.isEmpty())
            QVERIFY2(m_view.prompts.last().startsWith(lastSays), qPrintable(m_view.prompts.last()));
        for (const QString &name : existing)
            QCOMPARE(contents(target(name)), longOld);
        QStringList expected = existing;
        if (!saved.isEmpty()) {
            QCOMPARE(contents(target(saved)), QByteArray("new bytes"));
            expected << saved;
        }
        expected.sort();
        QCOMPARE(entries(m_settings.localFolder), expected);
        QCOMPARE(m_view.messages.last().contains(QLatin1String("1 skipped")), saved.isEmpty());
    }

    void refererAndCookies_data()
    {
        QTest::addColumn<QString>("referer");        // the setting; %S: the server
        QTest::addColumn<QByteArray>("cookies");     // the cookies file; null: none
        QTest::addColumn<QByteArray>("firstReferer");
        QTest::addColumn<QByteArray>("firstCookie");
        QTest::addColumn<QByteArray>("secondCookie");
        QTest::addColumn<QString>("login");          // put before the host of the address
        const QByteArray mine = "127.0.0.1\tFALSE\t/\tFALSE\t0\tvisitor\tyes\n";
        const QByteArray elsewhere = "example.org\tFALSE\t/\tFALSE\t0\tother\tno\n";
        QTest::newRow("none") << "" << QByteArray() << QByteArray() << QByteArray() << QByteArray() << QString();
        QTest::newRow("the address's folder") << "*" << QByteArray() << QByteArray("%S/gallery/") << QByteArray()
                                              << QByteArray() << QString();
        QTest::newRow("a fixed address") << "http://pictures.example/page.html" << QByteArray()
                                         << QByteArray("http://pictures.example/page.html") << QByteArray() << QByteArray() << QString();
        QTest::newRow("cookies of the file, for their host only") << "" << QByteArray("# Netscape HTTP Cookie File\n" + mine + elsewhere)
                                                                  << QByteArray() << QByteArray("visitor=yes") << QByteArray("session=1; visitor=yes") << QString();
        QTest::newRow("a cookie set during the run") << "" << QByteArray("") << QByteArray() << QByteArray()
                                                     << QByteArray("session=1") << QString();
        QTest::newRow("the address's folder, without its user") << "*" << QByteArray() << QByteArray("%S/gallery/") << QByteArray()
                                                                << QByteArray() << "user:secret@";
        QTest::newRow("a fixed address, without user or fragment") << "http://me:pw@pictures.example/page.html#top" << QByteArray()
            << QByteArray("http://pictures.example/page.html") << QByteArray() << QByteArray() << QString();
    }

    // The Referer and the cookies a site asks for reach it; a cookie it sets is kept for the
    // run and never written to the file.
    void refererAndCookies()
    {
        QFETCH(QString, referer);
        QFETCH(QByteArray, cookies);
        QFETCH(QByteArray, firstReferer);
        QFETCH(QByteArray, firstCookie);
        QFETCH(QByteArray, secondCookie);
        QFETCH(QString, login);
        const QString server = m_server->url(QString());
        m_settings.referer = QString(referer).replace(QLatin1String("%S"), server);
        if (!cookies.isNull()) {
            m_settings.cookiesFile = m_dir->filePath(QStringLiteral("cookies.txt"));
            setContents(m_settings.cookiesFile, cookies);
        }
        m_settings.lastFile = 2;
        m_settings.transfers = 1;   // the second request goes out after the first answer
        m_view.prefix = m_server->url(QStringLiteral("/gallery/pic")).insert(7, login);
        m_server->route(QStringLiteral("/gallery/pic01.jpg"), Response::ok("one", jpegType).header("Set-Cookie", "session=1; Path=/"));
        m_server->route(QStringLiteral("/gallery/pic02.jpg"), Response::ok("two", jpegType));
        m_run->run();

        QCOMPARE(m_server->requests().size(), 2);
        const ReceivedRequest &first = m_server->requests().first();
        QCOMPARE(first.header("Referer"), firstReferer.replace("%S", server.toLatin1()));
        QCOMPARE(first.header("Cookie"), firstCookie);
        QCOMPARE(m_server->requests().last().header("Cookie"), secondCookie);
        if (!cookies.isNull())
            QCOMPARE(contents(m_settings.cookiesFile), cookies);
        QCOMPARE(contents(target(QStringLiteral("pic02.jpg"))), QByteArray("two"));
    }

    void filesTheRunNeedsAreReadFirst_data()
    {
        QTest::addColumn<bool>("cookies");   // else the extra CA certificates
        QTest::newRow("cookies file") << true;
        QTest::newRow("extra CA certificates") << false;
    }

    // A file that the transfers need and cannot read ends Get before any request, saying why.
    void filesTheRunNeedsAreReadFirst()
    {
        QFETCH(bool, cookies);
        const QString missing = m_dir->filePath(QStringLiteral("nowhere.txt"));
        (cookies ? m_settings.cookiesFile : m_settings.caFile) = missing;
        m_server->routeSeries({1});
        m_run->run();
        QVERIFY(m_server->requests().isEmpty());
        QCOMPARE(m_view.messages.size(), 1);
        QCOMPARE(m_view.messages.first(), QStringLiteral("Not started: the %1 \"%2\" cannot be read: No such file or directory")
                                              .arg(cookies ? QStringLiteral("cookies file") : QStringLiteral("extra CA certificates"), missing));
        QCOMPARE(m_view.historySaves, 0);
    }

    void proxySettings_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("proxy");
        QTest::addColumn<int>("access");
        QTest::newRow("none") << "" << 80 << ":80" << 1;
        QTest::newRow("blank address counts as one") << " " << 3128 << " :3128" << 2;
        QTest::newRow("negative port") << "p" << -5 << "p:-5" << 2;
    }

    void proxySettings()
    {
        QFETCH(QString, ip);
        QFETCH(int, port);
        QFETCH(QString, proxy);
        QFETCH(int, access);
        m_settings.proxyIP = ip;
        m_settings.proxyPort = qint16(port);
        m_settings.multipleDownloads = Settings::False;
        RefusedPort refused;
        m_view.prefix = refused.url(QStringLiteral("/pic"));   // nothing is kept either way
        m_run->run();
        QCOMPARE(m_inet->Proxy(), proxy);
        QCOMPARE(m_inet->AccessType(), access);
    }

    // A site that refuses the program's own name, reached without "http://", directly or through
    // a real proxy that asks for a password: what is sent, what is saved, and that no message
    // names the password.
    void whatTheSiteIsTold_data()
    {
        QTest::addColumn<int>("proxy");   // 0 none, 1 squid (HTTP), 2 microsocks (SOCKS5)
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("userAgent");
        QTest::addColumn<QString>("report");   // %P: the proxy's port
        const QString browser = Settings::browserUserAgent();
        const QString done = QStringLiteral("Completed downloading maximum number if files (2) - 2 saved, 0 gave no picture");
        QTest::newRow("the program's name") << 0 << "" << "" << "Completed downloading maximum number if files (2) - 0 saved, "
                                                               "0 gave no picture - 2 failed (last: the server refused it, HTTP status 403)";
        QTest::newRow("a browser's name") << 0 << "" << browser << done;
        QTest::newRow("HTTP proxy") << 1 << "s3cret" << browser << done;
        QTest::newRow("HTTP proxy, wrong password") << 1 << "wrong" << browser
                                                    << "Downloading Stopped because the proxy refused its user name and "
                                                       "password (HTTP 407) - 0 saved, 0 gave no picture - 1 failed";
        QTest::newRow("SOCKS5 proxy") << 2 << "s3cret" << browser << done;
        QTest::newRow("SOCKS5 proxy, wrong password") << 2 << "wrong" << browser
                                                      << "Downloading Stopped because the proxy refused its user name and password (";
    }

    void whatTheSiteIsTold()
    {
        QFETCH(int, proxy);
        QFETCH(QString, password);
        QFETCH(QString, userAgent);
        QFETCH(QString, report);
        AuthProxyFixture fixture(proxy == 2, QStringLiteral("alice"), QStringLiteral("s3cret"));
        if (proxy > 0) {
            START_FIXTURE_OR_SKIP(fixture);
            m_settings.proxyIP = QStringLiteral("127.0.0.1");
            m_settings.proxyPort = fixture.port();
            m_settings.proxyType = proxy == 2 ? Settings::ProxyType::Socks5 : Settings::ProxyType::Http;
            m_settings.proxyUser = QStringLiteral("alice");
            m_settings.proxyPassword = password;
        }
        m_server->refuseAgent("Seriograb/");
        m_server->routeSeries({1, 2});
        m_view.prefix = m_server->url(QStringLiteral("/pic")).mid(int(qstrlen("http://")));
        m_settings.userAgent = userAgent;
        m_settings.lastFile = 2;
        QStringList logged;
        m_view.onLog = [&](const QString &line) { logged << line; };
        m_run->run();
        QVERIFY2(m_view.messages.last().startsWith(report.replace(QLatin1String("%P"), QString::number(fixture.port()))),
                 qPrintable(m_view.messages.last()));
        QCOMPARE(m_view.saved == 2, report.endsWith(QLatin1String("2 saved, 0 gave no picture")));
        if (!m_server->requests().isEmpty())
            QCOMPARE(m_server->requests().first().header("User-Agent"),
                     userAgent.isEmpty() ? QByteArray("Seriograb/" SERIOGRAB_VERSION) : userAgent.toUtf8());
        QCOMPARE(m_server->requests().isEmpty(), password == QLatin1String("wrong"));
        QCOMPARE(!m_server->requests().isEmpty() && !m_server->requests().first().header("Via").isEmpty(), proxy == 1 && m_view.saved == 2);
        for (const QString &text : m_view.messages + m_view.states + logged)
            QVERIFY2(password.isEmpty() || !text.contains(password), qPrintable(text));
    }

    void runsThatCannotStart_data()
    {
        QTest::addColumn<QString>("prefix");   // "%S": the scripted server's
        QTest::addColumn<QString>("number");
        QTest::addColumn<bool>("historyFails");
        QTest::addColumn<QString>("message");
        QTest::newRow("number above 16 bits") << "%S/pic" << "40000" << false << "Not started: the number";
        QTest::newRow("empty prefix box") << "  " << "01" << false
                                          << "Enter the address of the first picture (or its part before the number)";
    }

    void runsThatCannotStart()
    {
        QFETCH(QString, prefix);
        QFETCH(QString, number);
        QFETCH(bool, historyFails);
        QFETCH(QString, message);
        m_view.prefix = prefix.replace(QLatin1String("%S"), m_server->url(QString()));
        m_view.number = number;
        m_view.historyFails = historyFails;
        m_settings.stopRequested = Settings::True;
        m_run->run();
        QVERIFY(m_server->requests().isEmpty());
        QCOMPARE(m_view.messages.size(), 1);
        QVERIFY2(m_view.messages.first().startsWith(message), qPrintable(m_view.messages.first()));
        QCOMPARE(m_view.historySaves, 0);
        QCOMPARE(m_view.number, number);
        QVERIFY(!m_run->isRunning());
    }

    void historyThatCannotBeSavedDoesNotStopTheRun()
    {
        m_server->routeSeries({1});
        m_view.historyFails = true;
        m_settings.multipleDownloads = Settings::False;
        m_run->run();
        QCOMPARE(contents(target(QStringLiteral("pic01.jpg"))), QByteArray("picture 1"));
        QCOMPARE(m_view.messages.last(), QStringLiteral("Downloading Stopped because Multiple Download Option is OFF"
                                                        " - 1 saved, 0 gave no picture"
                                                        " - the address was not added to the history: history.par: disk full"));
    }

    void numberStopsAtTheTopOf16Bits()
    {
        m_view.number = QStringLiteral("32766");
        m_settings.lastFile = 10;
        m_run->run();
        QCOMPARE(m_server->paths(), QStringList({QStringLiteral("/pic32766.jpg"), QStringLiteral("/pic32767.jpg")}));
        QCOMPARE(m_view.number, QStringLiteral("32767"));
        QVERIFY(m_view.messages.last().contains(QLatin1String("32767")));
    }

    void limitAtTheTopOf16BitsStillCounts()
    {
        m_settings.lastFile = 32767;
        int opened = 0;
        m_view.onMessage = [&](const QString &m) {
            if (m.startsWith(QLatin1String("Opening :")) && ++opened == 3)
                m_settings.stopRequested = Settings::True;
        };
        m_run->run();
        QCOMPARE(endText(m_view.messages.last()), QStringLiteral("User Terminated Download Process"));
    }

    void passingFaults_data()
    {
        QTest::addColumn<QList<Response>>("answers");   // for every number, in turn
        QTest::addColumn<int>("numbers");
        QTest::addColumn<int>("retries");
        QTest::addColumn<int>("misses");                // [MAXMISSES]
        QTest::addColumn<int>("busyLimit");             // ms a host may stay busy; 0: as set
        QTest::addColumn<bool>("viaProxy");             // the scripted server is the proxy too
        QTest::addColumn<int>("requests");              // for each number
        QTest::addColumn<QByteArray>("range");          // the second request's Range header
        QTest::addColumn<QString>("state");             // a state the status line showed
        QTest::addColumn<QString>("logged");            // what a line of the Run Log holds
        QTest::addColumn<QString>("report");

        const QByteArray body = everyByteValue(300);
        const QByteArray changed = QByteArray(body.size(), 'c');
        auto picture = [&](const QByteArray &bytes, const QByteArray &etag = QByteArray()) {
            Response r = Response::ok(bytes, jpegType);
            if (!etag.isEmpty()) {
                r.ranges = true;
                r.header("Accept-Ranges", "bytes").header("ETag", etag);
            }
            return r;
        };
        // A 206 as a server or a cache sends it, whatever was asked.
        auto part = [](const QByteArray &bytes, const QByteArray &etag, const QByteArray &range) {
            Response r;
            r.status = 206;
            r.body = bytes;
            r.header("ETag", etag);
            if (!range.isEmpty())
                r.header("Content-Range", range);
            return r;
        };
        Response reset = picture(body);
        reset.resetAfter = body.size() / 2;
        Response resetRanged = picture(body, "\"v1\"");
        resetRanged.resetAfter = body.size() * 9 / 10;
        Response resetWeak = picture(body, "W/\"v1\"");
        resetWeak.resetAfter = body.size() * 9 / 10;
        Response shortRanged = picture(body, "\"v1\"");
        shortRanged.body = body.left(body.size() / 3);
        shortRanged.declaredLength = body.size();
        Response empty;
        empty.closeWithoutAnswer = true;
        const Response busy = Response::page(503, "<html>busy</html>").header("Retry-After", "2");
        const Response tooMany = Response::page(429, "<html>slow down</html>").header("Retry-After", "1");
        Response failingPicture = Response::ok("GIF89a", "image/gif");
        failingPicture.status = 500;
        Response missingPicture = failingPicture;
        missingPicture.status = 404;
        const QString retried = QStringLiteral("Completed downloading maximum number if files (%1) - %1 saved, 0 gave no picture, %1 retried");
        const qsizetype cut = body.size() * 9 / 10;
        const QByteArray from = QByteArray::number(cut) + '-';
        const QByteArray rest = body.mid(cut);
        const QByteArray size = QByteArray::number(body.size());
        const QByteArray restRange = "bytes " + from + QByteArray::number(body.size() - 1) + '/' + size;
        const QString nowhere = QStringLiteral("http://%1/elsewhere.jpg").arg(lookups::unknownHost());

        QTest::newRow("reset mid-body, then whole") << QList<Response>{reset, picture(body)} << 1 << 3 << 1 << 0 << false << 2
            << QByteArray() << "Retrying in 1 s (Recv failure: Connection reset by peer)" << "" << retried.arg(1);
        QTest::newRow("reset at 90 %, resumed with Range") << QList<Response>{resetRanged, picture(body, "\"v1\"")} << 1 << 3 << 1 << 0
            << false << 2 << QByteArray::number(body.size() * 9 / 10) + '-' << "" << "" << retried.arg(1);
        QTest::newRow("shorter than declared, resumed") << QList<Response>{shortRanged, picture(body, "\"v1\"")} << 1 << 3 << 1 << 0
            << false << 2 << QByteArray::number(body.size() / 3) + '-' << "" << "" << retried.arg(1);
        QTest::newRow("file changed meanwhile: started over") << QList<Response>{resetRanged, picture(changed, "\"v2\"")} << 1 << 3 << 1
            << 0 << false << 2 << QByteArray::number(body.size() * 9 / 10) + '-' << "" << "" << retried.arg(1);
        QTest::newRow("a 206 short of the end: whole again")
            << QList<Response>{resetRanged, part(rest.left(15), "\"v1\"", "bytes " + from + QByteArray::number(cut + 14) + '/' + size), picture(body, "\"v1\"")} << 1 << 3
            << 1 << 0 << false << 3 << from << "" << "" << retried.arg(1);
        QTest::newRow("a 206 naming another total")
            << QList<Response>{resetRanged, part(rest, "\"v1\"", "bytes " + from + QByteArray::number(body.size() - 1) + '/' + QByteArray::number(body.size() + 100)), picture(body, "\"v1\"")} << 1 << 3
            << 1 << 0 << false << 3 << from << "" << "" << retried.arg(1);
        QTest::newRow("a 206 without Content-Range")
            << QList<Response>{resetRanged, part(rest, "\"v1\"", ""), picture(body, "\"v1\"")} << 1 << 3
            << 1 << 0 << false << 3 << from << "" << "" << retried.arg(1);
        QTest::newRow("a 206 of another ETag is not appended")
            << QList<Response>{resetRanged, part(changed.mid(cut), "\"v2\"", restRange), picture(changed, "\"v2\"")} << 1 << 3
            << 1 << 0 << false << 3 << from << "" << "" << retried.arg(1);
        QTest::newRow("a 206 without Content-Type completes the picture")
            << QList<Response>{resetRanged, part(rest, "\"v1\"", restRange)} << 1 << 3
            << 1 << 0 << false << 2 << from << "" << "" << retried.arg(1);
        QTest::newRow("a 206 to a request for the whole file")
            << QList<Response>{part(body.left(cut), "\"v1\"", "bytes 0-" + QByteArray::number(cut - 1) + '/' + size).header("Content-Type", jpegType), picture(body)} << 1 << 3
            << 1 << 0 << false << 2 << QByteArray() << "" << "" << retried.arg(1);
        QTest::newRow("a weak ETag vouches for no resumption") << QList<Response>{resetWeak, picture(body, "W/\"v1\"")} << 1 << 3 << 1
            << 0 << false << 2 << QByteArray() << "" << "" << retried.arg(1);
        QTest::newRow("empty reply") << QList<Response>{empty, picture(body)} << 1 << 3 << 1 << 0 << false << 2 << QByteArray() << ""
            << "" << retried.arg(1);
        QTest::newRow("Retry-After honoured") << QList<Response>{busy, picture(body)} << 1 << 3 << 1 << 0 << false << 2 << QByteArray()
            << "Retrying in 2 s (HTTP 503 Service Unavailable)" << "" << retried.arg(1);
        QTest::newRow("Retry-After as an HTTP date")
            << QList<Response>{Response::page(503, "busy").header("Retry-After", "Fri, 31 Dec 2100 23:59:59 GMT"), picture(body)}
            << 1 << 3 << 1 << 0 << false << 1 << QByteArray() << "Retrying in 60 s (HTTP 503 Service Unavailable)" << ""
            << "User Terminated Download Process - 0 saved, 0 gave no picture";
        QTest::newRow("a 429 burst costs no try") << QList<Response>{tooMany, tooMany, tooMany, tooMany, picture(body)} << 1 << 0 << 1
            << 0 << false << 5 << QByteArray() << "Retrying in 1 s (HTTP 429 Too Many Requests)" << "" << retried.arg(1);
        QTest::newRow("a host that stays busy ends the run") << QList<Response>{tooMany} << 3 << 0 << 1 << 2500 << false << 3
            << QByteArray() << "" << ""
            << "Downloading Stopped because the server stayed busy for 10 minutes - 0 saved, 0 gave no picture, 1 retried"
               " - 1 failed (last: HTTP 429 Too Many Requests)";
        QTest::newRow("a failing server is no end of the series") << QList<Response>{Response::page(502, "bad gateway")} << 3 << 1 << 1
            << 0 << false << 2 << QByteArray() << "" << ""
            << "Downloading Stopped because the server keeps failing: HTTP 502 Bad Gateway - 0 saved, 0 gave no picture, 1 retried"
               " - 1 failed (last: HTTP 502 Bad Gateway)";
        QTest::newRow("an error typed as a picture is no picture") << QList<Response>{failingPicture} << 2 << 0 << 1 << 0 << false << 1
            << QByteArray() << "" << "failed: HTTP 500 Internal Server Error"
            << "Downloading Stopped because the server keeps failing: HTTP 500 Internal Server Error - 0 saved, 0 gave no picture"
               " - 1 failed (last: HTTP 500 Internal Server Error)";
        QTest::newRow("a redirect to an unknown host fails that number") << QList<Response>{Response::redirect(302, nowhere.toLatin1())}
            << 2 << 0 << 0 << 0 << false << 1 << QByteArray() << "" << "at " + nowhere
            << "Completed downloading maximum number if files (2) - 0 saved, 0 gave no picture - 2 failed (last: Could not resolve host: "
                   + lookups::unknownHost() + ")";
        QTest::newRow("the proxy asks for a password") << QList<Response>{Response::page(407, "who are you")} << 3 << 3 << 0 << 0
            << true << 1 << QByteArray() << "" << ""
            << "Downloading Stopped because the proxy asks for a user name and password (HTTP 407) - 0 saved, 0 gave no picture"
               " - 1 failed (last: The proxy asks for a user name and password (HTTP 407))";
        QTest::newRow("a missing picture's page typed as a picture") << QList<Response>{missingPicture} << 1 << 0
            << 1 << 0 << false << 1 << QByteArray() << "" << "no picture: Content-Type \"image/gif\", HTTP status 404"
            << "Completed downloading maximum number if files (1) - 0 saved, 1 gave no picture";
        QTest::newRow("404 not retried") << QList<Response>{Response::page(404, "gone"), picture(body)} << 1 << 3 << 1 << 0 << false << 1
            << QByteArray() << "" << "" << "Completed downloading maximum number if files (1) - 0 saved, 1 gave no picture";
        QTest::newRow("Stop during the wait ends it at once")
            << QList<Response>{Response::page(503, "busy").header("Retry-After", "30"), picture(body)} << 1 << 3 << 1 << 0 << false << 1
            << QByteArray() << "Retrying in 30 s (HTTP 503 Service Unavailable)" << ""
            << "User Terminated Download Process - 0 saved, 0 gave no picture";
    }

    // A transfer that fails in passing is tried again, resumed where the server allows it, and
    // what is saved is the server's file, byte for byte, checked whole before it is saved. A
    // busy server makes the number wait, a failing one ends the run as failing, and only what
    // holds for every number ends it at once.
    void passingFaults()
    {
        QFETCH(QList<Response>, answers);
        QFETCH(int, numbers);
        QFETCH(int, retries);
        QFETCH(int, misses);
        QFETCH(int, busyLimit);
        QFETCH(bool, viaProxy);
        QFETCH(int, requests);
        QFETCH(QByteArray, range);
        QFETCH(QString, state);
        QFETCH(QString, logged);
        QFETCH(QString, report);
        m_settings.lastFile = qint16(numbers);
        m_settings.retries = retries;
        m_settings.maxMisses = misses;
        m_settings.repeats = Settings::Repeats::Save;   // every number has the same picture here
        m_settings.transfers = 1;   // one number at a time, so each number's requests can be counted
        if (busyLimit > 0)
            m_inet->setBusyLimit(busyLimit);
        if (viaProxy) {
            m_settings.proxyIP = QStringLiteral("127.0.0.1");
            m_settings.proxyPort = m_server->port();
        }
        for (int n = 1; n <= numbers; ++n)
            m_server->routeInTurn(ScriptedServer::seriesPath(n), answers);
        const bool stops = report.startsWith(QLatin1String("User Terminated"));
        m_view.onState = [&](const QString &text) {
            if (stops && text.startsWith(QLatin1String("Retrying")))
                m_run->stop();
        };
        QStringList log;
        m_view.onLog = [&](const QString &line) { log << line; };
        m_run->run();

        QCOMPARE(m_view.messages.last(), report);
        if (!state.isEmpty())
            QVERIFY2(m_view.states.contains(state), qPrintable(m_view.states.join(QLatin1Char('|'))));
        if (!logged.isEmpty())
            QVERIFY2(log.join(QLatin1Char('\n')).contains(logged), qPrintable(log.join(QLatin1Char('\n'))));
        const QList<ReceivedRequest> &received = m_server->requests();
        const bool ended = report.startsWith(QLatin1String("Downloading Stopped"));
        QCOMPARE(received.size(), (ended ? 1 : numbers) * requests);
        if (received.size() > 1)
            QCOMPARE(received[1].header("Range"), range.isNull() ? QByteArray() : "bytes=" + range);
        // The file is the last whole answer's, however many answers brought its bytes.
        const auto whole = std::find_if(answers.rbegin(), answers.rend(), [](const Response &r) { return r.status == 200; });
        for (int n = 1; n <= numbers && report.contains(QLatin1String("saved, ")) && !report.contains(QLatin1String(" 0 saved")); ++n)
            QCOMPARE(contents(target(ScriptedServer::seriesPath(n).mid(1))), whole->body);
        if (!ended)
            QCOMPARE(m_view.number, stops ? QStringLiteral("01") : QStringLiteral("%1").arg(numbers + 1, 2, 10, QLatin1Char('0')));
        const QStringList left = entries(m_settings.localFolder);
        QVERIFY2(std::none_of(left.begin(), left.end(), [](const QString &f) { return f.endsWith(QLatin1String(".part")); }),
                 qPrintable(left.join(QLatin1Char(' '))));
    }

    // While numbers wait for their next try, the one the run waits for and one fetched ahead, the
    // numbers after them are fetched; they are still handled, shown and logged in number order.
    void aWaitingNumberHoldsNothingUp()
    {
        m_settings.lastFile = 8;
        m_settings.transfers = 2;
        m_settings.retries = 1;
        m_server->routeSeries({3, 4, 5, 6, 7, 8});
        Response reset = Response::ok(QByteArray(100000, 'r'), jpegType);
        reset.resetAfter = 1000;
        for (int n : {1, 2})
            m_server->routeInTurn(ScriptedServer::seriesPath(n), {reset, Response::ok("picture " + QByteArray::number(n), jpegType)});
        m_run->run();
        const QStringList paths = m_server->paths();
        QCOMPARE(paths.size(), 10);
        // Their second tries came after all the others.
        QCOMPARE(QSet<QString>(paths.end() - 2, paths.end()), QSet<QString>({QStringLiteral("/pic01.jpg"), QStringLiteral("/pic02.jpg")}));
        QCOMPARE(m_view.pictures.first(), target(QStringLiteral("pic01.jpg")));
        QCOMPARE(m_view.pictures.size(), 8);
        QCOMPARE(m_view.messages.last(),
                 QStringLiteral("Completed downloading maximum number if files (8) - 8 saved, 0 gave no picture, 2 retried"));
    }

    // ... but a server that fails every request is not asked for ever more numbers meanwhile.
    void aFailingServerIsNotAskedForEverMoreNumbers()
    {
        m_settings.lastFile = 60;
        m_settings.transfers = 3;
        m_settings.retries = 1;
        m_settings.maxMisses = 3;
        m_server->routeOthers(Response::page(502, "bad gateway"));
        m_run->run();
        const QStringList paths = m_server->paths();
        QVERIFY2(QSet<QString>(paths.begin(), paths.end()).size() <= 12, qPrintable(paths.join(QLatin1Char(' '))));
    }

    void failuresThatHoldForEveryNumber_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("reason");   // %1: the refusing port
        QTest::newRow("not a valid address") << 0 << "the address \"http://127.0.0.1:8765samples/pic01.jpg\" is not";
        QTest::newRow("unknown host") << 1 << "the host " + lookups::unknownHost() + " is unknown";
        QTest::newRow("server refuses") << 2 << "the server at 127.0.0.1:%1 refused the connection";
        QTest::newRow("proxy refuses") << 3 << "the proxy 127.0.0.1:%1 refused the connection";
        QTest::newRow("https to a plain server") << 4 << "the server at 127.0.0.1:%1 does not speak https";
    }

    // A failure that no number of the series could escape ends the run after its first pass,
    // saying why in words a user can act on, and leaves the number on that picture.
    void failuresThatHoldForEveryNumber()
    {
        QFETCH(int, kind);
        QFETCH(QString, reason);
        RefusedPort refused;
        m_settings.lastFile = 20;
        m_settings.retries = 2;
        const QString port = QString::number(kind == 4 ? m_server->port() : refused.port());
        const QStringList prefixes{QStringLiteral("http://127.0.0.1:8765samples/pic"),
                                   QStringLiteral("http://%1/pic").arg(lookups::unknownHost()),
                                   refused.url(QStringLiteral("/pic")), m_server->url(QStringLiteral("/pic")),
                                   QStringLiteral("https://127.0.0.1:%1/pic").arg(port)};
        m_view.prefix = prefixes[kind];
        if (kind == 3) {
            m_settings.proxyIP = QStringLiteral("127.0.0.1");
            m_settings.proxyPort = refused.port();
        }
        m_server->routeSeries({1});
        m_run->run();

        const QString report = m_view.messages.last();
        QVERIFY2(report.startsWith(QStringLiteral("Downloading Stopped because ") + reason.arg(port)), qPrintable(report));
        QVERIFY2(endText(report).endsWith(QLatin1Char(')')), qPrintable(report));   // libcurl's words
        QCOMPARE(m_view.number, QStringLiteral("01"));
        QCOMPARE(std::count_if(m_view.messages.begin(), m_view.messages.end(),
                               [](const QString &m) { return m.startsWith(QLatin1String("Opening :")); }), 1);
        QVERIFY(!report.contains(QLatin1String("retried")));
    }

    void getDuringARunIsIgnored()
    {
        m_server->routeSeries({1, 2, 3});
        m_view.onMessage = [&](const QString &m) {
            if (m.startsWith(QLatin1String("Opening :")))
                m_run->run();
        };
        m_run->run();
        QCOMPARE(m_server->requests().size(), 3);
        QCOMPARE(m_view.historySaves, 1);
        QCOMPARE(m_view.number, QStringLiteral("04"));
    }
};

QTEST_GUILESS_MAIN(TestDownloadRun)
#include "tst_downloadrun.moc"
