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
        // The same picture gets the same name however its address was copied.
        QTest::newRow("encoded space") << "http://h/my%20pics/img%2001.jpg" << "/d" << "" << "/d/img 01.jpg";
        QTest::newRow("typed space") << "http://h/my pics/img 01.jpg" << "/d" << "" << "/d/img 01.jpg";
        QTest::newRow("encoded Cyrillic") << "http://h/%D0%BA%D0%B0%D0%B4%D1%8001.jpg" << "/d" << ""
                                          << "/d/кадр01.jpg";
        QTest::newRow("typed Cyrillic") << "http://h/кадр01.jpg" << "/d" << "" << "/d/кадр01.jpg";
        QTest::newRow("typed and encoded side by side") << "http://h/кадр%2001.jpg" << "/d" << "" << "/d/кадр 01.jpg";
        QTest::newRow("encoded slash and backslash") << "http://h/a%2Fb%5Cc.jpg" << "/d" << "" << "/d/a_b_c.jpg";
        QTest::newRow("NUL and line feed") << "http://h/a%00b%0A.jpg" << "/d" << "" << "/d/a_b_.jpg";
        QTest::newRow("encoded dot dot") << "http://h/%2E%2E" << "/d" << "" << "/d/%2E%2E";
        QTest::newRow("plain dot dot") << "http://h/a/.." << "/d" << "x_" << "/d/x_..";
        QTest::newRow("not UTF-8 stays encoded") << "http://h/%FF%FE01.jpg" << "/d" << "" << "/d/%FF%FE01.jpg";
        QTest::newRow("lone percent stays") << "http://h/100%.jpg" << "/d" << "" << "/d/100%.jpg";
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
        QTest::newRow("last of two runs") << "http://h/01_img2.GIF" << "http://h/01_img|2|.GIF" << true;
        // Without a scheme the address is taken as http: its host and port are never the number.
        QTest::newRow("no scheme") << "example.com/pics/pic01.jpg" << "example.com/pics/pic|01|.jpg" << true;
        QTest::newRow("no scheme, address and port") << "192.168.1.5:8080/a/07.jpg" << "192.168.1.5:8080/a/|07|.jpg" << true;
        QTest::newRow("no scheme, host and port alone") << "example.com:8080" << "example.com:8080||" << false;
        QTest::newRow("no scheme, host alone") << "01_img2.GIF" << "01_img2.GIF||" << false;
        // A space at the split point is kept, encoded, so trimming the fields cannot drop it.
        QTest::newRow("spaces") << "http://h/my pics/img 01.jpg" << "http://h/my%20pics/img%20|01|.jpg" << true;
        QTest::newRow("space after the number") << "http://h/img01 a.jpg" << "http://h/img|01|%20a.jpg" << false;
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
