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

    // A whole address into the three fields, and whether the prefix box holding it alone would
    // be a whole picture's address.
    void splitAddress_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<bool>("whole");

        auto row = [](const char *name, const char *address, const char *prefix, const char *number,
                      const char *suffix, bool whole) {
            QTest::newRow(name) << address << prefix << number << suffix << whole;
        };
        const char *gallery = "https://example.org/gallery/img_";
        row("plain", "https://example.org/gallery/img_0042.jpg", gallery, "0042", ".jpg", true);
        row("query stays in the suffix", "https://example.org/gallery/img_0042.jpg?size=1024", gallery, "0042",
            ".jpg?size=1024", true);
        row("number in the query", "https://example.org/view.php?id=007", "https://example.org/view.php?id=", "007",
            "", false);
        row("query number before a fragment", "https://example.org/view?id=12#top", "https://example.org/view?id=",
            "12", "#top", false);
        row("the piece wins over the query", "https://example.org/p12.jpg?w=800", "https://example.org/p", "12",
            ".jpg?w=800", true);
        row("port", "http://127.0.0.1:8765/samples/pic01.jpg", "http://127.0.0.1:8765/samples/pic", "01", ".jpg", true);
        row("digits in host and port only", "http://cdn2.example.org:8080/gallery/photo.jpg",
            "http://cdn2.example.org:8080/gallery/photo.jpg", "", "", false);
        row("digits in folders only", "https://img3.example.org/2023/05/cat.jpg",
            "https://img3.example.org/2023/05/cat.jpg", "", "", false);
        row("host and port alone", "http://127.0.0.1:8080", "http://127.0.0.1:8080", "", "", false);
        row("fragment", "https://example.org/a/pic07.jpg#page3", "https://example.org/a/pic", "07", ".jpg#page3", true);
        row("digits in the fragment only", "https://example.org/view#id=5", "https://example.org/view#id=5", "", "",
            false);
        row("trailing slash", "https://example.org/gallery/42/", "https://example.org/gallery/42/", "", "", false);
        row("number at the start of the piece", "https://example.org/g/0042_cat.jpg", "https://example.org/g/", "0042",
            "_cat.jpg", false);
        row("last of two runs", "https://example.org/g/01_img2.gif", "https://example.org/g/01_img", "2", ".gif", true);
        row("percent escapes are no digits", "https://example.org/my%20pics/holiday%2012.jpg",
            "https://example.org/my%20pics/holiday%20", "12", ".jpg", true);
        row("an escape alone", "https://example.org/a%20b.jpg", "https://example.org/a%20b.jpg", "", "", false);
        row("blanks around a pasted address", "  https://example.org/pic5.gif\n", "https://example.org/pic", "5", ".gif",
            true);
        row("no scheme", "pic01.jpg", "pic", "01", ".jpg", true);
        row("extension in capitals", "https://example.org/IMG_0001.JPEG", "https://example.org/IMG_", "0001", ".JPEG",
            true);
        row("a prefix as typed", "http://127.0.0.1:8765/samples/pic", "http://127.0.0.1:8765/samples/pic", "", "",
            false);
    }

    void splitAddress()
    {
        QFETCH(QString, address);
        QFETCH(QString, prefix);
        QFETCH(QString, number);
        QFETCH(QString, suffix);
        QFETCH(bool, whole);
        const runrules::AddressParts parts = runrules::splitAddress(address);
        QCOMPARE(parts.prefix, prefix);
        QCOMPARE(parts.number, number);
        QCOMPARE(parts.suffix, suffix);
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
