#include "core/numbers.h"

#include <QTest>

class TestNumbers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void leadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");   // -99999: does not fit 16 bits

        QTest::newRow("plain") << "25" << 25;
        QTest::newRow("digits then text") << "25xyz" << 25;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("letters") << "abc" << 0;
        QTest::newRow("half to even down") << "2.5" << 2;
        QTest::newRow("half to even up") << "3.5" << 4;
        QTest::newRow("negative half") << "-2.5" << -2;
        QTest::newRow("negative") << "-5" << -5;
        QTest::newRow("plus sign") << "+7" << 7;
        QTest::newRow("leading zeros") << "007" << 7;
        QTest::newRow("blank inside removed") << " 1 2" << 12;
        QTest::newRow("tab and line feed removed") << "\t1\n2" << 12;
        QTest::newRow("point only fraction") << ".6" << 1;
        QTest::newRow("second point ends it") << "1.2.3" << 1;
        QTest::newRow("exponent") << "1e3" << 1000;
        QTest::newRow("exponent with sign") << "25E-1" << 2;
        QTest::newRow("dangling exponent") << "12e" << 12;
        QTest::newRow("sign alone") << "-" << 0;
        QTest::newRow("top of range") << "32767" << 32767;
        QTest::newRow("bottom of range") << "-32768" << -32768;
        QTest::newRow("rounds into range") << "32767.4" << 32767;
        QTest::newRow("above range") << "32768" << -99999;
        QTest::newRow("below range") << "-32769" << -99999;
        QTest::newRow("rounds out of range") << "32767.5" << -99999;
        QTest::newRow("huge exponent") << "1e999" << -99999;
        QTest::newRow("tiny exponent") << "1e-999" << 0;
        QTest::newRow("hex is not read") << "&H10" << 0;
    }

    void leadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(int, expected);
        const std::optional<qint16> n = numbers::leadingNumber16(text);
        if (expected == -99999) {
            QVERIFY(!n.has_value());
        } else {
            QVERIFY(n.has_value());
            QCOMPARE(int(*n), expected);
        }
    }

    void strictNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");   // -99999: refused

        QTest::newRow("blanks around") << " 12 " << 12;
        QTest::newRow("leading zeros") << "007" << 7;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("negative") << "-5" << -5;
        QTest::newRow("fraction to even") << "2.5" << 2;
        QTest::newRow("empty") << "" << -99999;
        QTest::newRow("blanks only") << "   " << -99999;
        QTest::newRow("trailing letters") << "12a" << -99999;
        QTest::newRow("blank inside") << "1 2" << -99999;
        QTest::newRow("out of range") << "40000" << -99999;
    }

    void strictNumber()
    {
        QFETCH(QString, text);
        QFETCH(int, expected);
        const std::optional<qint16> n = numbers::strictNumber16(text);
        if (expected == -99999) {
            QVERIFY(!n.has_value());
        } else {
            QVERIFY(n.has_value());
            QCOMPARE(int(*n), expected);
        }
    }

    void roundingKeepsTheRoundingModeOfTheCaller()
    {
        QCOMPARE(numbers::roundHalfEven(3937.5), 3938.0);
        QCOMPARE(numbers::roundHalfEven(952.5), 952.0);
        QCOMPARE(numbers::roundHalfEven(-0.5), -0.0);
    }
};

QTEST_GUILESS_MAIN(TestNumbers)
#include "tst_numbers.moc"
