#include "filebytes.h"
#include "platform/filesystem.h"
#include "storage/modpara.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace modPara;

namespace {

const QByteArray fiveBlocks = "[LOCALFOLDER]\r\n/home/u/Bilder\r\n"
                              "[HEADERTEXT]\r\nx_\r\n"
                              "[LASTFILE]\r\n20\r\n"
                              "[PROXYIP]\r\n10.0.0.1\r\n"
                              "[PROXYPORT]\r\n8080\r\n";

} // namespace

class TestModPara : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    ProgramPlace m_place;

    QString parFile() const { return m_place.parameterFile(); }
    QString scratch() const { return m_place.file(QStringLiteral("seriograb.par.tmp")); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_place.folder = m_dir->path();
        m_place.name = QStringLiteral("seriograb");
    }
    void cleanup() { m_dir.reset(); }

    void firstStartCreatesAnEmptyFile()
    {
        QCOMPARE(parFile(), m_dir->filePath("seriograb.par"));
        QVERIFY(!QFile::exists(parFile()));
        for (const char *key : {"headerText", "localFolder", "lastFile", "proxyIP", "proxyPort"})
            QCOMPARE(readPara(m_place, QString::fromLatin1(key)), QString());
        QCOMPARE(contents(parFile()), QByteArray());
        QCOMPARE(entries(m_place.folder), QStringList{"seriograb.par"});
    }

    void headerLine_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("header");
        QTest::newRow("camel case") << "headerText" << "[HEADERTEXT]";
        QTest::newRow("spaces around") << "  proxyIP " << "[PROXYIP]";
        QTest::newRow("space inside kept") << "a b" << "[A B]";
        QTest::newRow("tab not removed") << "\tkey" << "[\tKEY]";
    }
    void headerLine()
    {
        QFETCH(QString, key);
        QFETCH(QString, header);
        QCOMPARE(modPara::headerLine(key), header);
    }

    void firstStoreWritesExactBytes()
    {
        writePara(m_place, "localFolder", "/home/u/Bilder");
        QCOMPARE(contents(parFile()), QByteArray("[LOCALFOLDER]\r\n/home/u/Bilder\r\n"));

        // The Options dialog's first OK: every key becomes a new block, in call order.
        writePara(m_place, "headerText", "x_");
        writePara(m_place, "lastFile", "20");
        writePara(m_place, "proxyIP", "10.0.0.1");
        writePara(m_place, "proxyPort", "8080");
        QCOMPARE(contents(parFile()), fiveBlocks);
        QVERIFY(!QFile::exists(scratch()));
    }

    void valueTrimmedOnlyWhenFirstStored_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("firstStored");
        QTest::newRow("spaces") << " a b " << "a b";
        QTest::newRow("tabs stay") << "\ta\t" << "\ta\t";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("only spaces") << "   " << "";
        QTest::newRow("non-ASCII") << " Größe " << "Größe";
    }
    void valueTrimmedOnlyWhenFirstStored()
    {
        QFETCH(QString, value);
        QFETCH(QString, firstStored);

        writePara(m_place, "headerText", value);
        QCOMPARE(readPara(m_place, "headerText"), firstStored);
        QCOMPARE(contents(parFile()), "[HEADERTEXT]\r\n" + firstStored.toUtf8() + "\r\n");

        writePara(m_place, "headerText", value);
        QCOMPARE(readPara(m_place, "headerText"), value);
        QCOMPARE(contents(parFile()), "[HEADERTEXT]\r\n" + value.toUtf8() + "\r\n");
    }

    void keyCaseAndSpacesDoNotMatter_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("as stored") << "headerText";
        QTest::newRow("mixed case") << "HeaderText";
        QTest::newRow("upper case") << "HEADERTEXT";
        QTest::newRow("spaces around") << "  headerText  ";
    }
    void keyCaseAndSpacesDoNotMatter()
    {
        QFETCH(QString, key);
        setContents(parFile(), fiveBlocks);
        QCOMPARE(readPara(m_place, key), QStringLiteral("x_"));
        QVERIFY(!paraMissing(m_place, key));

        writePara(m_place, key, " y ");
        QByteArray expected = fiveBlocks;
        expected.replace("[HEADERTEXT]\r\nx_\r\n", "[HEADERTEXT]\r\n y \r\n");
        QCOMPARE(contents(parFile()), expected);
    }

    void unmatchedHeaderGetsANewBlock_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::newRow("lower case") << QByteArray("[headertext]");
        QTest::newRow("space before") << QByteArray(" [HEADERTEXT]");
        QTest::newRow("space after") << QByteArray("[HEADERTEXT] ");
        QTest::newRow("space inside") << QByteArray("[ HEADERTEXT]");
        QTest::newRow("tab before") << QByteArray("\t[HEADERTEXT]");
    }
    void unmatchedHeaderGetsANewBlock()
    {
        QFETCH(QByteArray, header);
        const QByteArray before = "[LASTFILE]\r\n20\r\n" + header + "\r\nold\r\n";
        setContents(parFile(), before);

        QCOMPARE(readPara(m_place, "headerText"), QString());
        QVERIFY(paraMissing(m_place, "headerText"));
        writePara(m_place, "headerText", "new");
        QCOMPARE(contents(parFile()), before + "[HEADERTEXT]\r\nnew\r\n");
        QCOMPARE(readPara(m_place, "headerText"), QStringLiteral("new"));
    }

    void rewriteKeepsTheOtherBlocks_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("oldBlock");
        QTest::newRow("first") << "localFolder" << QByteArray("[LOCALFOLDER]\r\n/home/u/Bilder\r\n");
        QTest::newRow("third") << "lastFile" << QByteArray("[LASTFILE]\r\n20\r\n");
        QTest::newRow("last") << "proxyPort" << QByteArray("[PROXYPORT]\r\n8080\r\n");
    }
    void rewriteKeepsTheOtherBlocks()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, oldBlock);
        setContents(parFile(), fiveBlocks);

        writePara(m_place, key, " 7 ");
        QByteArray expected = fiveBlocks;
        expected.replace(oldBlock, modPara::headerLine(key).toUtf8() + "\r\n 7 \r\n");
        QCOMPARE(contents(parFile()), expected);
        QVERIFY(!QFile::exists(scratch()));
        QCOMPARE(readPara(m_place, key), QStringLiteral(" 7 "));
    }

    void duplicateBlocks()
    {
        setContents(parFile(), "[LASTFILE]\r\n1\r\n[PROXYIP]\r\nh\r\n[LASTFILE]\r\n2\r\n");
        QCOMPARE(readPara(m_place, "lastFile"), QStringLiteral("1"));
        QCOMPARE(modPara::readParas(m_place, {"lastFile", "proxyIP"}), (QHash<QString, QString>{{"lastFile", "1"}, {"proxyIP", "h"}}));
        writePara(m_place, "lastFile", "3");
        QCOMPARE(contents(parFile()),
                 QByteArray("[LASTFILE]\r\n3\r\n[PROXYIP]\r\nh\r\n[LASTFILE]\r\n2\r\n"));
    }

    // Options stores whatever text the user types, so a value may read like a header.
    void valueThatReadsLikeAHeaderIsAValue()
    {
        writePara(m_place, "headerText", "[LASTFILE]");
        writePara(m_place, "lastFile", "25");
        QCOMPARE(readPara(m_place, "lastFile"), QStringLiteral("25"));
        QCOMPARE(readPara(m_place, "headerText"), QStringLiteral("[LASTFILE]"));
        QCOMPARE(modPara::readParas(m_place, {"lastFile"}).value("lastFile"), QStringLiteral("25"));
    }

    void staleScratchIsOverwritten()
    {
        setContents(parFile(), fiveBlocks);
        setContents(scratch(), "[LASTFILE]\r\nleft over from a crash\r\n[X]\r\ny\r\n[Z]\r\n");
        writePara(m_place, "proxyIP", "10.0.0.2");
        QByteArray expected = fiveBlocks;
        expected.replace("10.0.0.1", "10.0.0.2");
        QCOMPARE(contents(parFile()), expected);
        QVERIFY(!QFile::exists(scratch()));
    }

    void linesEndingInLfOnlyAreRead()
    {
        setContents(parFile(), "[HEADERTEXT]\nx_\n[LASTFILE]\n20\n");
        QCOMPARE(readPara(m_place, "lastFile"), QStringLiteral("20"));
        writePara(m_place, "headerText", "y");
        QCOMPARE(contents(parFile()), QByteArray("[HEADERTEXT]\r\ny\r\n[LASTFILE]\r\n20\r\n"));
    }

    // Files the program never writes itself: nothing reads past the end, and any write leaves
    // the file in whole blocks again.
    void brokenFiles_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("readBefore");
        QTest::addColumn<QByteArray>("after"); // once "v" has been written under key

        const QByteArray headerLast = "[LASTFILE]\r\n20\r\n[PROXYIP]\r\n";
        QTest::newRow("header last, read it") << headerLast << "proxyIP" << ""
            << QByteArray("[LASTFILE]\r\n20\r\n[PROXYIP]\r\nv\r\n");
        QTest::newRow("header last, other key") << headerLast << "headerText" << ""
            << QByteArray("[LASTFILE]\r\n20\r\n[PROXYIP]\r\n\r\n[HEADERTEXT]\r\nv\r\n");
        QTest::newRow("header last without line end") << QByteArray("[LASTFILE]\r\n20\r\n[PROXYIP]")
            << "proxyIP" << "" << QByteArray("[LASTFILE]\r\n20\r\n[PROXYIP]\r\nv\r\n");
        QTest::newRow("odd lines, key missing") << QByteArray("[LASTFILE]\r\n20\r\nstray\r\n")
            << "proxyPort" << ""
            << QByteArray("[LASTFILE]\r\n20\r\nstray\r\n\r\n[PROXYPORT]\r\nv\r\n");
        QTest::newRow("odd lines after the replaced block") << QByteArray("[LASTFILE]\r\n20\r\nstray\r\n")
            << "lastFile" << "20" << QByteArray("[LASTFILE]\r\nv\r\nstray\r\n\r\n");
        QTest::newRow("last value without line end") << QByteArray("[LASTFILE]\r\n20")
            << "proxyIP" << "" << QByteArray("[LASTFILE]\r\n20\r\n[PROXYIP]\r\nv\r\n");
        QTest::newRow("lone header") << QByteArray("[LASTFILE]\r\n") << "lastFile" << ""
            << QByteArray("[LASTFILE]\r\nv\r\n");
        QTest::newRow("a key twice") << QByteArray("[LASTFILE]\r\n1\r\n[PROXYIP]\r\nh\r\n[LASTFILE]\r\n2\r\n") << "proxyIP" << "h"
            << QByteArray("[LASTFILE]\r\n1\r\n[PROXYIP]\r\nv\r\n[LASTFILE]\r\n2\r\n");
    }
    void brokenFiles()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, key);
        QFETCH(QString, readBefore);
        QFETCH(QByteArray, after);
        setContents(parFile(), before);

        QCOMPARE(readPara(m_place, key), readBefore);
        QCOMPARE(modPara::readParas(m_place, {"headerText", key}).value(key), readBefore);
        QCOMPARE(contents(parFile()), before);
        writePara(m_place, key, "v");
        QCOMPARE(contents(parFile()), after);
        QCOMPARE(readPara(m_place, key), QStringLiteral("v"));
        QVERIFY(!QFile::exists(scratch()));

        // Options stores all its keys in one rewrite, which must leave what storing them one
        // at a time would, a value that reads like a header and a new key among them.
        QList<std::pair<QString, QString>> values = {{"headerText", "[LASTFILE]"}, {"lastFile", " 30 "}, {"maxMisses", " 7 "}};
        values.removeIf([&](const auto &kv) { return kv.first == key; });
        values.insert(1, {key, "v"});
        setContents(parFile(), before);
        for (const auto &[k, v] : values)
            writePara(m_place, k, v);
        const QByteArray oneByOne = contents(parFile());
        setContents(parFile(), before);
        writeParas(m_place, values);
        QCOMPARE(contents(parFile()), oneByOne);
        QVERIFY(!QFile::exists(scratch()));

        // A value that cannot be stored stores none of them.
        setContents(parFile(), before);
        QVERIFY_THROWS_EXCEPTION(FileError, writeParas(m_place, {{key, "w"}, {"proxyPort", "80\n80"}}));
        QCOMPARE(contents(parFile()), before);
    }

    void failedRewriteLeavesTheFileUntouched()
    {
        setContents(parFile(), fiveBlocks);
        // A folder where the scratch file belongs: the rewrite cannot even start.
        QVERIFY(QDir().mkpath(scratch() + "/inside"));
        try {
            writePara(m_place, "lastFile", "99");
            QFAIL("the rewrite must fail");
        } catch (const FileError &e) {
            QVERIFY2(e.message().contains(scratch()), qPrintable(e.message()));
        }
        QCOMPARE(contents(parFile()), fiveBlocks);
        QVERIFY(QFileInfo(scratch() + "/inside").isDir());

        // Appending a new key needs no scratch file.
        setContents(parFile(), "[LASTFILE]\r\n20\r\n");
        writePara(m_place, "proxyIP", "h");
        QCOMPARE(contents(parFile()), QByteArray("[LASTFILE]\r\n20\r\n[PROXYIP]\r\nh\r\n"));
    }

    void unusableProgramFolder_data()
    {
        QTest::addColumn<QString>("folder");   // below the temporary folder
        QTest::addColumn<bool>("parameterFileIsFolder");
        QTest::newRow("folder is a regular file") << "plain" << false;
        QTest::newRow("folder missing") << "gone" << false;
        QTest::newRow("parameter file is a folder") << "." << true;
    }
    void unusableProgramFolder()
    {
        QFETCH(QString, folder);
        QFETCH(bool, parameterFileIsFolder);
        setContents(m_dir->filePath("plain"), "user data");
        m_place.folder = QDir::cleanPath(m_dir->filePath(folder));
        if (parameterFileIsFolder)
            QVERIFY(QDir().mkpath(parFile() + "/inside"));

        QVERIFY_THROWS_EXCEPTION(FileError, readPara(m_place, "headerText"));
        QVERIFY_THROWS_EXCEPTION(FileError, writePara(m_place, "headerText", "x"));
        QCOMPARE(contents(m_dir->filePath("plain")), QByteArray("user data"));
        QVERIFY(!QFile::exists(m_dir->filePath("gone")));
        // Nothing made beside: no scratch file, no missing folder.
        QStringList left{"plain"};
        if (parameterFileIsFolder)
            left << "seriograb.par";
        QCOMPARE(entries(m_dir->path()), left);
    }
};

QTEST_GUILESS_MAIN(TestModPara)
#include "tst_modpara.moc"
