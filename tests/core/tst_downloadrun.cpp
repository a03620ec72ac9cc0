#include "core/downloadrun.h"
#include "core/settings.h"
#include "platform/filesystem.h"
#include "platform/inet.h"
#include "runreport.h"
#include "scriptedserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include <unistd.h>

namespace {

const QByteArray jpegType = "image/jpeg";

// The window as the run sees it, recording what the run did to it.
class RecordingView : public RunView
{
public:
    QString prefix, number = QStringLiteral("01"), suffix = QStringLiteral(".jpg");
    QStringList messages;
    QStringList pictures;
    QStringList prompts;          // titles of the rename prompts shown
    QStringList answers;          // what the user types at them, in turn
    int historySaves = 0;
    bool historyFails = false;
    std::function<void(const QString &)> onMessage;
    std::function<void(const QString &)> onLog;
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

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

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

    void serveSeries(const QStringList &numbers, const QByteArray &type = jpegType)
    {
        for (const QString &n : numbers)
            m_server->route(QStringLiteral("/pic") + n + QStringLiteral(".jpg"),
                            Response::ok("picture " + n.toLatin1(), type));
    }

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
        serveSeries({QStringLiteral("01"), QStringLiteral("02"), QStringLiteral("03")});
        m_run->run();
        QCOMPARE(m_server->paths().size(), 3);
        for (const QString &n : {QStringLiteral("01"), QStringLiteral("02"), QStringLiteral("03")})
            QVERIFY(m_server->paths().contains(QStringLiteral("/pic%1.jpg").arg(n)));
        QCOMPARE(m_view.number, QStringLiteral("04"));
        QCOMPARE(m_view.messages.last(), QStringLiteral("Completed downloading maximum number if files (3) - 3 saved, 0 gave no picture"));
        QCOMPARE(readAll(target(QStringLiteral("pic02.jpg"))), QByteArray("picture 02"));
        // Shown in number order, whatever order the answers arrived in.
        QCOMPARE(m_view.pictures, QStringList({target(QStringLiteral("pic01.jpg")), target(QStringLiteral("pic02.jpg")),
                                               target(QStringLiteral("pic03.jpg"))}));
        QCOMPARE(m_view.historySaves, 1);
        QVERIFY(m_view.messages.contains(QStringLiteral("Opening :") + m_server->url(QStringLiteral("/pic01.jpg"))));
        QCOMPARE(m_inet->AccessType(), 1);
        QCOMPARE(m_inet->Proxy(), QStringLiteral(":0"));
        QVERIFY(m_server->connectionCount() <= m_settings.transfers);
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
        QTest::addColumn<int>("newLastFile");   // at that pass: 0 switches Multiple Downloads OFF
        QTest::addColumn<int>("passes");
        QTest::addColumn<QString>("report");

        const QString off = QStringLiteral("Downloading Stopped because Multiple Download Option is OFF");
        QTest::newRow("multiple off") << 3 << false << 10 << 0 << 0 << 1 << off + " - 0 saved, 1 gave no picture";
        QTest::newRow("multiple off, limit 1") << 1 << false << 10 << 0 << 0 << 1 << off + " - 0 saved, 1 gave no picture";
        QTest::newRow("limit 1") << 1 << true << 10 << 0 << 0 << 1
                                 << "Completed downloading maximum number if files (1) - 0 saved, 1 gave no picture";
        QTest::newRow("limit 0 ends after one pass") << 0 << true << 10 << 0 << 0 << 1
                                                     << "Completed downloading maximum number if files (1) - 0 saved, 1 gave no picture";
        QTest::newRow("negative limit ends after one pass") << -3 << true << 10 << 0 << 0 << 1
                                                            << "Completed downloading maximum number if files (1) - 0 saved, 1 gave no picture";
        QTest::newRow("switched off during a run") << 10 << true << 10 << 2 << 0 << 2 << off + " - 0 saved, 2 gave no picture";
        QTest::newRow("limit lowered below the passes made") << 10 << true << 10 << 4 << 2 << 4
                                                             << "Completed downloading maximum number if files (4) - 0 saved, 4 gave no picture";
        QTest::newRow("series ends after K misses") << 30 << true << 3 << 0 << 0 << 3
                                                    << "Downloading Stopped because 3 numbers in a row gave no picture - 0 saved, 3 gave no picture";
        QTest::newRow("K = 0 runs to the maximum") << 12 << true << 0 << 0 << 0 << 12
                                                   << "Completed downloading maximum number if files (12) - 0 saved, 12 gave no picture";
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
        m_settings.lastFile = qint16(lastFile);
        m_settings.maxMisses = maxMisses;
        m_settings.multipleDownloads = multiple ? Settings::True : Settings::False;
        int opened = 0;
        m_view.onMessage = [&](const QString &m) {
            if (!m.startsWith(QLatin1String("Opening :")) || ++opened != atPass)
                return;
            if (newLastFile == 0)
                m_settings.multipleDownloads = Settings::False;
            else
                m_settings.lastFile = qint16(newLastFile);
        };
        m_run->run();
        QCOMPARE(opened, passes);
        QCOMPARE(m_view.messages.last(), report);
        const int bound = multiple ? qMin(qMax(lastFile, 1), passes + m_settings.transfers - 1) : 1;
        QVERIFY2(m_server->requests().size() >= passes && m_server->requests().size() <= bound,
                 qPrintable(m_server->paths().join(QLatin1Char(' '))));
        QCOMPARE(m_inet->transferCount(), 0);
    }

