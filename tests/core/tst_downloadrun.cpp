#include "core/downloadrun.h"
#include "core/settings.h"
#include "platform/filesystem.h"
#include "platform/inet.h"
#include "scriptedserver.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

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
        QCOMPARE(m_server->paths(), QStringList({QStringLiteral("/pic01.jpg"), QStringLiteral("/pic02.jpg"),
                                                 QStringLiteral("/pic03.jpg")}));
        QCOMPARE(m_view.number, QStringLiteral("04"));
        QCOMPARE(m_view.messages.last(), QStringLiteral("Completed downloading maximum number if files (3)"));
        QCOMPARE(readAll(target(QStringLiteral("pic02.jpg"))), QByteArray("picture 02"));
        QCOMPARE(m_view.pictures.size(), 3);
        QCOMPARE(m_view.pictures.last(), target(QStringLiteral("pic03.jpg")));
        QCOMPARE(m_view.historySaves, 1);
        QVERIFY(m_view.messages.contains(QStringLiteral("Opening :") + m_server->url(QStringLiteral("/pic01.jpg"))));
        QCOMPARE(m_inet->AccessType(), 1);
        QCOMPARE(m_inet->Proxy(), QStringLiteral(":0"));
        QCOMPARE(m_server->connectionCount(), 1);   // one connection for the whole series
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
        QTest::addColumn<int>("switchOffAtPass");   // 0: never
        QTest::addColumn<int>("passes");
        QTest::addColumn<QString>("report");

        const QString off = QStringLiteral("Downloading Stopped because Multiple Download Option is OFF");
        QTest::newRow("multiple off") << 3 << false << 0 << 1 << off;
        QTest::newRow("multiple off, limit 1") << 1 << false << 0 << 1 << off;
        QTest::newRow("limit 1") << 1 << true << 0 << 1
                                 << QStringLiteral("Completed downloading maximum number if files (1)");
        QTest::newRow("limit 0 never ends by count") << 0 << true << 5 << 5 << off;
        QTest::newRow("negative limit never ends by count") << -3 << true << 4 << 4 << off;
        QTest::newRow("switched off during a run") << 10 << true << 2 << 2 << off;
    }

    void endReports()
    {
        QFETCH(int, lastFile);
        QFETCH(bool, multiple);
        QFETCH(int, switchOffAtPass);
        QFETCH(int, passes);
        QFETCH(QString, report);
        m_settings.lastFile = qint16(lastFile);
        m_settings.multipleDownloads = multiple ? Settings::True : Settings::False;
        int opened = 0;
        m_view.onMessage = [&](const QString &m) {
            if (m.startsWith(QLatin1String("Opening :")) && ++opened == switchOffAtPass)
                m_settings.multipleDownloads = Settings::False;
        };
        m_run->run();
        QCOMPARE(m_server->requests().size(), passes);
        QCOMPARE(m_view.messages.last(), report);
    }

    void stopDuringAPassEndsTheRunAfterIt()
    {
        m_settings.lastFile = 10;
        m_server->route(QStringLiteral("/pic01.jpg"), Response::ok("partial", jpegType));
        m_server->route(QStringLiteral("/pic02.jpg"), [] {
            Response r = Response::ok(QByteArray(4096, 'x'), jpegType);
            r.stallAfter = 100;
            return r;
        }());
        m_view.onMessage = [&](const QString &m) {
            if (m.endsWith(QLatin1String("pic02.jpg")))
                QTimer::singleShot(100, [&] {
                    m_settings.stopRequested = Settings::True;   // what Stop does
                    m_inet->Cancel();
                });
        };
        m_run->run();
        QCOMPARE(m_view.messages.last(), QStringLiteral("User Terminated Download Process"));
        QCOMPARE(m_view.number, QStringLiteral("03"));
        QVERIFY(!QFile::exists(target(QStringLiteral("pic02.jpg"))));
        QCOMPARE(m_view.pictures.last(), m_default);
        QVERIFY(m_view.messages.contains(QStringLiteral("File is not a image")));
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
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("saved");
        QTest::addColumn<int>("prompts");

        QTest::newRow("header text") << "x_" << QStringList() << QStringList() << "x_pic01.jpg" << 0;
        QTest::newRow("exists, answer b") << "x_" << QStringList{"x_pic01.jpg"} << QStringList{"b"} << "b.jpg" << 1;
        QTest::newRow("exists, empty answer") << "" << QStringList{"pic01.jpg"} << QStringList{""} << ".jpg" << 1;
        QTest::newRow("exists, answer names another existing file")
                << "" << QStringList{"pic01.jpg", "c.jpg"} << QStringList{"c"} << "c.jpg" << 1;
    }

    void fileNames()
    {
        QFETCH(QString, header);
        QFETCH(QStringList, existing);
        QFETCH(QStringList, answers);
        QFETCH(QString, saved);
        QFETCH(int, prompts);
        m_settings.headerText = header;
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
        if (prompts)
            QCOMPARE(m_view.prompts.first(), QStringLiteral("File Exists. Enter a new Name|")
                                                     + target(existing.first()));
        // The whole new body, with nothing of a longer old file left behind it.
        QCOMPARE(readAll(target(saved)), QByteArray("new bytes"));
        if (!existing.isEmpty())
            QCOMPARE(readAll(target(existing.first())), longOld);
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
        QCOMPARE(m_view.messages.last(), QStringLiteral("User Terminated Download Process"));
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
