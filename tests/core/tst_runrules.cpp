#include "core/runrules.h"

#include <QTest>

class TestRunRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void composeURL_data()
    {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("url");

        QTest::newRow("plain") << "http://h/pic" << "01" << ".jpg" << "http://h/pic01.jpg";
        QTest::newRow("spaces around each piece") << "  http://h/p " << " 5" << " .gif  "
                                                  << "http://h/p5.gif";
        QTest::newRow("tabs are kept") << "http://h/p\t" << "1" << ".jpg" << "http://h/p\t1.jpg";
        QTest::newRow("empty number") << "http://h/p" << "" << ".jpg" << "http://h/p.jpg";
        QTest::newRow("all empty") << "" << "" << "" << "";
    }

    void composeURL()
    {
        QFETCH(QString, prefix);
        QFETCH(QString, number);
        QFETCH(QString, suffix);
        QFETCH(QString, url);
        QCOMPARE(runrules::composeURL(prefix, number, suffix), url);
    }

    void localFileName_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("file");

        QTest::newRow("header text before the piece") << "http://h/x/a01.jpg" << "/tmp/d" << "x_"
                                                      << "/tmp/d/x_a01.jpg";
        QTest::newRow("address ending in a slash") << "http://h/x/" << "/tmp/d" << "x_"
                                                   << "/tmp/d/x_";
        QTest::newRow("no slash at all") << "pic01.jpg" << "/tmp/d" << "" << "/tmp/d/pic01.jpg";
        QTest::newRow("query part stays") << "http://h/a.jpg?s=1" << "/tmp/d" << ""
                                          << "/tmp/d/a.jpg?s=1";
        QTest::newRow("empty folder stays relative") << "http://h/a.jpg" << "" << "h_" << "h_a.jpg";
        QTest::newRow("folder with final slash") << "http://h/a.jpg" << "/" << "" << "/a.jpg";
    }

    void localFileName()
    {
        QFETCH(QString, url);
        QFETCH(QString, folder);
        QFETCH(QString, header);
        QFETCH(QString, file);
        QCOMPARE(runrules::localFileName(url, folder, header), file);
    }

    void nextNumber_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("next");

        QTest::newRow("09 -> 10") << 9 << 2 << "10";
        QTest::newRow("9 -> 10 unpadded") << 9 << 1 << "10";
        QTest::newRow("99 -> 100 never cut") << 99 << 2 << "100";
        QTest::newRow("007 -> 008") << 7 << 3 << "008";
        QTest::newRow("blank 5 has width 2") << 5 << 2 << "06";
        QTest::newRow("width 0 plain") << 0 << 0 << "1";
        QTest::newRow("negative keeps sign first") << -5 << 2 << "-04";
        QTest::newRow("to the top") << 32766 << 1 << "32767";
    }

    void nextNumber()
    {
        QFETCH(int, start);
        QFETCH(int, width);
        QFETCH(QString, next);
        qint16 n = qint16(start);
        QCOMPARE(runrules::nextNumber(n, width).value_or(QStringLiteral("<none>")), next);
        QCOMPARE(int(n), start + 1);
    }

    void nextNumberStopsAtTheTopOf16Bits()
    {
        qint16 n = 32767;
        QVERIFY(!runrules::nextNumber(n, 2).has_value());
        QCOMPARE(int(n), 32767);
    }

    // A whole address into the fields ("prefix|number|suffix"), and whether the prefix box holding
    // it would hold a whole picture's address.
    void splitAddress_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("fields");
        QTest::addColumn<bool>("whole");
        QTest::newRow("query stays in the suffix") << "https://h.org/g/img_0042.jpg?size=1024" << "https://h.org/g/img_|0042|.jpg?size=1024" << true;
        QTest::newRow("number in the query") << "https://h.org/view.php?id=007" << "https://h.org/view.php?id=|007|" << false;
        QTest::newRow("port") << "http://127.0.0.1:8765/s/pic01.jpg" << "http://127.0.0.1:8765/s/pic|01|.jpg" << true;
        QTest::newRow("digits in host, port, folders") << "http://cdn2.h.org:8080/2023/a.jpg" << "http://cdn2.h.org:8080/2023/a.jpg||" << false;
        QTest::newRow("host and port alone") << "http://127.0.0.1:8080" << "http://127.0.0.1:8080||" << false;
        QTest::newRow("fragment") << "https://h.org/pic07.jpg#page3" << "https://h.org/pic|07|.jpg#page3" << true;
        QTest::newRow("digits in the fragment only") << "https://h.org/view#id=5" << "https://h.org/view#id=5||" << false;
        QTest::newRow("trailing slash") << "https://h.org/gallery/42/" << "https://h.org/gallery/42/||" << false;
        QTest::newRow("number first in the piece") << "https://h.org/0042_cat.jpg" << "https://h.org/|0042|_cat.jpg" << false;
        QTest::newRow("percent escapes") << "https://h.org/my%20pics/day%2012.jpg" << "https://h.org/my%20pics/day%20|12|.jpg" << true;
        QTest::newRow("last of two runs, no scheme") << "01_img2.GIF" << "01_img|2|.GIF" << true;
    }

    void splitAddress()
    {
        QFETCH(QString, address);
        QFETCH(QString, fields);
        QFETCH(bool, whole);
        const runrules::AddressParts parts = runrules::splitAddress(address);
        QCOMPARE(QStringList({parts.prefix, parts.number, parts.suffix}).join(QLatin1Char('|')), fields);
        QCOMPARE(runrules::isWholePictureAddress(address), whole);
    }

    void contentTypes_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("image");
        QTest::newRow("gif") << "image/gif" << true;
        QTest::newRow("jpeg") << "image/jpeg" << true;
        QTest::newRow("jpeg with charset") << "image/jpeg; charset=x" << false;
        QTest::newRow("upper case") << "image/JPEG" << false;
        QTest::newRow("pjpeg") << "image/pjpeg" << false;
        QTest::newRow("png") << "image/png" << false;
        QTest::newRow("leading blank") << " image/gif" << false;
        QTest::newRow("none") << "" << false;
    }

    void contentTypes()
    {
        QFETCH(QString, type);
        QFETCH(bool, image);
        QCOMPARE(runrules::isImageType(type), image);
    }
};

QTEST_GUILESS_MAIN(TestRunRules)
#include "tst_runrules.moc"