    // Passes are handled one by one in number order; each outcome is counted, logged and
    // breaks or continues the run of misses.
    void outcomesAreCountedAndLogged()
    {
        m_settings.lastFile = 5;
        m_settings.maxMisses = 2;
        m_settings.ifExists = Settings::IfExists::Skip;
        serveSeries({QStringLiteral("01"), QStringLiteral("03"), QStringLiteral("05")});
        Response reset = Response::ok(QByteArray(100000, 'r'), jpegType);
        reset.resetAfter = 100;
        m_server->route(QStringLiteral("/pic04.jpg"), reset);
        QFile existing(target(QStringLiteral("pic03.jpg")));
        QVERIFY(existing.open(QIODevice::WriteOnly) && existing.write("mine") == 4);
        existing.close();
        QStringList log;
        m_view.onLog = [&](const QString &line) { log << line; };
        m_run->run();

        QCOMPARE(m_view.messages.last(),
                 QStringLiteral("Completed downloading maximum number if files (5) - 2 saved, 1 gave no picture, 1 skipped"
                                " - 1 failed (last: Recv failure: Connection reset by peer)"));
        QCOMPARE(readAll(target(QStringLiteral("pic03.jpg"))), QByteArray("mine"));
        QCOMPARE(log.size(), 5);
        const QStringList outcomes{QStringLiteral("saved as ") + target(QStringLiteral("pic01.jpg")),
                                   QStringLiteral("no picture: Content-Type \"text/plain\", HTTP status 404"),
                                   QStringLiteral("skipped: \"") + target(QStringLiteral("pic03.jpg")) + QStringLiteral("\" exists"),
                                   QStringLiteral("failed: Recv failure: Connection reset by peer (error 56)"),
                                   QStringLiteral("saved as ") + target(QStringLiteral("pic05.jpg"))};
        for (int i = 0; i < 5; ++i)
            QCOMPARE(log[i], QStringLiteral("0%1  %2  %3").arg(i + 1).arg(m_server->url(QStringLiteral("/pic0%1.jpg").arg(i + 1)), outcomes[i]));
        QCOMPARE(m_view.saved, 2);
        QCOMPARE(QDir(m_settings.localFolder).entryList(QDir::Files | QDir::Hidden),
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
        m_view.onMessage = [&](const QString &m) {
            if (!m.endsWith(QLatin1String("pic02.jpg")))
                return;
            auto stop = [&] {
                m_settings.stopRequested = Settings::True;   // what Stop does
                m_inet->Cancel();
            };
            delayMs > 0 ? QTimer::singleShot(delayMs, stop) : stop();
        };
        m_run->run();
        QCOMPARE(m_view.messages.last(), QStringLiteral("User Terminated Download Process - 1 saved, 0 gave no picture"));
        QCOMPARE(m_view.number, QStringLiteral("02"));
        QCOMPARE(QDir(m_settings.localFolder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("pic01.jpg")});
        QCOMPARE(m_view.pictures.last(), m_default);
        QVERIFY(m_view.messages.contains(QStringLiteral("File is not a image")));
        QVERIFY(m_server->requests().size() <= 1 + m_settings.transfers);
        QCOMPARE(m_inet->transferCount(), 0);
    }

    // A part file that a crashed program left behind goes with the next run into its folder;
    // one that a running program is still writing stays.
    void stalePartFilesGo()
    {
        QProcess ended;
        ended.start(QStringLiteral("sleep"), {QStringLiteral("0")});
        QVERIFY(ended.waitForStarted());
        const qint64 gone = ended.processId();
        QVERIFY(ended.waitForFinished());
        const QString stale = QStringLiteral(".seriograb-%1-7.part").arg(gone);
        const QString live = QStringLiteral(".seriograb-%1-7.part").arg(::getppid());
        for (const QString &name : {stale, live}) {
            QFile f(target(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        serveSeries({QStringLiteral("01")});
        m_settings.multipleDownloads = Settings::False;
        m_run->run();
        QCOMPARE(QDir(m_settings.localFolder).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 QStringList({live, QStringLiteral("pic01.jpg")}));
    }

    void contentTypeDecides_data()
    {
        QTest::addColumn<QByteArray>("type");   // null: no header at all
        QTest::addColumn<bool>("kept");
        QTest::newRow("gif") << QByteArray("image/gif") << true;
        QTest::newRow("jpeg") << QByteArray("image/jpeg") << true;
        QTest::newRow("jpeg with charset") << QByteArray("image/jpeg; charset=x") << false;
        QTest::newRow("JPEG") << QByteArray("image/JPEG") << false;
        QTest::newRow("pjpeg") << QByteArray("image/pjpeg") << false;
        QTest::newRow("png") << QByteArray("image/png") << false;
        QTest::newRow("none") << QByteArray() << false;
    }

    void contentTypeDecides()
    {
        QFETCH(QByteArray, type);
        QFETCH(bool, kept);
        m_settings.multipleDownloads = Settings::False;
        m_server->route(QStringLiteral("/pic01.jpg"), Response::ok("body", type));
        m_run->run();
        QCOMPARE(QFile::exists(target(QStringLiteral("pic01.jpg"))), kept);
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
        if (kind == 2) {
            m_run->run();   // first pass from the live server
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            const quint16 port = closed.serverPort();
            closed.close();
            m_view.prefix = QStringLiteral("http://127.0.0.1:%1/pic").arg(port);
            m_view.number = QStringLiteral("02");
            m_view.messages.clear();
            states.clear();
            m_settings.lastFile = 1;
        }
        m_run->run();
        QVERIFY(!QFile::exists(target(QStringLiteral("pic02.jpg"))));
        QCOMPARE(m_view.pictures.last(), m_default);
        QCOMPARE(m_view.number, QStringLiteral("03"));
        if (kind != 0) {
            QVERIFY(!states.isEmpty());
            QCOMPARE(states.last().at(0).value<qint16>(), qint16(Inet::Error));
            QVERIFY(m_inet->ResponseCode() != 0);
        }
        // Nothing stale: only the first picture was ever written.
        QCOMPARE(QDir(m_settings.localFolder).entryList(QDir::Files), QStringList{QStringLiteral("pic01.jpg")});
    }

    void everyByteValueIsSavedAsServed()
    {
        QByteArray body;
        for (int round = 0; round < 64; ++round)
            for (int b = 0; b < 256; ++b)
                body.append(char(b));
        m_server->route(QStringLiteral("/pic01.jpg"), Response::ok(body, "image/gif"));
        m_settings.multipleDownloads = Settings::False;
        m_run->run();
        QCOMPARE(readAll(target(QStringLiteral("pic01.jpg"))), body);
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<int>("ifExists");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("saved");     // empty: nothing is saved
        QTest::addColumn<int>("prompts");

        const int ask = int(Settings::IfExists::Ask);
        const int skip = int(Settings::IfExists::Skip);
        const int number = int(Settings::IfExists::Number);
        QTest::newRow("header text") << "x_" << ask << QStringList() << QStringList() << "x_pic01.jpg" << 0;
        QTest::newRow("exists, answer b") << "x_" << ask << QStringList{"x_pic01.jpg"} << QStringList{"b"} << "b.jpg" << 1;
        QTest::newRow("exists, empty answer or Cancel") << "" << ask << QStringList{"pic01.jpg"} << QStringList{""} << "" << 1;
        QTest::newRow("exists, answer names another existing file")
                << "" << ask << QStringList{"pic01.jpg", "c.jpg"} << QStringList{"c", "d"} << "d.jpg" << 2;
        QTest::newRow("exists, skip") << "" << skip << QStringList{"pic01.jpg"} << QStringList() << "" << 0;
        QTest::newRow("not there, skip") << "" << skip << QStringList() << QStringList() << "pic01.jpg" << 0;
        QTest::newRow("exists, keep both") << "x_" << number << QStringList{"x_pic01.jpg", "x_pic01_1.jpg"}
                                           << QStringList() << "x_pic01_2.jpg" << 0;
    }

    // An existing file is never touched: the prompt, skipping or a numbered name decide.
    void fileNames()
    {
        QFETCH(QString, header);
        QFETCH(int, ifExists);
        QFETCH(QStringList, existing);
        QFETCH(QStringList, answers);
        QFETCH(QString, saved);
        QFETCH(int, prompts);
        m_settings.headerText = header;
        m_settings.ifExists = Settings::IfExists(ifExists);
        m_settings.multipleDownloads = Settings::False;
        m_view.answers = answers;
        const QByteArray longOld(5000, 'o');
        for (const QString &name : existing) {
            QFile f(target(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(longOld);
        }
        m_server->route(QStringLiteral("/pic01.jpg"), Response::ok("new bytes", jpegType));
        m_run->run();
        QCOMPARE(m_view.prompts.size(), prompts);
        for (int i = 0; i < prompts; ++i)
            QCOMPARE(m_view.prompts[i], QStringLiteral("File Exists. Enter a new Name|")
                                            + target(i == 0 ? existing.first() : answers[i - 1] + QStringLiteral(".jpg")));
        for (const QString &name : existing)
            QCOMPARE(readAll(target(name)), longOld);
        QStringList expected = existing;
        if (!saved.isEmpty()) {
            QCOMPARE(readAll(target(saved)), QByteArray("new bytes"));
            expected << saved;
        }
        expected.sort();
        QCOMPARE(QDir(m_settings.localFolder).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
        QCOMPARE(m_view.messages.last().contains(QLatin1String("1 skipped")), saved.isEmpty());
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
        m_view.prefix = QStringLiteral("http://127.0.0.1:1/pic");   // nothing is kept either way
        m_run->run();
        QCOMPARE(m_inet->Proxy(), proxy);
        QCOMPARE(m_inet->AccessType(), access);
    }

    void runsThatCannotStart_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<bool>("historyFails");
        QTest::newRow("number above 16 bits") << "40000" << false;
    }

    void runsThatCannotStart()
    {
        QFETCH(QString, number);
        QFETCH(bool, historyFails);
        m_view.number = number;
        m_view.historyFails = historyFails;
        m_settings.stopRequested = Settings::True;
        m_run->run();
        QVERIFY(m_server->requests().isEmpty());
        QCOMPARE(m_view.messages.size(), 1);
        QVERIFY(m_view.messages.first().startsWith(QLatin1String("Not started")));
        QCOMPARE(m_view.number, number);
        QVERIFY(!m_run->isRunning());
    }

    void historyThatCannotBeSavedDoesNotStopTheRun()
    {
        serveSeries({QStringLiteral("01")});
        m_view.historyFails = true;
        m_settings.multipleDownloads = Settings::False;
        m_run->run();
        QCOMPARE(readAll(target(QStringLiteral("pic01.jpg"))), QByteArray("picture 01"));
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

    void failedSavesAreReported()
    {
        // A regular file where the target folder should be: fails even for root.
        QFile blocker(m_dir->filePath(QStringLiteral("notafolder")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        m_settings.localFolder = blocker.fileName();
        m_settings.lastFile = 2;
        serveSeries({QStringLiteral("01"), QStringLiteral("02")});
        m_run->run();
        QCOMPARE(m_view.number, QStringLiteral("03"));
        QVERIFY(m_view.pictures.isEmpty());
        const QString report = m_view.messages.last();
        QVERIFY2(report.startsWith(QLatin1String("Completed downloading maximum number if files (2)")), qPrintable(report));
        QVERIFY2(report.contains(QLatin1String("2 file(s) not saved")), qPrintable(report));
    }

    void getDuringARunIsIgnored()
    {
        serveSeries({QStringLiteral("01"), QStringLiteral("02"), QStringLiteral("03")});
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
